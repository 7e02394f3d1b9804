#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "async_fixture.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;

namespace {

// One mock process and one connected client per test.
class AsyncQueries : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.connect(mock.port(), 2.0).ok()); }

    template <class T>
    auto run(asio::awaitable<T> op) {
        return h.rt.block_on(std::move(op));
    }
    nlohmann::json bars_log() { return mock.request_log("bars"); }

    MockServer mock;
    AsyncHarness h{2};
};

double max_price(const std::vector<MinuteTimePrice>& points) {
    double m = 0;
    for (const auto& p : points) m = std::max(m, p.price);
    return m;
}

}  // namespace

TEST_F(AsyncQueries, BarsRequestAndDecodedPage) {
    auto bars = run(h.client->get_security_bars(4, 1, "600000", 0, 3, 0));
    ASSERT_TRUE(bars.ok()) << bars.error().display();
    ASSERT_EQ(bars->size(), 3u);
    // Bars 2997..2999 of a 3000-bar series: closes 10.970, 10.980, 10.990, oldest first.
    EXPECT_DOUBLE_EQ((*bars)[0].close, 10.97);
    EXPECT_DOUBLE_EQ((*bars)[2].close, 10.99);
    EXPECT_DOUBLE_EQ((*bars)[2].open, 10.94);
    EXPECT_DOUBLE_EQ((*bars)[2].high, 11.09);
    EXPECT_DOUBLE_EQ((*bars)[2].low, 10.84);
    EXPECT_DOUBLE_EQ((*bars)[2].vol, 3999);
    EXPECT_EQ((*bars)[2].year * 10000 + (*bars)[2].month * 100 + (*bars)[2].day, 20240628u);
    EXPECT_EQ(raw_request(mock, "bars"),
              hex("0c 01 08 64 01 01 1c 00 1c 00 2d 05 01 00 36 30 30 30 30 30 04 00 00 00 00 00 03 00"
                  "00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(mock.requests("xdxr"), 0);
}

TEST_F(AsyncQueries, StartBeyondSixteenBitsIsRefusedBeforeAnyRequest) {
    auto bars = run(h.client->get_security_bars(4, 1, "600000", 65536, 10, 0));
    ASSERT_FALSE(bars.ok());
    EXPECT_EQ(bars.error().display(), "[E1003] argument out of range: start=65536");
    auto index = run(h.client->get_index_bars(4, 1, "000001", 70000, 10, 0));
    ASSERT_FALSE(index.ok());
    EXPECT_TRUE(index.error().is_coded(1003));
    EXPECT_EQ(mock.requests("bars"), 0);
}

TEST_F(AsyncQueries, AdjustedClosesMatchHandComputedValuesWithTheirContextPage) {
    // 000001's factors: 0.950446 (06-03), 0.980373 and 0.5 (two events of 06-17, each applied
    // once) and 0.949519 (06-24). 600036's 2020-08-28 factor 29.98/30.98 needs the close
    // before it (30.980, back 1001), which only a context page holds.
    struct Case {
        uint8_t market;
        const char* code;
        uint16_t start, count;
        uint8_t fq;
        std::vector<std::pair<size_t, double>> closes;
        size_t dated;
        uint32_t date;
        int context_start;
    };
    const Case cases[] = {
        // Bar 0: 10.000 x all four; bar 10: 10.100 x the last three; bar 20, on 06-17: 10.200 x 0.949519.
        {0, "000001", 0, 30, 1, {{0, 4.424}, {10, 4.701}, {20, 9.685}, {29, 10.29}}, 0, 0, 30},
        // Bar 10: 10.100 / 0.950446; bar 20: 10.200 / (0.950446 x 0.980373 x 0.5); bar 29 also / 0.949519.
        {0, "000001", 0, 30, 2, {{10, 10.627}, {20, 21.893}, {29, 23.261}}, 0, 0, 30},
        // Back 11: 30.880 / (29.98 / 30.98).
        {1, "600036", 0, 800, 2, {{788, 31.91}}, 788, 20240613, 800},
        // Window back 201..1000 starts on the event's own day: 30.990 x 30.98 / 29.98.
        {1, "600036", 201, 800, 2, {{0, 32.024}}, 0, 20200828, 1001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.code) + " fq " + std::to_string(c.fq) + " start " + std::to_string(c.start));
        mock.reset();
        auto bars = run(h.client->get_security_bars(4, c.market, c.code, c.start, c.count, c.fq));
        ASSERT_TRUE(bars.ok()) << bars.error().display();
        ASSERT_EQ(bars->size(), c.count);
        for (auto [i, close] : c.closes) EXPECT_NEAR((*bars)[i].close, close, 1e-9) << i;
        const auto& d = (*bars)[c.dated];
        if (c.date) {
            EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, c.date);
        }
        // The window's page carries the caller's fq; the context page asks for raw prices.
        auto log = bars_log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0]["args"]["fq"], c.fq);
        EXPECT_EQ(log[1]["args"]["start"], c.context_start);
        EXPECT_EQ(log[1]["args"]["count"], 800);
        EXPECT_EQ(log[1]["args"]["fq"], 0);
    }
}

TEST_F(AsyncQueries, ContextPagesFollowTheWindowAndTheTierBudget) {
    // An event older than the whole 3000-bar series: pages until one is empty or the budget ends.
    // Window back 100..149; pages at 150, 950, 1750, 2550 (the last 450 bars), then 3350 empty.
    ASSERT_TRUE(run(h.client->get_security_bars(4, 1, "600000", 100, 50, 1)).ok());
    auto log = bars_log();
    ASSERT_EQ(log.size(), 6u);
    for (size_t i = 1; i < 6; ++i) EXPECT_EQ(log[i]["args"]["start"], 150 + 800 * (i - 1)) << i;
    mock.reset();
    h.client->set_fq_context_tier(FQ_CONTEXT_LOW);
    ASSERT_TRUE(run(h.client->get_security_bars(4, 1, "600000", 0, 800, 1)).ok());
    log = bars_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3]["args"]["start"], 2400);
}

TEST_F(AsyncQueries, FailedXdxrOrContextPageIsAnErrorButAnEmptyPageEndsTheContext) {
    mock.set_fault({{"action", "zero_body"}, {"cmd", "xdxr"}});
    auto bars = run(h.client->get_security_bars(4, 0, "000001", 0, 30, 1));
    ASSERT_FALSE(bars.ok());
    EXPECT_TRUE(bars.error().is_coded(2003));
    EXPECT_TRUE(run(h.client->get_security_bars(4, 0, "000001", 0, 30, 0)).ok());
    mock.reset();
    mock.set_fault({{"action", "zero_body"}, {"cmd", "bars"}, {"skip", 1}});
    bars = run(h.client->get_security_bars(4, 1, "600036", 0, 800, 1));
    ASSERT_FALSE(bars.ok());
    EXPECT_TRUE(bars.error().is_coded(2003));
    mock.reset();
    mock.set_fault({{"action", "empty"}, {"cmd", "bars"}, {"skip", 1}});
    bars = run(h.client->get_security_bars(4, 1, "600036", 0, 800, 2));
    ASSERT_TRUE(bars.ok()) << bars.error().display();
    // No context: the older event has no close before it and leaves back 11 unchanged.
    EXPECT_NEAR((*bars)[788].close, 30.88, 1e-9);
}

TEST_F(AsyncQueries, EmptyBarsStillAskForEventsButNoContext) {
    auto bars = run(h.client->get_security_bars(4, 1, "999999", 0, 10, 1));
    ASSERT_TRUE(bars.ok());
    EXPECT_TRUE(bars->empty());
    EXPECT_EQ(mock.requests("xdxr"), 1);
    EXPECT_EQ(mock.requests("bars"), 1);
}

TEST_F(AsyncQueries, IndexBarsIgnoreFq) {
    auto bars = run(h.client->get_index_bars(4, 1, "000001", 0, 2, 1));
    ASSERT_TRUE(bars.ok()) << bars.error().display();
    ASSERT_EQ(bars->size(), 2u);
    // Bar 998 of 1000: up 100 + 98, down 300 - 98.
    EXPECT_EQ((*bars)[0].up_count, 198u);
    EXPECT_EQ((*bars)[0].down_count, 202u);
    EXPECT_EQ(bars_log()[0]["args"]["fq"], 0);
    EXPECT_EQ(mock.requests("xdxr"), 0);
}

TEST_F(AsyncQueries, XdxrAndFinanceRequestsAndRecords) {
    auto events = run(h.client->get_xdxr_info(0, "000001"));
    ASSERT_TRUE(events.ok()) << events.error().display();
    EXPECT_EQ(events->size(), 9u);
    ASSERT_TRUE(run(h.client->get_xdxr_info(1, "600519")).ok());
    EXPECT_EQ(raw_request(mock, "xdxr", 1), hex("0c 1f 18 76 00 01 0b 00 0b 00 0f 00 01 00 01 36 30 30 35 31 39"));
    auto fin = run(h.client->get_finance_info(1, "600519"));
    ASSERT_TRUE(fin.ok()) << fin.error().display();
    EXPECT_EQ(raw_request(mock, "finance"), hex("0c 1f 18 76 00 01 0b 00 0b 00 10 00 01 00 01 36 30 30 35 31 39"));
    EXPECT_EQ(fin->code, "600519");
    EXPECT_EQ(fin->market, 1);
    EXPECT_DOUBLE_EQ(fin->liutongguben, 1000519);
    EXPECT_EQ(fin->province, 7u);
    EXPECT_EQ(fin->industry, 19u);
    EXPECT_EQ(fin->ipo_date, 19991110u);
    EXPECT_DOUBLE_EQ(fin->zongguben, 1519);
}

TEST_F(AsyncQueries, CountIsCachedPerMarketUntilExpiry) {
    EXPECT_EQ(run(h.client->get_security_count(1)).value(), 1908);
    EXPECT_EQ(run(h.client->get_security_count(1)).value(), 1908);
    EXPECT_EQ(mock.requests("count"), 1);
    EXPECT_EQ(raw_request(mock, "count"), hex("0c 0c 18 6c 00 01 08 00 08 00 4e 04 01 00 75 c7 33 01"));
    EXPECT_EQ(run(h.client->get_security_count(5)).value(), 0);
    EXPECT_EQ(run(h.client->get_security_count(5)).value(), 0);
    EXPECT_EQ(mock.requests("count"), 2);
    // A successful connect empties the caches.
    ASSERT_TRUE(h.connect(mock.port()).ok());
    EXPECT_EQ(run(h.client->get_security_count(1)).value(), 1908);
    EXPECT_EQ(mock.requests("count"), 3);
}

TEST(AsyncCache, EntriesExpireAfterTheirTimeToLive) {
    MockServer mock;
    AsyncClientSeams seams = fast_seams();
    seams.cache_ttl = std::chrono::milliseconds(100);
    AsyncHarness h(1, seams);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    ASSERT_TRUE(h.rt.block_on(h.client->get_security_count(2)).ok());
    ASSERT_TRUE(h.rt.block_on(h.client->get_security_list(2, 0)).ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(h.rt.block_on(h.client->get_security_count(2)).ok());
    ASSERT_TRUE(h.rt.block_on(h.client->get_security_list(2, 0)).ok());
    EXPECT_EQ(mock.requests("count"), 2);
    EXPECT_EQ(mock.requests("list"), 2);
}

TEST_F(AsyncQueries, ListCacheHoldsOnlyTheFirstPageAndHandsOutCopies) {
    auto first = run(h.client->get_security_list(2, 0));
    ASSERT_TRUE(first.ok());
    ASSERT_EQ(first->size(), 301u);
    EXPECT_EQ(first->front().code, "830799");
    EXPECT_EQ(raw_request(mock, "list"), hex("0c 01 18 64 01 01 06 00 06 00 50 04 02 00 00 00"));
    first->front().code = "changed";
    auto hit = run(h.client->get_security_list(2, 0));
    ASSERT_TRUE(hit.ok());
    EXPECT_EQ(hit->front().code, "830799");
    hit->clear();
    EXPECT_EQ(run(h.client->get_security_list(2, 0)).value().size(), 301u);
    EXPECT_EQ(mock.requests("list"), 1);
    auto later = run(h.client->get_security_list(2, 300));
    ASSERT_TRUE(later.ok());
    EXPECT_EQ(later->size(), 1u);
    EXPECT_EQ(run(h.client->get_security_list(2, 0)).value().size(), 301u);
    EXPECT_EQ(mock.requests("list"), 2);
}

TEST_F(AsyncQueries, QuoteBatchIsCutToSixtyWarningOnlyAtWarnLevel) {
    std::vector<std::pair<uint8_t, std::string>> pairs;
    for (int i = 0; i < 61; ++i) pairs.emplace_back(1, std::to_string(600100 + i));
    LogCapture capture(2);
    auto quotes = run(h.client->get_security_quotes(pairs));
    ASSERT_TRUE(quotes.ok()) << quotes.error().display();
    EXPECT_EQ(quotes->size(), 60u);
    EXPECT_EQ(capture.take(), "[W] async_hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n");
    ASSERT_EQ(raw_request(mock, "quotes").size(), 442u);
    EXPECT_EQ(mock.request_log("quotes")[0]["args"]["n"], 60);
    {
        LogCapture below(1);
        ASSERT_TRUE(run(h.client->get_security_quotes(pairs)).ok());
        EXPECT_EQ(below.take(), "");
        EXPECT_EQ(mock.request_log("quotes")[1]["args"]["n"], 60);
    }
    pairs.pop_back();
    LogCapture quiet(2);
    ASSERT_TRUE(run(h.client->get_security_quotes(pairs)).ok());
    EXPECT_EQ(quiet.take(), "");
}

TEST_F(AsyncQueries, QuotesDecodeAndBlockCodesAreSent) {
    auto quotes = run(h.client->get_security_quotes({{1, "600000"}, {1, "880001"}}));
    ASSERT_TRUE(quotes.ok()) << quotes.error().display();
    ASSERT_EQ(quotes->size(), 2u);
    EXPECT_EQ((*quotes)[0].code, "600000");
    EXPECT_NEAR((*quotes)[0].price, 10.00, 1e-9);
    EXPECT_NEAR((*quotes)[0].last_close, 9.90, 1e-9);
    EXPECT_EQ((*quotes)[1].code, "880001");
    auto empty = run(h.client->get_security_quotes({}));
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(raw_request(mock, "quotes", 1).size(), 22u);
}

TEST_F(AsyncQueries, HistoryMinuteTimeRequestAndPriceScale) {
    auto shares = run(h.client->get_history_minute_time_data(1, "600519", 20170613));
    ASSERT_TRUE(shares.ok());
    EXPECT_EQ(raw_request(mock, "minute"),
              hex("0c 01 30 00 01 01 0d 00 0d 00 b4 0f 75 c7 33 01 01 36 30 30 35 31 39"));
    auto fund = run(h.client->get_history_minute_time_data(1, "510300", 20170613));
    ASSERT_TRUE(fund.ok());
    ASSERT_EQ(shares->size(), 240u);
    ASSERT_EQ(fund->size(), 240u);
    // Highest point P + 9: 1528 hundredths for 600519, 1309 thousandths for 510300.
    EXPECT_NEAR(max_price(*shares), 15.28, 1e-9);
    EXPECT_NEAR(max_price(*fund), 1.309, 1e-9);
    auto none = run(h.client->get_history_minute_time_data(1, "999999", 20170613));
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
}

TEST_F(AsyncQueries, TodaysMinuteTimeAsksForTodaysDate) {
    const uint32_t before = today_yyyymmdd();
    auto points = run(h.client->get_minute_time_data(0, "000001"));
    const uint32_t after = today_yyyymmdd();
    ASSERT_TRUE(points.ok()) << points.error().display();
    EXPECT_EQ(points->size(), 240u);
    const uint32_t sent = mock.request_log("minute")[0]["args"]["date"].get<uint32_t>();
    EXPECT_TRUE(sent == before || sent == after) << sent;
}

TEST_F(AsyncQueries, TransactionRequests) {
    auto live = run(h.client->get_transaction_data(0, "000001", 0, 2000));
    ASSERT_TRUE(live.ok()) << live.error().display();
    EXPECT_EQ(live->size(), 1200u);
    EXPECT_EQ(raw_request(mock, "ticks"),
              hex("0c 17 08 01 01 01 0e 00 0e 00 c5 0f 00 00 30 30 30 30 30 31 00 00 d0 07"));
    auto past = run(h.client->get_history_transaction_data(1, "600519", 0, 2000, 20170613));
    ASSERT_TRUE(past.ok()) << past.error().display();
    EXPECT_EQ(raw_request(mock, "history_ticks"),
              hex("0c 01 30 01 00 01 12 00 12 00 b5 0f 75 c7 33 01 01 00 36 30 30 35 31 39 00 00 d0 07"));
    EXPECT_EQ(past->size(), 1200u);
}
