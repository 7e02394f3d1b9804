#include <gtest/gtest.h>

#include "error.hpp"

using quotix::TdxError;

TEST(ErrorDisplay, EveryForm) {
    const std::pair<TdxError, const char*> cases[] = {
        {TdxError::io("broken pipe"), "IO error: broken pipe"},
        {TdxError::parse("x"), "Parse error: x"},
        {TdxError::invalid_data("x"), "Invalid data: x"},
        {TdxError::file_not_found("a.day"), "File not found: a.day"},
        {TdxError::connection("refused"), "Connection error: refused"},
        {TdxError::connection_timeout(), "Connection timeout"},
        {TdxError::setup_failed("x"), "Setup handshake failed: x"},
        {TdxError::response_parse("x"), "Response parse error: x"},
        {TdxError::disconnected(), "Server disconnected"},
        {TdxError::retry_exhausted(5), "Retry exhausted after 5 attempts"},
        {TdxError::coded(2101, "expected 16 bytes, got 3"), "[E2101] invalid response header: expected 16 bytes, got 3"},
        {TdxError::coded(2005, "5 attempts"), "[E2005] retry exhausted: 5 attempts"},
        {TdxError::coded(3005, "m"), "[E3005] type mismatch: m"},
        {TdxError::coded(2004, "m"), "[E2004] handshake failed: m"},
        {TdxError::coded(7, ""), "[E0007] unknown error: "},
        {TdxError::coded(1105, "m"), "[E1105] unknown error: m"},
        {TdxError::coded(4294967295u, ""), "[E4294967295] unknown error: "},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.display(), text);
}

TEST(ErrorDisplay, DebugForms) {
    EXPECT_EQ(TdxError::disconnected().debug(), "Disconnected");
    EXPECT_EQ(TdxError::retry_exhausted(3).debug(), "RetryExhausted(3)");
    EXPECT_EQ(TdxError::parse("a\"b").debug(), "Parse(\"a\\\"b\")");
    EXPECT_EQ(TdxError::coded(2005, "5 attempts").debug(),
              "Coded(CodedError { code: ErrorCode(2005), message: \"5 attempts\" })");
}

TEST(ErrorCodes, ExportedTableSkipsDecodingCodes) {
    size_t n = 0;
    const auto* rows = quotix::exported_error_codes(n);
    EXPECT_EQ(n, 30u);
    for (size_t i = 0; i < n; ++i) EXPECT_TRUE(rows[i].code < 2101 || rows[i].code > 2103);
    EXPECT_STREQ(rows[0].python_name, "ERR_EMPTY_ARGUMENT");
}
