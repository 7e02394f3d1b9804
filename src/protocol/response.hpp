// Replies of the quote protocol: a 16-byte header, then a body that is zlib data exactly when its
// length on the wire differs from its plain length.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "protocol/stream.hpp"

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

// One reply as it came: its header and exactly the zip_size body bytes that followed, not inflated.
struct Reply {
    ResponseHeader header;
    std::vector<uint8_t> body;
};

// Reads one reply, header and body, by `deadline`. Every reply of the blocking clients is read
// here, so no read of a reply can outlast its exchange.
Result<Reply> read_reply(ByteStream& stream, ByteStream::Deadline deadline);

// One exchange: sends `packet` and reads its reply, both within the stream's exchange deadline
// taken before the send. The setup handshake, the heartbeat's beat and the probe take the reply
// as it is.
Result<Reply> round_trip(ByteStream& stream, std::span<const uint8_t> packet);

// The body of a data request's reply: an empty one is coded 2003 "empty response body"; a
// compressed one is inflated.
Result<std::vector<uint8_t>> response_body(Reply reply);

// The exchange of a data request: round_trip, then response_body.
Result<std::vector<uint8_t>> send_and_read(ByteStream& stream, std::span<const uint8_t> packet);

}  // namespace quotix::net
