// Diagnostic lines on standard error, gated by one process-wide level (QUOTIX_LOG).
//
//   QTX_LOG('W', "hq", "Failed to connect to " << name);
//
// The message expression is evaluated only when the line will be written, so a suppressed line
// costs one byte read and one comparison.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace quotix::logging {

// 0 off, 1 error, 2 warn (the default before start-up), 3 info, 4 debug.
extern std::atomic<uint8_t> LEVEL;

// The level named by a QUOTIX_LOG value: lower-cased, matched exactly, anything else is 2.
// `value` is null when the variable is unset.
uint8_t level_from_env_value(const char* value);
// Reads QUOTIX_LOG and stores its level; called once by module start-up.
void init_level_from_env();

inline bool enabled(char letter) {
    uint8_t need = letter == 'E' ? 1 : letter == 'W' ? 2 : letter == 'I' ? 3 : 4;
    return LEVEL.load(std::memory_order_relaxed) >= need;
}

// "[L] tag  message\n", written whole in one call so lines of different threads never interleave.
std::string format_line(char letter, std::string_view tag, std::string_view message);
void write_line(char letter, std::string_view tag, std::string_view message);

}  // namespace quotix::logging

#define QTX_LOG(letter, tag, expr)                                          \
    do {                                                                    \
        if (::quotix::logging::enabled(letter)) {                           \
            std::ostringstream qtx_log_os_;                                 \
            qtx_log_os_ << expr;                                            \
            ::quotix::logging::write_line(letter, tag, qtx_log_os_.str());  \
        }                                                                   \
    } while (0)
