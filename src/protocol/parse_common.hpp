// Helpers shared by the reply parsers (not part of the public interface).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "protocol/encoding.hpp"

namespace quotix::detail {

inline TdxError body_too_short(std::string message = "body too short") {
    return TdxError::coded(codes::RESPONSE_LENGTH_MISMATCH, std::move(message));
}

inline size_t remaining(ByteSpan body, size_t pos) { return pos < body.size() ? body.size() - pos : 0; }

// Records to reserve room for: never more than the bytes present could hold.
inline size_t reserve_count(uint64_t announced, ByteSpan body, size_t from, size_t min_record) {
    return static_cast<size_t>(std::min<uint64_t>(announced, remaining(body, from) / min_record + 1));
}

// A read position that stops for good at the first value the body cuts short, so that value
// and everything after it in the record take their defaults.
class RecordReader {
public:
    RecordReader(ByteSpan body, size_t pos) : body_(body), pos_(pos) {}

    std::optional<int64_t> varint() {
        if (ended_) return std::nullopt;
        auto v = read_price_varint(body_, pos_);
        if (!v) return end();
        pos_ = v->next;
        return v->value;
    }
    // Skips a varint; false when it is cut short.
    bool skip_varint() { return varint().has_value(); }
    std::optional<uint16_t> u16() {
        if (ended_ || !has_bytes(body_, pos_, 2)) return end();
        uint16_t v = read_u16_le(body_.data() + pos_);
        pos_ += 2;
        return v;
    }
    std::optional<double> volume_float() {
        if (ended_ || !has_bytes(body_, pos_, 4)) return end();
        double v = decode_volume_float(body_.data() + pos_);
        pos_ += 4;
        return v;
    }

    size_t pos() const { return pos_; }
    bool ended() const { return ended_; }

private:
    std::nullopt_t end() {
        ended_ = true;
        return std::nullopt;
    }

    ByteSpan body_;
    size_t pos_;
    bool ended_ = false;
};

// Appends `value` in decimal with at least `width` digits, zero-padded in front (printf's "%0Nu").
// Every reply record carries such texts, so this stays clear of the printf machinery.
void append_padded(std::string& out, uint64_t value, size_t width);

// "HH:MM" of minutes after midnight (hours beyond 99 keep all their digits).
std::string hhmm(uint64_t minutes);

}  // namespace quotix::detail
