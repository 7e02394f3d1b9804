#include "fuzz_check.hpp"
#include "protocol/block_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> file(data, size);
    auto r = quotix::parse_block_groups(file);
    auto flat = quotix::parse_block(file);
    require(r.ok() == flat.ok(), "both readings fail alike");
    if (!r.ok()) return 0;
    size_t codes = 0;
    for (const auto& g : *r) { require(g.stock_count <= 400, "slot bound"); codes += g.stock_count; }
    require(codes == flat->size(), "groups hold the flat rows");
    return 0;
}
