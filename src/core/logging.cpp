#include "core/logging.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace quotix::logging {

std::atomic<uint8_t> LEVEL{2};

uint8_t level_from_env_value(const char* value) {
    if (value == nullptr) return 2;
    // Full Unicode lower-casing: "DEBUG" and "Debug" name the same level. A value that is not valid
    // UTF-8 decodes with U+FFFD in place of each bad sequence, which no level name holds, so it
    // counts as unset; an overlong form of an ASCII letter is one such sequence.
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(value);
    u.toLower(icu::Locale::getRoot());
    std::string lower;
    u.toUTF8String(lower);
    if (lower == "off") return 0;
    if (lower == "error") return 1;
    if (lower == "info") return 3;
    if (lower == "debug") return 4;
    return 2;  // "warn", and anything else
}

void init_level_from_env() { LEVEL.store(level_from_env_value(std::getenv("QUOTIX_LOG")), std::memory_order_relaxed); }

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
