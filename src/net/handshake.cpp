#include "net/handshake.hpp"

#include "net/packet.hpp"
#include "net/response.hpp"

namespace quotix::net {

Status perform_handshake(ByteStream& stream) {
    for (const auto& packet : SETUP_PACKETS) {
        QTX_TRY(stream.send(packet));
        auto header = read_response_header(stream);
        if (!header) return std::move(header).error();
        auto body = stream.recv(header->zip_size);
        if (!body) return std::move(body).error();
        if (header->is_compressed()) QTX_TRY(decompress_zlib(*body, header->unzip_size));
    }
    return ok_status();
}

}  // namespace quotix::net
