// The cache file is read from the user's disk and may hold anything: parsing never crashes, every
// refusal names its position, and whatever parses writes back and reads back unchanged.
#include "fuzz_check.hpp"
#include "net/server_cache.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto r = quotix::net::ServerCache::from_json(text);
    if (!r.ok()) {
        require(r.error().text().find(" at line ") != std::string::npos, "fault has a position");
        return 0;
    }
    if (!valid_utf8(text)) return 0;
    auto out = r->to_json();
    require(out.ok(), "parsed cache serializes");
    auto back = quotix::net::ServerCache::from_json(*out);
    require(back.ok(), "written cache parses");
    auto again = back->to_json();
    require(again.ok() && *again == *out, "round trip is stable");
    return 0;
}
