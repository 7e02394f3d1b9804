#include "protocol/handshake.hpp"

#include "protocol/packet.hpp"
#include "protocol/response.hpp"

namespace quotix::net {

Status perform_handshake(ByteStream& stream) {
    // Each setup packet and its reply is an exchange with a deadline of its own.
    for (const auto& packet : SETUP_PACKETS) {
        auto reply = round_trip(stream, packet);
        if (!reply) return std::move(reply).error();
        if (reply->header.is_compressed()) QTX_TRY(decompress_zlib(reply->body, reply->header.unzip_size));
    }
    return ok_status();
}

}  // namespace quotix::net
