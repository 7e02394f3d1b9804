#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_security_list({data, size});
    if (!refused_only_when_short(r, size, 2)) return 0;
    require(r->size() <= (size - 2) / 29, "whole entries only");
    for (const auto& e : *r) require(valid_utf8(e.code) && valid_utf8(e.name), "texts are UTF-8");
    return 0;
}
