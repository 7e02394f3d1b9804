#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    quotix::Body body(data + 1, size - 1);
    auto r = quotix::parse_security_bars(body, data[0]);
    if (!refused_only_when_short(r, body.size(), 2)) return 0;
    require(r->size() <= quotix::read_u16_le(body.data()), "no more bars than announced");
    require(r->size() <= body.size() / 16 + 1, "bars fit in the body");
    for (const auto& b : *r) require(b.month >= 1 && b.month <= 12 && b.day >= 1 && b.day <= 31 && b.year >= 1980, "dates valid");
    return 0;
}
