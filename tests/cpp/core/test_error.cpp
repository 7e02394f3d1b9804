// How errors and log lines read: the fixed texts are seen from Python, the composed ones here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/error.hpp"
#include "core/logging.hpp"
#include "core/text_escape.hpp"

using quotix::TdxError;
namespace logging = quotix::logging;

// Each variant's display, the text Python shows, and its debug form.
TEST(ErrorDisplay, EveryVariantAndTheCodedForms) {
    struct Case { TdxError error; const char *display, *debug; };
    const Case cases[] = {
        {TdxError::io_errno(ENOENT), "IO error: No such file or directory (os error 2)",
         "Io(\"No such file or directory (os error 2)\")"},
        {TdxError::parse("p"), "Parse error: p", "Parse(\"p\")"},
        {TdxError::invalid_data("Block file too small"), "Invalid data: Block file too small",
         "InvalidData(\"Block file too small\")"},
        {TdxError::file_not_found("a.day"), "File not found: a.day", "FileNotFound(\"a.day\")"},
        {TdxError::connection("recv: timed out"), "Connection error: recv: timed out", "Connection(\"recv: timed out\")"},
        {TdxError::connection_timeout(), "Connection timeout", "ConnectionTimeout"},
        {TdxError::setup_failed("s"), "Setup handshake failed: s", "SetupFailed(\"s\")"},
        {TdxError::response_parse("r"), "Response parse error: r", "ResponseParse(\"r\")"},
        {TdxError::disconnected(), "Server disconnected", "Disconnected"},
        {TdxError::retry_exhausted(5), "Retry exhausted after 5 attempts", "RetryExhausted(5)"},
        {TdxError::coded(2101, "expected 16 bytes, got 3"), "[E2101] invalid response header: expected 16 bytes, got 3",
         "Coded(CodedError { code: ErrorCode(2101), message: \"expected 16 bytes, got 3\" })"},
        // Codes outside the table, short ones padded, long ones in full; the separator is always there.
        {TdxError::coded(7, ""), "[E0007] unknown error: ", "Coded(CodedError { code: ErrorCode(7), message: \"\" })"},
        {TdxError::coded(1105, "m"), "[E1105] unknown error: m", nullptr},
        {TdxError::coded(123456, "m"), "[E123456] unknown error: m", nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.display(), c.display);
        if (c.debug) {
            EXPECT_EQ(c.error.debug(), c.debug);
        }
    }
    // Debug texts quote and escape: quotes, backslashes, line ends and tabs by name, other control
    // bytes by number, everything else (UTF-8 too) as it is.
    EXPECT_EQ(quotix::util::debug_quote(std::string("a\"b\\c\nd\re\tf\x01\x1f\x7f 平\0", 19)),
              "\"a\\\"b\\\\c\\nd\\re\\tf\\u{1}\\u{1f}\\u{7f} 平\\u{0}\"");
}

// The level comes from QUOTIX_LOG, any case, matched whole; a suppressed message is never formatted.
TEST(Logging, LevelAndSuppression) {
    const char* saved_env = std::getenv("QUOTIX_LOG");
    const std::string saved_value = saved_env ? saved_env : "";
    const auto saved = logging::LEVEL.load();
    const std::pair<const char*, int> cases[] = {
        {nullptr, 2}, {"off", 0}, {"error", 1}, {"warn", 2}, {"INFO", 3}, {"Debug", 4}, {" info", 2}, {"warning", 2},
        {"", 2},
        // Not valid UTF-8, so unset: an overlong 'o', and a lead byte with no continuation. A decoder
        // that accepted the one or skipped the other would read "off".
        {"\xc1\xaf" "ff", 2}, {"o\xe4" "ff", 2}, {"off\x80", 2},
    };
    for (auto [value, level] : cases) {
        if (value) ::setenv("QUOTIX_LOG", value, 1);
        else ::unsetenv("QUOTIX_LOG");
        logging::init_level_from_env();
        EXPECT_EQ(logging::LEVEL.load(), level) << (value ? value : "unset");
    }
    if (saved_env) ::setenv("QUOTIX_LOG", saved_value.c_str(), 1);
    else ::unsetenv("QUOTIX_LOG");
    logging::LEVEL = 1;
    int evaluated = 0;
    auto side = [&] { ++evaluated; return "x"; };
    QTX_LOG('W', "hq", side());
    EXPECT_EQ(evaluated, 0);
    logging::LEVEL = saved;
}

// A line that standard error cannot take is dropped, and the caller goes on.
TEST(Logging, AFailedWriteIsDropped) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(full, STDERR_FILENO);
    logging::write_line('E', "hq", "lost");  // ENOSPC
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(full);
}
