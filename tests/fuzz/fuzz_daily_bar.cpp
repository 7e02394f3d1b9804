// Any byte string, whole records or not, must decode or be refused without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reader/daily_bar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::reader::parse_daily_bar({data, size}, 0.01);
    if (r.ok() != (size % 32 == 0)) std::abort();
    if (r.ok() && r->size() != size / 32) std::abort();
    return 0;
}
