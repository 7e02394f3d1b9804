// Any byte string, whole records or not, must decode or be refused without harm.
#include "fuzz_check.hpp"
#include "reader/daily_bar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::reader::parse_daily_bar({data, size}, 0.01);
    require(r.ok() == (size % 32 == 0), "fails exactly on a partial record");
    if (r.ok()) require(r->size() == size / 32, "one bar per record");
    return 0;
}
