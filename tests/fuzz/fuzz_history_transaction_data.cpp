#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quotix::Body body(data, size);
    auto r = quotix::parse_history_transaction_data_with_coefficient(body, 0.001);
    if (size < 6) { require(!r.ok(), "short body fails"); return 0; }
    require(r.ok(), "only short bodies fail");
    require(r->size() <= (size - 6) / 6 + 1, "ticks fit in the body");
    for (const auto& t : *r) require(t.num == 0, "history ticks carry no num");
    return 0;
}
