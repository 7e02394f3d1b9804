#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t category = data[0];
    quotix::Body body(data + 1, size - 1);
    auto r = quotix::parse_index_bars(body, category);
    if (body.size() < 2) { require(!r.ok(), "short body fails"); return 0; }
    require(r.ok(), "only short bodies fail");
    require(r->size() <= quotix::read_u16_le(body.data()), "no more bars than announced");
    require(r->size() <= body.size() / 20 + 1, "bars fit in the body");
    return 0;
}
