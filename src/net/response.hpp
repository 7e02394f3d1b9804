// Replies of the quote protocol: a 16-byte header, then a body that is zlib data exactly when its
// length on the wire differs from its plain length.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "net/stream.hpp"

namespace quotix::net {

inline constexpr size_t RESPONSE_HEADER_SIZE = 16;

// No reply inflates past this. The header announces at most 65535 plain bytes, so a stream that
// keeps producing beyond a megabyte is hostile, not a quote reply.
inline constexpr size_t MAX_INFLATED_SIZE = size_t{1} << 20;

struct ResponseHeader {
    std::array<uint8_t, 8> leading{};
    uint32_t zip_size = 0;
    uint32_t unzip_size = 0;

    // Reads the first 16 bytes; anything after them is ignored. Fewer than 16: coded 2101.
    static Result<ResponseHeader> parse(std::span<const uint8_t> bytes);

    bool is_compressed() const { return zip_size != unzip_size; }
};

// Inflates one whole zlib stream. `expected_size` (the header's plain length) only sizes the first
// allocation; the result has the real inflated length. A stream that is corrupt or ends before its
// trailer is coded 2102; output past MAX_INFLATED_SIZE is coded 2103.
Result<std::vector<uint8_t>> decompress_zlib(std::span<const uint8_t> data, size_t expected_size = 0);

// Reads 16 bytes from the stream and parses them.
Result<ResponseHeader> read_response_header(ByteStream& stream);

// Reads one reply of a data request: header, exactly zip_size body bytes, inflated when the two
// sizes differ. An empty body is coded 2003 "empty response body".
Result<std::vector<uint8_t>> read_response(ByteStream& stream);

// Sends `packet` and reads its reply as read_response does.
Result<std::vector<uint8_t>> send_and_read(ByteStream& stream, std::span<const uint8_t> packet);

}  // namespace quotix::net
