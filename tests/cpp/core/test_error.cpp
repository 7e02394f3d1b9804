// How errors and log lines read: the fixed texts are seen from Python, the composed ones here.
#include <gtest/gtest.h>

#include "core/error.hpp"
#include "core/logging.hpp"

using quotix::TdxError;
namespace logging = quotix::logging;

TEST(ErrorDisplay, ComposedForms) {
    const std::pair<TdxError, const char*> cases[] = {
        {TdxError::retry_exhausted(5), "Retry exhausted after 5 attempts"},
        {TdxError::coded(2101, "expected 16 bytes, got 3"), "[E2101] invalid response header: expected 16 bytes, got 3"},
        {TdxError::coded(7, ""), "[E0007] unknown error: "},
        {TdxError::coded(1105, "m"), "[E1105] unknown error: m"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.display(), text);
    EXPECT_EQ(TdxError::coded(2005, "a\"b").debug(), "Coded(CodedError { code: ErrorCode(2005), message: \"a\\\"b\" })");
}

// The level comes from the value of QUOTIX_LOG, any case; a suppressed message is never formatted.
TEST(Logging, LevelAndSuppression) {
    const std::pair<const char*, int> cases[] = {{nullptr, 2}, {"off", 0}, {"Debug", 4}, {" info", 2}};
    for (auto [value, level] : cases) EXPECT_EQ(logging::level_from_env_value(value), level) << (value ? value : "unset");
    EXPECT_EQ(logging::level_from_env_value("off", false), 2);  // not valid Unicode
    auto saved = logging::LEVEL.load();
    logging::LEVEL = 1;
    int evaluated = 0;
    auto side = [&] { ++evaluated; return "x"; };
    QTX_LOG('W', "hq", side());
    EXPECT_EQ(evaluated, 0);
    logging::LEVEL = saved;
}
