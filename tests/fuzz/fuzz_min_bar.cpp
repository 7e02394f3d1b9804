// Both minute formats over the same bytes: the same record count or the same refusal.
#include "fuzz_check.hpp"
#include "reader/min_bar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto a = quotix::reader::parse_min_bar({data, size});
    auto b = quotix::reader::parse_lc_min_bar({data, size});
    require(a.ok() == b.ok() && a.ok() == (size % 32 == 0), "both fail exactly on a partial record");
    if (a.ok()) require(a->size() == size / 32 && b->size() == a->size(), "one bar per record");
    return 0;
}
