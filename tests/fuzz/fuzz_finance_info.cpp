#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    refused_only_when_short(quotix::parse_finance_info({data, size}, 1, "600000"), size, 145);
    return 0;
}
