// Headers announcing any counts, sizes and offsets: never read outside the data, and never decode
// more float bytes than the file holds.
#include "fuzz_check.hpp"
#include "reader/financial.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto r = quotix::reader::parse_financial({data, size});
    if (!refused_only_when_short(r, size, 20)) return 0;
    size_t floats = 0;
    for (const auto& rec : *r) floats += rec.fields.size();
    require(floats * 4 <= size, "floats fit in the file");
    require(r->size() <= (size - 20) / 11, "entries fit in the directory");
    return 0;
}
