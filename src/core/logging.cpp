#include "core/logging.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace quotix::logging {

std::atomic<uint8_t> LEVEL{2};

uint8_t level_from_env_value(const char* value, bool valid_unicode) {
    if (value == nullptr || !valid_unicode) return 2;
    // Full Unicode lower-casing: "DEBUG" and "Debug" name the same level.
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(value);
    u.toLower(icu::Locale::getRoot());
    std::string lower;
    u.toUTF8String(lower);
    if (lower == "off") return 0;
    if (lower == "error") return 1;
    if (lower == "warn") return 2;
    if (lower == "info") return 3;
    if (lower == "debug") return 4;
    return 2;
}

namespace {

// Strict UTF-8 check: an environment value that is not valid text counts as unset.
bool is_valid_utf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        size_t len;
        uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

}  // namespace

void init_level_from_env() {
    const char* v = std::getenv("QUOTIX_LOG");
    bool valid = v == nullptr || is_valid_utf8(reinterpret_cast<const unsigned char*>(v), std::strlen(v));
    LEVEL.store(level_from_env_value(v, valid), std::memory_order_relaxed);
}

std::string format_line(char letter, std::string_view tag, std::string_view message) {
    std::string line;
    line.reserve(8 + tag.size() + message.size());
    line += '[';
    line += letter;
    line += "] ";
    line += tag;
    line += "  ";
    line += message;
    line += '\n';
    return line;
}

void write_line(char letter, std::string_view tag, std::string_view message) {
    std::string line = format_line(letter, tag, message);
    // One write(2) per line keeps lines whole; a failed write is dropped, never fatal.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace quotix::logging
