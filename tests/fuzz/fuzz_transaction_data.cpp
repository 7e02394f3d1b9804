#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quotix::Body body(data, size);
    auto r = quotix::parse_transaction_data_with_coefficient(body, 0.01);
    if (size < 2) { require(!r.ok(), "short body fails"); return 0; }
    require(r.ok(), "only short bodies fail");
    require(r->size() <= quotix::read_u16_le(data), "no more ticks than announced");
    require(r->size() <= (size - 2) / 3 + 1, "no invented ticks");
    return 0;
}
