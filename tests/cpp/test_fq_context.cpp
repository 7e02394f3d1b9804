// Context fetching for price adjustment, over a scripted request function.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/fq_context.hpp"

using quotix::Result;
using quotix::SecurityBar;
using quotix::TdxError;
using quotix::XdXrInfo;
using namespace quotix::net;

namespace {

std::vector<uint8_t> unhex(const std::string& h) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

// One daily bar each: 2024-06-28 and 2001-01-02, close 10.000.
const std::string kJune2024 = "0100f4d834019e9b01329602e40100007a448096184b";
const std::string kJan2001 = "0100765431019e9b01329602e40100007a448096184b";

// Replies in order and records the start field (bytes 24-25) of every bars request.
struct Script {
    std::vector<Result<std::vector<uint8_t>>> replies;
    std::vector<int> starts;
    size_t next = 0;

    RequestFn fn() {
        return [this](const std::vector<uint8_t>& packet) -> Result<std::vector<uint8_t>> {
            starts.push_back(packet[24] | (packet[25] << 8));
            if (next < replies.size()) return replies[next++];
            return unhex(kJune2024);
        };
    }
};

SecurityBar bar_on(uint32_t y, uint32_t m, uint32_t d) {
    SecurityBar b;
    b.year = y;
    b.month = m;
    b.day = d;
    return b;
}

XdXrInfo event_on(uint32_t y, uint32_t m, uint32_t d, uint32_t category) {
    XdXrInfo e;
    e.year = y;
    e.month = m;
    e.day = d;
    e.category = category;
    return e;
}

}  // namespace

TEST(FqContext, TierPagesEarliestEventAndWhenContextIsNeeded) {
    EXPECT_EQ(fq_context_max_pages(0), 3u);
    EXPECT_EQ(fq_context_max_pages(1), 6u);
    EXPECT_EQ(fq_context_max_pages(2), 9u);
    EXPECT_EQ(fq_context_max_pages(200), 6u);

    // Only ex-rights events (category 1) count.
    EXPECT_EQ(earliest_ex_rights_date(std::vector<XdXrInfo>{event_on(2020, 1, 5, 2), event_on(2021, 3, 1, 1), event_on(2020, 6, 1, 1)}),
              20200601u);
    EXPECT_FALSE(earliest_ex_rights_date(std::vector<XdXrInfo>{event_on(2020, 1, 5, 2)}));

    std::vector<SecurityBar> bars = {bar_on(2024, 6, 3), bar_on(2024, 6, 4)};
    EXPECT_TRUE(needs_fq_context(bars, 20240603u));  // on the first bar's own date
    EXPECT_TRUE(needs_fq_context(bars, 20240531u));
    EXPECT_FALSE(needs_fq_context(bars, 20240604u));
    EXPECT_FALSE(needs_fq_context(bars, std::nullopt));
    EXPECT_FALSE(needs_fq_context({}, 20240531u));
}

TEST(FqContext, OffsetsStopWhenTheyNoLongerFitSixteenBits) {
    Script s;
    auto ctx = fetch_fq_context(s.fn(), 4, 1, "600000", 64000, 19900101, 9);
    ASSERT_TRUE(ctx.ok());
    EXPECT_EQ(s.starts, (std::vector<int>{64000, 64800}));
    EXPECT_EQ(ctx->size(), 2u);
    Script t;
    ASSERT_TRUE(fetch_fq_context(t.fn(), 4, 1, "600000", 65535, 19900101, 9).ok());
    EXPECT_EQ(t.starts, (std::vector<int>{65535}));
    Script u;
    ASSERT_TRUE(fetch_fq_context(u.fn(), 4, 1, "600000", 65536, 19900101, 9).ok());
    EXPECT_TRUE(u.starts.empty());
}

TEST(FqContext, PagesGoInFrontAndThePageReachingBackIsTheLast) {
    Script s;
    s.replies = {unhex(kJune2024), unhex(kJan2001)};
    auto ctx = fetch_fq_context(s.fn(), 4, 1, "600000", 30, 20100101, 6);
    ASSERT_TRUE(ctx.ok());
    EXPECT_EQ(s.starts, (std::vector<int>{30, 830}));
    ASSERT_EQ(ctx->size(), 2u);
    EXPECT_EQ((*ctx)[0].year, 2001u);
    EXPECT_EQ((*ctx)[1].year, 2024u);
}

TEST(FqContext, PageBeginningOnTheEventDateDoesNotEndTheFetch) {
    // The event needs the close of the bar before it, which the next page holds.
    Script s;
    s.replies = {unhex(kJune2024), unhex(kJan2001)};
    auto ctx = fetch_fq_context(s.fn(), 4, 1, "600000", 0, 20240628, 6);
    ASSERT_TRUE(ctx.ok());
    EXPECT_EQ(s.starts, (std::vector<int>{0, 800}));
}

TEST(FqContext, FailedOrUndecodablePageIsAnError) {
    Script s;
    s.replies = {unhex(kJune2024), TdxError::disconnected()};
    auto ctx = fetch_fq_context(s.fn(), 4, 1, "600000", 800, 19900101, 6);
    ASSERT_FALSE(ctx.ok());
    EXPECT_EQ(ctx.error().kind(), TdxError::Kind::Disconnected);
    Script p;
    p.replies = {unhex("01")};
    EXPECT_FALSE(fetch_fq_context(p.fn(), 4, 1, "600000", 800, 19900101, 6).ok());
}

TEST(FqContext, NothingIsSentForFqZeroOrNoBars) {
    Script s;
    std::vector<SecurityBar> bars = {bar_on(2024, 6, 3)};
    EXPECT_TRUE(adjust_window(bars, 0, 4, 1, "600000", 1, 1, s.fn()).ok());
    std::vector<SecurityBar> none;
    EXPECT_TRUE(adjust_window(none, 1, 4, 1, "600000", 1, 1, s.fn()).ok());
    EXPECT_TRUE(s.starts.empty());
}
