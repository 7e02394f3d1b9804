#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quotix::Body body(data, size);
    auto r = quotix::parse_block_info_meta(body);
    require(r.ok() == (size >= 38), "fails exactly when short");
    if (r.ok()) require(r->hash_value.size() == 64, "64 hex digits");
    return 0;
}
