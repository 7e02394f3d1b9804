#include "fuzz_check.hpp"
#include "protocol/block_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_block({data, size});
    if (!r.ok()) { require(r.error().kind() == quotix::TdxError::Kind::InvalidData, "InvalidData only"); return 0; }
    require(r->size() <= size / 7, "rows fit in the file");
    for (const auto& row : *r) require(row.block_type == 2 && row.code_index < 400, "rows of type-2 blocks");
    for (const auto& row : *r) require(valid_utf8(row.blockname) && valid_utf8(row.code), "texts are UTF-8");
    return 0;
}
