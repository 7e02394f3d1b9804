#include <gtest/gtest.h>

#include <cstdint>

#include "block/client.hpp"

using namespace quotix;

namespace {

struct Row {
    uint8_t category;
    uint16_t default_count;
    uint16_t max_count;
};

}  // namespace

TEST(BlockLimits, TableByCategory) {
    // The hour category has a row of its own: default 200, maximum 800.
    const Row rows[] = {{0, 50, 200},   {1, 50, 200},   {2, 50, 200},   {3, 200, 800},
                        {4, 100, 800},  {5, 100, 800},  {6, 100, 800},  {9, 100, 800},
                        {10, 100, 800}, {11, 100, 800}, {12, 100, 800}, {255, 100, 800}};
    for (const Row& r : rows) {
        const block::BlockKlineLimit l = block::kline_limit(r.category);
        EXPECT_EQ(l.default_count, r.default_count) << int(r.category);
        EXPECT_EQ(l.max_count, r.max_count) << int(r.category);
    }
}

TEST(BlockLimits, EffectiveCountTakesTheDefaultForZeroAndClampsSilently) {
    // {category, asked, effective}
    const Row cases[] = {{4, 0, 100},  {0, 0, 50},    {3, 0, 200},     {0, 500, 200},   {0, 200, 200},
                         {0, 1, 1},    {3, 1000, 800}, {4, 65535, 800}, {4, 300, 300},  {12, 0, 100}};
    for (const Row& c : cases) EXPECT_EQ(block::effective_count(c.category, c.default_count), c.max_count) << int(c.category);
}

TEST(BlockLimits, OneMinuteCategoriesAreRefusedAsInvalidData) {
    for (uint8_t c : {uint8_t{7}, uint8_t{8}}) {
        EXPECT_FALSE(block::is_category_allowed(c));
        Status st = block::check_category(c);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().kind(), TdxError::Kind::InvalidData);
        EXPECT_EQ(st.error().display(), "Invalid data: category=" + std::to_string(c) +
                                            " (1min/扩展1min) is not allowed for block queries");
    }
    for (int c = 0; c < 256; ++c) {
        if (c == 7 || c == 8) continue;
        EXPECT_TRUE(block::check_category(static_cast<uint8_t>(c)).ok()) << c;
    }
}
