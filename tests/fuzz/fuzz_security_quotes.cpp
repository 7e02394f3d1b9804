#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "protocol/encoding.hpp"
#include "protocol/parsers.hpp"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quotix::Body body(data, size);
    auto r = quotix::parse_security_quotes(body);
    if (size < 4) { require(!r.ok(), "short body fails"); return 0; }
    require(r.ok(), "only short bodies fail");
    require(r->size() <= quotix::read_u16_le(data + 2), "no more quotes than announced");
    require(r->size() <= size / 30 + 1, "quotes fit in the body");
    for (const auto& q : *r) require(fuzzcheck::valid_utf8(q.code), "code is UTF-8");
    return 0;
}
