#include "protocol/packet.hpp"

#include <algorithm>

namespace quotix::net {

namespace {

constexpr uint8_t SETUP_1[] = {0x0c, 0x02, 0x18, 0x93, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0d, 0x00, 0x01};
constexpr uint8_t SETUP_2[] = {0x0c, 0x02, 0x18, 0x94, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0d, 0x00, 0x02};
constexpr uint8_t SETUP_3[] = {0x0c, 0x03, 0x18, 0x99, 0x00, 0x01, 0x20, 0x00, 0x20, 0x00, 0xdb, 0x0f, 0xd5, 0xd0,
                               0xc9, 0xcc, 0xd6, 0xa4, 0xa8, 0xaf, 0x00, 0x00, 0x00, 0x8f, 0xc2, 0x25, 0x40, 0x13,
                               0x00, 0x00, 0xd5, 0x00, 0xc9, 0xcc, 0xbd, 0xf0, 0xd7, 0xea, 0x00, 0x00, 0x00, 0x02};

// Appends little-endian numbers and fixed-width fields to a packet under construction.
class Writer {
public:
    Writer(std::array<uint8_t, 6> fixed, uint16_t command, size_t size) : buf_(size, 0) {
        RequestHeader{fixed, static_cast<uint16_t>(size - 10), command}.write_to(buf_.data());
        pos_ = REQUEST_HEADER_SIZE;
    }
    Writer& u8(uint8_t v) {
        buf_[pos_++] = v;
        return *this;
    }
    Writer& u16(uint16_t v) {
        buf_[pos_++] = static_cast<uint8_t>(v);
        buf_[pos_++] = static_cast<uint8_t>(v >> 8);
        return *this;
    }
    Writer& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) buf_[pos_++] = static_cast<uint8_t>(v >> (8 * i));
        return *this;
    }
    // The text's bytes cut at `width`, the rest of the field left as zeros.
    Writer& text(std::string_view s, size_t width) {
        std::copy_n(s.begin(), std::min(s.size(), width), buf_.begin() + static_cast<ptrdiff_t>(pos_));
        pos_ += width;
        return *this;
    }
    Writer& code(std::string_view s) { return text(s, 6); }
    Writer& zeros(size_t n) {
        pos_ += n;
        return *this;
    }
    Bytes done() { return std::move(buf_); }

private:
    Bytes buf_;
    size_t pos_ = 0;
};

}  // namespace

const std::array<std::span<const uint8_t>, 3> SETUP_PACKETS = {
    std::span<const uint8_t>(SETUP_1), std::span<const uint8_t>(SETUP_2), std::span<const uint8_t>(SETUP_3)};

void RequestHeader::write_to(uint8_t* out) const {
    std::copy(fixed.begin(), fixed.end(), out);
    out[6] = static_cast<uint8_t>(length);
    out[7] = static_cast<uint8_t>(length >> 8);
    out[8] = static_cast<uint8_t>(length);
    out[9] = static_cast<uint8_t>(length >> 8);
    out[10] = static_cast<uint8_t>(command);
    out[11] = static_cast<uint8_t>(command >> 8);
}

Bytes build_security_count_packet(uint8_t market) {
    return Writer({0x0c, 0x0c, 0x18, 0x6c, 0x00, 0x01}, CMD_SECURITY_COUNT, 18)
        .u16(market)
        .u32(SECURITY_COUNT_MAGIC)
        .done();
}

Bytes build_security_list_packet(uint8_t market, uint16_t start) {
    return Writer({0x0c, 0x01, 0x18, 0x64, 0x01, 0x01}, CMD_SECURITY_LIST, 16).u16(market).u16(start).done();
}

Bytes build_security_bars_packet(uint8_t category, uint8_t market, std::string_view code, uint32_t start,
                                 uint16_t count, uint8_t fq) {
    return Writer({0x0c, 0x01, 0x08, 0x64, 0x01, 0x01}, CMD_SECURITY_BARS, 38)
        .u16(market)
        .code(code)
        .u16(category)
        .u16(fq)
        .u16(static_cast<uint16_t>(start))
        .u16(count)
        .zeros(10)
        .done();
}

Bytes build_security_quotes_packet(std::span<const std::pair<uint8_t, std::string>> stocks) {
    // The count field is 16 bits wide; callers send far fewer than that per packet.
    const size_t n = stocks.size();
    Writer w({0x0c, 0x01, 0x20, 0x63, 0x00, 0x02}, CMD_SECURITY_QUOTES, 22 + 7 * n);
    w.u16(5).u32(0).u16(0).u16(static_cast<uint16_t>(n));
    for (const auto& [market, code] : stocks) w.u8(market).code(code);
    return w.done();
}

Bytes build_transaction_data_packet(uint8_t market, std::string_view code, uint32_t start, uint16_t count) {
    return Writer({0x0c, 0x17, 0x08, 0x01, 0x01, 0x01}, CMD_TRANSACTION_DATA, 24)
        .u16(market)
        .code(code)
        .u16(static_cast<uint16_t>(start))
        .u16(count)
        .done();
}

Bytes build_history_transaction_data_packet(uint8_t market, std::string_view code, uint32_t start,
                                            uint16_t count, uint32_t date) {
    return Writer({0x0c, 0x01, 0x30, 0x01, 0x00, 0x01}, CMD_HISTORY_TRANSACTION_DATA, 28)
        .u32(date)
        .u16(market)
        .code(code)
        .u16(static_cast<uint16_t>(start))
        .u16(count)
        .done();
}

Bytes build_history_minute_time_data_packet(uint8_t market, std::string_view code, uint32_t date) {
    return Writer({0x0c, 0x01, 0x30, 0x00, 0x01, 0x01}, CMD_HISTORY_MINUTE_TIME_DATA, 23)
        .u32(date)
        .u8(market)
        .code(code)
        .done();
}

Bytes build_xdxr_info_packet(uint8_t market, std::string_view code) {
    return Writer({0x0c, 0x1f, 0x18, 0x76, 0x00, 0x01}, CMD_XDXR_INFO, 21).u16(1).u8(market).code(code).done();
}

Bytes build_finance_info_packet(uint8_t market, std::string_view code) {
    return Writer({0x0c, 0x1f, 0x18, 0x76, 0x00, 0x01}, CMD_FINANCE_INFO, 21).u16(1).u8(market).code(code).done();
}

Bytes build_block_info_meta_packet(std::string_view file_name) {
    return Writer({0x0c, 0x39, 0x18, 0x69, 0x00, 0x01}, CMD_BLOCK_INFO_META, 52).text(file_name, 40).done();
}

Bytes build_block_info_packet(uint32_t offset, uint32_t size, std::string_view file_name) {
    return Writer({0x0c, 0x37, 0x18, 0x6a, 0x00, 0x01}, CMD_BLOCK_INFO, 120)
        .u32(offset)
        .u32(size)
        .text(file_name, 100)
        .done();
}

}  // namespace quotix::net
