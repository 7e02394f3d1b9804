// Hostile bodies: huge announced counts over nothing, and random bytes through every parser
// (run under the sanitizers as part of the asan test binary).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/parsers.hpp"
#include "protocol/text.hpp"
#include "reader/block.hpp"

using namespace quotix;

TEST(ParserRobustness, AnnouncedCountsDoNotDriveAllocation) {
    const std::vector<uint8_t> count_only = {0xff, 0xff, 0xff, 0xff};
    auto bars = parse_security_bars(count_only, 4);
    ASSERT_TRUE(bars.ok());
    EXPECT_TRUE(bars->empty());
    EXPECT_LE(bars->capacity(), 1u);
    auto ibars = parse_index_bars(count_only, 4);
    EXPECT_LE(ibars->capacity(), 1u);
    auto quotes = parse_security_quotes(count_only);
    EXPECT_LE(quotes->capacity(), 1u);
    const std::vector<uint8_t> tick_count_only = {0xff, 0xff};
    auto ticks = parse_transaction_data_with_coefficient(tick_count_only, 0.01);
    EXPECT_TRUE(ticks->empty());
    EXPECT_LE(ticks->capacity(), 1u);
    auto list = parse_security_list(count_only);
    EXPECT_EQ(list->capacity(), 0u);

    std::vector<uint8_t> xdxr(11, 0xff);
    EXPECT_EQ(parse_xdxr_info(xdxr)->capacity(), 0u);

    // 65535 blocks announced, none present.
    std::vector<uint8_t> blocks(386, 0);
    blocks[384] = blocks[385] = 0xff;
    auto b = parse_block(blocks);
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().text(), "Truncated block header");
}

TEST(ParserRobustness, RandomBodies) {
    std::mt19937 rng(20240131);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> body(rng() % 200);
        for (auto& byte : body) byte = static_cast<uint8_t>(rng());
        if (body.size() >= 2 && round % 2) body[0] = body[1] = 0xff;  // large counts
        (void)parse_security_bars(body, static_cast<uint8_t>(round % 12));
        (void)parse_index_bars(body, static_cast<uint8_t>(round % 12));
        (void)parse_security_quotes(body);
        (void)parse_security_list(body);
        (void)parse_history_minute_time_data(body, static_cast<uint8_t>(round % 3), "600000");
        (void)parse_transaction_data_with_coefficient(body, 0.01);
        (void)parse_history_transaction_data_with_coefficient(body, 0.01);
        (void)parse_xdxr_info(body);
        (void)parse_finance_info(body, 0, "000001");
        (void)parse_block_info_meta(body);
        (void)decode_name_text(body);
        (void)decode_reply_code(body);
        std::vector<uint8_t> file(386, 0);
        file[384] = static_cast<uint8_t>(rng() % 4);
        file.insert(file.end(), body.begin(), body.end());
        (void)parse_block(file);
        (void)parse_block_groups(file);
    }
    SUCCEED();
}
