#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::parse_transaction_data_with_coefficient({data, size}, 0.01);
    if (!refused_only_when_short(r, size, 2)) return 0;
    require(r->size() <= quotix::read_u16_le(data), "no more ticks than announced");
    require(r->size() <= (size - 2) / 3 + 1, "no invented ticks");
    return 0;
}
