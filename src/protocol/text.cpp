#include "protocol/text.hpp"

#include <unicode/ucnv.h>

#include <array>
#include <memory>
#include <mutex>

namespace quotix {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string decode_utf16(TextBytes bytes, bool little_endian) {
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 3);
    char32_t lead = 0;  // pending lead surrogate, 0 when none
    size_t i = 0;
    while (i + 1 < bytes.size()) {
        const uint32_t b0 = bytes[i], b1 = bytes[i + 1];
        const char32_t unit = little_endian ? (b1 << 8 | b0) : (b0 << 8 | b1);
        i += 2;
        if (lead != 0) {
            char32_t l = lead;
            lead = 0;
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((l - 0xD800) << 10) + (unit - 0xDC00));
                continue;
            }
            // The unit after an unpaired lead is read again on its own.
            append_utf8(out, REPLACEMENT);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            lead = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            append_utf8(out, REPLACEMENT);
        } else {
            append_utf8(out, unit);
        }
    }
    // An odd last byte and a pending lead surrogate together make a single replacement.
    if (lead != 0 || i < bytes.size()) append_utf8(out, REPLACEMENT);
    return out;
}

// --- gb18030 -------------------------------------------------------------------------------
//
// The segmentation of the byte stream (which bytes form a character, which are re-read after an
// error) follows the WHATWG decoder exactly; ICU supplies the character mappings. The few
// mappings where ICU's table differs from the browsers' one are fixed up in `kOverrides`.

struct IcuCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};

// Maps one complete two- or four-byte sequence, 0 when ICU has no mapping for it.
char32_t icu_map_sequence(const uint8_t* seq, int32_t len) {
    thread_local std::unique_ptr<UConverter, IcuCloser> converter = [] {
        UErrorCode err = U_ZERO_ERROR;
        UConverter* c = ucnv_open("gb18030", &err);
        if (U_FAILURE(err)) return std::unique_ptr<UConverter, IcuCloser>();
        ucnv_setToUCallBack(c, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
        return std::unique_ptr<UConverter, IcuCloser>(c);
    }();
    if (!converter) return 0;
    ucnv_reset(converter.get());
    UChar buf[4];
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(converter.get(), buf, 4, reinterpret_cast<const char*>(seq), len, &err);
    // Only sequences of the basic plane come here, one UTF-16 unit each: the four-byte ones beyond
    // it are computed from their pointer.
    if (U_FAILURE(err) || n != 1) return 0;
    const char32_t cp = buf[0];
    // ICU substitutes rather than stops for a few unassigned sequences.
    if (cp == 0xFFFD || cp == 0x1A) return 0;
    return cp;
}

struct Override {
    uint32_t sequence;  // the two bytes, big-endian packed
    char32_t cp;        // 0 = no mapping
};
#include "protocol/gb18030_overrides.inc"

char32_t override_for(uint32_t sequence, bool& found) {
    for (const auto& o : kOverrides) {
        if (o.sequence == sequence) {
            found = true;
            return o.cp;
        }
    }
    found = false;
    return 0;
}

constexpr size_t kTwoByteCount = 126 * 190;

const std::array<char32_t, kTwoByteCount>& two_byte_table() {
    static std::array<char32_t, kTwoByteCount> table{};
    static std::once_flag once;
    std::call_once(once, [] {
        for (size_t pointer = 0; pointer < kTwoByteCount; ++pointer) {
            const uint8_t lead = static_cast<uint8_t>(0x81 + pointer / 190);
            const uint32_t t = pointer % 190;
            const uint8_t trail = static_cast<uint8_t>(t < 63 ? t + 0x40 : t + 0x41);
            const uint8_t seq[2] = {lead, trail};
            bool found;
            char32_t cp = override_for(uint32_t(lead) << 8 | trail, found);
            table[pointer] = found ? cp : icu_map_sequence(seq, 2);
        }
    });
    return table;
}

char32_t four_byte_code_point(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4) {
    const uint32_t pointer = (b1 - 0x81u) * 12600u + (b2 - 0x30u) * 1260u + (b3 - 0x81u) * 10u + (b4 - 0x30u);
    if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
    if (pointer >= 189000) return 0x10000 + (pointer - 189000);
    if (pointer == 7457) return 0xE7C7;
    // Every mapping that ICU and the browsers disagree on is a two-byte one.
    const uint8_t seq[4] = {b1, b2, b3, b4};
    return icu_map_sequence(seq, 4);
}

}  // namespace

std::string decode_utf8_lossy(TextBytes bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const uint8_t b = bytes[i];
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        size_t needed;
        uint8_t lower = 0x80, upper = 0xBF;
        char32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            needed = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            if (b == 0xE0) lower = 0xA0;
            if (b == 0xED) upper = 0x9F;
            needed = 2;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            if (b == 0xF0) lower = 0x90;
            if (b == 0xF4) upper = 0x8F;
            needed = 3;
            cp = b & 0x07;
        } else {
            append_utf8(out, REPLACEMENT);
            ++i;
            continue;
        }
        size_t j = i + 1;
        size_t seen = 0;
        bool bad = false;
        while (seen < needed) {
            if (j >= n || bytes[j] < lower || bytes[j] > upper) {
                bad = true;  // the offending byte (if any) starts the next character
                break;
            }
            cp = (cp << 6) | (bytes[j] & 0x3F);
            lower = 0x80;
            upper = 0xBF;
            ++j;
            ++seen;
        }
        append_utf8(out, bad ? REPLACEMENT : cp);
        i = j;
    }
    return out;
}

std::string decode_utf16le(TextBytes bytes) { return decode_utf16(bytes, true); }
std::string decode_utf16be(TextBytes bytes) { return decode_utf16(bytes, false); }

std::string decode_gbk(TextBytes bytes) {
    std::string out;
    out.reserve(bytes.size() * 2 + 4);
    const size_t n = bytes.size();
    size_t i = 0;
    auto in = [](uint8_t v, uint8_t lo, uint8_t hi) { return v >= lo && v <= hi; };
    while (i < n) {
        const uint8_t b1 = bytes[i];
        if (b1 < 0x80) {
            out.push_back(static_cast<char>(b1));
            ++i;
            continue;
        }
        if (b1 == 0x80) {
            append_utf8(out, 0x20AC);
            ++i;
            continue;
        }
        if (b1 == 0xFF) {
            append_utf8(out, REPLACEMENT);
            ++i;
            continue;
        }
        // b1 is a lead byte 0x81-0xFE.
        if (i + 1 >= n) {  // the stream ends after the lead
            append_utf8(out, REPLACEMENT);
            break;
        }
        const uint8_t b2 = bytes[i + 1];
        if (in(b2, 0x30, 0x39)) {
            if (i + 2 >= n) {
                append_utf8(out, REPLACEMENT);
                break;
            }
            const uint8_t b3 = bytes[i + 2];
            if (!in(b3, 0x81, 0xFE)) {
                // The second and third bytes are read again after the error.
                append_utf8(out, REPLACEMENT);
                i += 1;
                continue;
            }
            if (i + 3 >= n) {
                append_utf8(out, REPLACEMENT);
                break;
            }
            const uint8_t b4 = bytes[i + 3];
            if (!in(b4, 0x30, 0x39)) {
                // Second, third and fourth bytes are read again.
                append_utf8(out, REPLACEMENT);
                i += 1;
                continue;
            }
            char32_t cp = four_byte_code_point(b1, b2, b3, b4);
            append_utf8(out, cp ? cp : REPLACEMENT);
            i += 4;
            continue;
        }
        char32_t cp = 0;
        if (in(b2, 0x40, 0x7E) || in(b2, 0x80, 0xFE)) {
            const uint32_t offset = b2 < 0x7F ? 0x40 : 0x41;
            cp = two_byte_table()[(b1 - 0x81u) * 190u + (b2 - offset)];
        }
        if (cp != 0) {
            append_utf8(out, cp);
            i += 2;
        } else {
            append_utf8(out, REPLACEMENT);
            // An ASCII trail is its own character; any other trail is swallowed by the error.
            i += b2 < 0x80 ? 1 : 2;
        }
    }
    return out;
}

std::string decode_bom_or_gbk(TextBytes bytes) {
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        return decode_utf8_lossy(bytes.subspan(3));
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return decode_utf16le(bytes.subspan(2));
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) return decode_utf16be(bytes.subspan(2));
    return decode_gbk(bytes);
}

void trim_trailing_nuls(std::string& text) {
    // U+0000 is the single byte 0 in UTF-8 and no other character contains that byte.
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\0') --end;
    text.resize(end);
}

std::string decode_reply_code(TextBytes bytes) {
    std::string s = decode_utf8_lossy(bytes);
    trim_trailing_nuls(s);
    return s;
}

std::string decode_name_text(TextBytes bytes) {
    std::string s = decode_bom_or_gbk(bytes);
    trim_trailing_nuls(s);
    return s;
}

}  // namespace quotix
