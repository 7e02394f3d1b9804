#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_block_info_meta({data, size});
    if (refused_only_when_short(r, size, 38)) require(r->hash_value.size() == 64, "64 hex digits");
    return 0;
}
