#include "net/block_download.hpp"

#include <algorithm>
#include <string>

#include "core/error_codes.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"

namespace quotix::net {

namespace {

constexpr size_t CHUNK_REPLY_PREFIX = 4;

TdxError length_mismatch(uint64_t offset, uint64_t expected, uint64_t received) {
    return TdxError::coded(codes::RESPONSE_LENGTH_MISMATCH,
                           "offset=" + std::to_string(offset) + " expected=" +
                               std::to_string(expected) + " received=" + std::to_string(received));
}

}  // namespace

Result<std::vector<uint8_t>> download_block_file(const RequestFn& send, std::string_view file_name) {
    auto meta = request_decoded(send, build_block_info_meta_packet(file_name), parse_block_info_meta);
    if (!meta) return std::move(meta).error();
    const uint32_t size = meta->size;

    std::vector<uint8_t> data;
    uint32_t offset = 0;
    while (offset < size) {
        const uint32_t want = std::min(size - offset, BLOCK_CHUNK_SIZE);
        // A short chunk is refused as its reply's check: it may be another request's answer.
        auto body = send(build_block_info_packet(offset, want, file_name), [offset, want](std::span<const uint8_t> b) -> Status {
            const size_t got = b.size() > CHUNK_REPLY_PREFIX ? b.size() - CHUNK_REPLY_PREFIX : 0;
            if (got < want) return length_mismatch(offset, want, got);
            return ok_status();
        });
        if (!body) return std::move(body).error();
        const auto first = body->begin() + CHUNK_REPLY_PREFIX;
        data.insert(data.end(), first, first + want);
        offset += want;
    }
    return data;
}

}  // namespace quotix::net
