#include "protocol/response.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/error_codes.hpp"

namespace quotix::net {

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The inflater's own text for a failure: its message when it set one (corrupt data), else zlib's
// text for the return code (a stream that asks for a preset dictionary sets none).
std::string zlib_message(const z_stream& zs, int rc) { return zs.msg != nullptr ? zs.msg : zError(rc); }

}  // namespace

Result<ResponseHeader> ResponseHeader::parse(std::span<const uint8_t> bytes) {
    if (bytes.size() < RESPONSE_HEADER_SIZE) {
        return TdxError::coded(codes::INVALID_RESPONSE_HEADER,
                               "expected 16 bytes, got " + std::to_string(bytes.size()));
    }
    ResponseHeader h;
    std::copy_n(bytes.begin(), 8, h.leading.begin());
    h.zip_size = le16(bytes.data() + 12);
    h.unzip_size = le16(bytes.data() + 14);
    return h;
}

Result<std::vector<uint8_t>> decompress_zlib(std::span<const uint8_t> data, size_t expected_size) {
    z_stream zs{};
    if (int rc = inflateInit(&zs); rc != Z_OK) {
        return TdxError::coded(codes::ZLIB_DECOMPRESS_FAILED, zlib_message(zs, rc));
    }
    // The announced size is at most 65535, so trusting it for the first allocation is bounded.
    std::vector<uint8_t> out(std::clamp<size_t>(expected_size, 64, 65536));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    size_t produced = 0;
    int rc = Z_OK;
    for (;;) {
        if (produced == out.size()) {
            if (out.size() >= MAX_INFLATED_SIZE) {
                inflateEnd(&zs);
                return TdxError::coded(codes::RESPONSE_LENGTH_MISMATCH,
                                       "inflated body exceeds " + std::to_string(MAX_INFLATED_SIZE) + " bytes");
            }
            out.resize(std::min(out.size() * 2, MAX_INFLATED_SIZE));
        }
        zs.next_out = out.data() + produced;
        zs.avail_out = static_cast<uInt>(out.size() - produced);
        rc = inflate(&zs, Z_NO_FLUSH);
        produced = out.size() - zs.avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            std::string msg = zlib_message(zs, rc);
            inflateEnd(&zs);
            return TdxError::coded(codes::ZLIB_DECOMPRESS_FAILED, msg);
        }
        // All input taken, output room left, and no end of the stream: the input ended inside it.
        // (Z_BUF_ERROR: not even a byte could move, as with no input at all.)
        if (rc == Z_BUF_ERROR || (zs.avail_in == 0 && zs.avail_out != 0)) {
            inflateEnd(&zs);
            return TdxError::coded(codes::ZLIB_DECOMPRESS_FAILED, "incomplete zlib stream");
        }
    }
    inflateEnd(&zs);
    out.resize(produced);
    return out;
}

Result<Reply> read_reply(ByteStream& stream, ByteStream::Deadline deadline) {
    auto raw = stream.recv(RESPONSE_HEADER_SIZE, deadline);
    if (!raw) return std::move(raw).error();
    auto header = ResponseHeader::parse(*raw);
    if (!header) return std::move(header).error();
    auto body = stream.recv(header->zip_size, deadline);
    if (!body) return std::move(body).error();
    return Reply{*header, std::move(*body)};
}

Result<Reply> round_trip(ByteStream& stream, std::span<const uint8_t> packet) {
    const auto deadline = stream.exchange_deadline();
    QTX_TRY(stream.send(packet));
    return read_reply(stream, deadline);
}

Result<std::vector<uint8_t>> response_body(Reply reply) {
    if (reply.header.zip_size == 0) return TdxError::coded(codes::DISCONNECTED, "empty response body");
    if (!reply.header.is_compressed()) return std::move(reply.body);
    return decompress_zlib(reply.body, reply.header.unzip_size);
}

Result<std::vector<uint8_t>> send_and_read(ByteStream& stream, std::span<const uint8_t> packet) {
    auto reply = round_trip(stream, packet);
    if (!reply) return std::move(reply).error();
    return response_body(std::move(*reply));
}

}  // namespace quotix::net
