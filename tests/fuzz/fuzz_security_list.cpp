#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "protocol/parsers.hpp"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quotix::Body body(data, size);
    auto r = quotix::parse_security_list(body);
    if (size < 2) { require(!r.ok(), "short body fails"); return 0; }
    require(r.ok(), "only short bodies fail");
    require(r->size() <= (size - 2) / 29, "whole entries only");
    for (const auto& e : *r) require(fuzzcheck::valid_utf8(e.code) && fuzzcheck::valid_utf8(e.name), "texts are UTF-8");
    return 0;
}
