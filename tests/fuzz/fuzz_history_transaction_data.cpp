#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_history_transaction_data_with_coefficient({data, size}, 0.001);
    if (!refused_only_when_short(r, size, 6)) return 0;
    require(r->size() <= (size - 6) / 6 + 1, "ticks fit in the body");
    for (const auto& t : *r) require(t.num == 0, "history ticks carry no num");
    return 0;
}
