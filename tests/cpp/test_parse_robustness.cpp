// Short bodies and huge announced counts through every parser; random bodies are the fuzz targets' work.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "constants.hpp"
#include "protocol/parsers.hpp"
#include "reader/block.hpp"

using namespace quotix;

namespace {
template <class R>
std::optional<TdxError> error_of(const R& r) {
    return r.ok() ? std::nullopt : std::optional<TdxError>(r.error());
}
}  // namespace

// One byte under the shortest body a parser accepts is the coded error 2103; the shortest is accepted.
TEST(ParserRobustness, BodiesTooShortAreCoded2103) {
    using Parse = std::function<std::optional<TdxError>(const std::vector<uint8_t>&)>;
    struct Case { const char* name; Parse parse; size_t shortest; const char* message; };
    const Case cases[] = {
        {"bars", [](auto& b) { return error_of(parse_security_bars(b, KLINE_DAILY)); }, 2, "body too short"},
        {"index bars", [](auto& b) { return error_of(parse_index_bars(b, KLINE_DAILY)); }, 2, "body too short"},
        {"list", [](auto& b) { return error_of(parse_security_list(b)); }, 2, "body too short"},
        {"quotes", [](auto& b) { return error_of(parse_security_quotes(b)); }, 4, "body too short"},
        {"ticks", [](auto& b) { return error_of(parse_transaction_data_with_coefficient(b, 0.01)); }, 2, "body too short"},
        {"history ticks", [](auto& b) { return error_of(parse_history_transaction_data_with_coefficient(b, 0.01)); },
         6, "body too short"},
        {"xdxr", [](auto& b) { return error_of(parse_xdxr_info(b)); }, 11, "body too short"},
        {"finance", [](auto& b) { return error_of(parse_finance_info(b, 1, "600000")); }, 145,
         "body too short for finance info"},
        {"block meta", [](auto& b) { return error_of(parse_block_info_meta(b)); }, 38, "body too short for block meta"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.parse(std::vector<uint8_t>(c.shortest, 0)).has_value());
        for (size_t n : {size_t{0}, c.shortest - 1}) {
            auto e = c.parse(std::vector<uint8_t>(n, 0));
            ASSERT_TRUE(e.has_value()) << n;
            EXPECT_TRUE(e->is_coded(2103));
            EXPECT_EQ(e->coded_error().message, c.message);
        }
    }
}

TEST(ParserRobustness, AnnouncedCountsDoNotDriveAllocation) {
    const std::vector<uint8_t> count_only = {0xff, 0xff, 0xff, 0xff};
    auto bars = parse_security_bars(count_only, 4);
    ASSERT_TRUE(bars.ok());
    EXPECT_TRUE(bars->empty());
    EXPECT_LE(bars->capacity(), 1u);
    EXPECT_LE(parse_index_bars(count_only, 4)->capacity(), 1u);
    EXPECT_LE(parse_security_quotes(count_only)->capacity(), 1u);
    EXPECT_EQ(parse_security_list(count_only)->capacity(), 0u);
    auto ticks = parse_transaction_data_with_coefficient(std::vector<uint8_t>{0xff, 0xff}, 0.01);
    EXPECT_TRUE(ticks->empty());
    EXPECT_LE(ticks->capacity(), 1u);
    EXPECT_EQ(parse_xdxr_info(std::vector<uint8_t>(11, 0xff))->capacity(), 0u);

    // 65535 blocks announced, none present.
    std::vector<uint8_t> blocks(386, 0);
    blocks[384] = blocks[385] = 0xff;
    auto b = parse_block(blocks);
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().text(), "Truncated block header");
}
