#include <gtest/gtest.h>

#include "error.hpp"

using quotix::TdxError;

TEST(ErrorDisplay, PlainVariants) {
    EXPECT_EQ(TdxError::io("broken pipe").display(), "IO error: broken pipe");
    EXPECT_EQ(TdxError::parse("x").display(), "Parse error: x");
    EXPECT_EQ(TdxError::invalid_data("x").display(), "Invalid data: x");
    EXPECT_EQ(TdxError::file_not_found("a.day").display(), "File not found: a.day");
    EXPECT_EQ(TdxError::connection("refused").display(), "Connection error: refused");
    EXPECT_EQ(TdxError::connection_timeout().display(), "Connection timeout");
    EXPECT_EQ(TdxError::setup_failed("x").display(), "Setup handshake failed: x");
    EXPECT_EQ(TdxError::response_parse("x").display(), "Response parse error: x");
    EXPECT_EQ(TdxError::disconnected().display(), "Server disconnected");
    EXPECT_EQ(TdxError::retry_exhausted(5).display(), "Retry exhausted after 5 attempts");
}

TEST(ErrorDisplay, CodedForms) {
    EXPECT_EQ(TdxError::coded(2101, "expected 16 bytes, got 3").display(),
              "[E2101] invalid response header: expected 16 bytes, got 3");
    EXPECT_EQ(TdxError::coded(2005, "5 attempts").display(), "[E2005] retry exhausted: 5 attempts");
    EXPECT_EQ(TdxError::coded(7, "").display(), "[E0007] unknown error: ");
    EXPECT_EQ(TdxError::coded(99, "m").display(), "[E0099] unknown error: m");
    EXPECT_EQ(TdxError::coded(1105, "m").display(), "[E1105] unknown error: m");
    EXPECT_EQ(TdxError::coded(3005, "m").display(), "[E3005] type mismatch: m");
    EXPECT_EQ(TdxError::coded(2004, "m").display(), "[E2004] handshake failed: m");
    EXPECT_EQ(TdxError::coded(123456, "m").display(), "[E123456] unknown error: m");
    EXPECT_EQ(TdxError::coded(4294967295u, "").display(), "[E4294967295] unknown error: ");
    auto e = TdxError::coded(1101, "code=880001");
    EXPECT_EQ(e.display(), e.coded_error().format());
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
