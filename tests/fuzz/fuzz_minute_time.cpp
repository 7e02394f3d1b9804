#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    quotix::Body body(data + 1, size - 1);
    auto r = quotix::parse_history_minute_time_data(body, data[0] & 1, (data[0] & 2) ? "510300" : "600000");
    require(r.size() <= body.size() / 3 + 1, "records fit in the body");
    return 0;
}
