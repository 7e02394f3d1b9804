#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_xdxr_info({data, size});
    if (!refused_only_when_short(r, size, 11)) return 0;
    require(r->size() <= (size - 11) / 29, "whole events only");
    return 0;
}
