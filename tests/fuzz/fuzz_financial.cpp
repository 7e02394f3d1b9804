// Headers announcing any counts, sizes and offsets: never read outside the data, and never decode
// more float bytes than the file holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reader/financial.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::reader::parse_financial({data, size});
    if (r.ok() != (size >= 20)) std::abort();
    if (!r.ok()) return 0;
    size_t floats = 0;
    for (const auto& rec : *r) floats += rec.fields.size();
    if (floats * 4 > size) std::abort();
    if (r->size() > (size - 20) / 11) std::abort();
    return 0;
}
