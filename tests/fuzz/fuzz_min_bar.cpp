// Both minute formats over the same bytes: the same record count or the same refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reader/min_bar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto a = quotix::reader::parse_min_bar({data, size});
    auto b = quotix::reader::parse_lc_min_bar({data, size});
    if (a.ok() != b.ok() || a.ok() != (size % 32 == 0)) std::abort();
    if (a.ok() && (a->size() != size / 32 || b->size() != a->size())) std::abort();
    return 0;
}
