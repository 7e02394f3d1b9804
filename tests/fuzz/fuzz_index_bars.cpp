#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    quotix::Body body(data + 1, size - 1);
    auto r = quotix::parse_index_bars(body, data[0]);
    if (!refused_only_when_short(r, body.size(), 2)) return 0;
    require(r->size() <= quotix::read_u16_le(body.data()), "no more bars than announced");
    require(r->size() <= body.size() / 20 + 1, "bars fit in the body");
    return 0;
}
