// Arbitrary bytes as the server's side of a connection: one data exchange reads its reply (header,
// body, inflation), then the same bytes are fed to the handshake.
#include <vector>

#include "fuzz_check.hpp"
#include "protocol/handshake.hpp"
#include "protocol/memory_stream.hpp"
#include "protocol/response.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> input(data, data + size);
    {
        quotix::net::MemoryStream stream(input);
        auto r = quotix::net::send_and_read(stream, {});
        if (r.ok()) require(r->size() <= quotix::net::MAX_INFLATED_SIZE, "inflation is capped");
    }
    quotix::net::MemoryStream stream(std::move(input));
    (void)quotix::net::perform_handshake(stream);
    return 0;
}
