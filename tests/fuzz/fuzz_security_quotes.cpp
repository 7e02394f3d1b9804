#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_security_quotes({data, size});
    if (!refused_only_when_short(r, size, 4)) return 0;
    require(r->size() <= quotix::read_u16_le(data + 2), "no more quotes than announced");
    require(r->size() <= size / 30 + 1, "quotes fit in the body");
    for (const auto& q : *r) require(valid_utf8(q.code), "code is UTF-8");
    return 0;
}
