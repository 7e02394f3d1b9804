#include <gtest/gtest.h>

#include "async/compound.hpp"
#include "async_fixture.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;

namespace {

template <class Bar>
uint32_t date_of(const Bar& b) {
    return b.year * 10000 + b.month * 100 + b.day;
}

std::vector<std::pair<uint32_t, uint32_t>> page_requests(MockServer& mock) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& e : mock.request_log("bars"))
        out.emplace_back(e["args"]["start"].get<uint32_t>(), e["args"]["count"].get<uint32_t>());
    return out;
}

template <class Bar>
void expect_ascending(const std::vector<Bar>& bars) {
    for (size_t i = 1; i < bars.size(); ++i) ASSERT_LT(date_of(bars[i - 1]), date_of(bars[i])) << i;
}

using Pages = std::vector<std::pair<uint32_t, uint32_t>>;

}  // namespace

TEST(AsyncConnectToFirst, SkipsFailingRowsStopsAtTheFirstThatConnectsElse2001) {
    MockServer mock(3);
    mock.listen(0, false);
    AsyncHarness h(2);
    std::vector<ServerEntry> rows;
    for (int i = 0; i < 3; ++i) rows.push_back({std::string(1, 'a' + i), "127.0.0.1", static_cast<uint16_t>(mock.port(i))});
    auto shown = [&](std::vector<ServerEntry> r, std::optional<double> t) {
        Status s = h.rt.block_on(connect_to_first(*h.client, r, t));
        return s.ok() ? std::string("ok") : s.error().display();
    };
    const std::string none = "[E2001] connection failed: all servers unreachable";
    EXPECT_EQ(shown({rows[0]}, 1.0), none);
    EXPECT_EQ(shown({}, std::nullopt), none);
    EXPECT_FALSE(h.client->is_alive());
    Status st = h.rt.block_on(connect_to_first(*h.client, rows, 1.0));
    ASSERT_TRUE(st.ok()) << st.error().display();
    EXPECT_EQ(h.connections(), 2u);
    EXPECT_TRUE(h.client->is_alive());
    EXPECT_EQ(mock.handshakes(1), 2);
    EXPECT_EQ(mock.handshakes(2), 0);
}

class AsyncBarsAll : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.connect(mock.port(), 2.0).ok()); }
    Result<std::vector<SecurityBar>> all(const std::string& code, uint8_t market, uint16_t count, uint8_t fq) {
        return h.rt.block_on(get_security_bars_all(*h.client, 4, market, code, count, fq));
    }
    MockServer mock;
    AsyncHarness h{2};
};

TEST_F(AsyncBarsAll, PagesComeBackOldestFirstAsOneSeries) {
    auto bars = all("600000", 1, 1000, 0);
    ASSERT_TRUE(bars.ok()) << bars.error().display();
    EXPECT_EQ(page_requests(mock), (Pages{{0, 800}, {800, 200}}));
    ASSERT_EQ(bars->size(), 1000u);
    // Bars i = 2000 .. 2999 of the 3000: back 999 is the weekday after 2020-08-28 (back 1000).
    EXPECT_EQ(date_of(bars->front()), 20200831u);
    EXPECT_DOUBLE_EQ(bars->front().close, 10.0);
    EXPECT_EQ(date_of(bars->back()), 20240628u);
    EXPECT_DOUBLE_EQ(bars->back().close, 10.99);
    expect_ascending(*bars);
    EXPECT_EQ(mock.requests("xdxr"), 0);
}

TEST_F(AsyncBarsAll, ShortOrEmptyPageEndsThePagingAndZeroSendsNothing) {
    auto bars = all("000001", 0, 1000, 0);  // 30 bars in all
    ASSERT_TRUE(bars.ok());
    EXPECT_EQ(bars->size(), 30u);
    EXPECT_EQ(page_requests(mock), (Pages{{0, 800}}));

    mock.reset();
    bars = all("600000", 1, 0, 1);
    ASSERT_TRUE(bars.ok());
    EXPECT_TRUE(bars->empty());
    EXPECT_EQ(mock.requests(), 0);

    // 2000 bars: two full pages, then a third for 400 that comes back empty.
    mock.reset();
    mock.set_fault({{"action", "empty"}, {"cmd", "bars"}, {"skip", 2}});
    bars = all("600036", 1, 2000, 0);
    ASSERT_TRUE(bars.ok());
    EXPECT_EQ(bars->size(), 1600u);
    EXPECT_EQ(page_requests(mock),
              (Pages{{0, 800}, {800, 800}, {1600, 400}}));
}

TEST_F(AsyncBarsAll, AdjustsTheWholeHistoryOnceWithContextBeyondIt) {
    auto bars = all("600000", 1, 1000, 1);
    ASSERT_TRUE(bars.ok()) << bars.error().display();
    ASSERT_EQ(bars->size(), 1000u);
    EXPECT_EQ(mock.requests("xdxr"), 1);
    // The pages carry the caller's fq; the context pages start where the history ends.
    auto log = mock.request_log("bars");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0]["args"]["fq"], 1);
    EXPECT_EQ(log[1]["args"]["fq"], 1);
    EXPECT_EQ(log[2]["args"]["start"], 1000);
    EXPECT_EQ(log[2]["args"]["fq"], 0);
    // The 20240209 dividend (back 100, factor 10.48 / 10.98) scales every older bar of the
    // history, those of the second page included: 10.000 x 10.48 / 10.98 = 9.5446.
    EXPECT_DOUBLE_EQ(bars->front().close, 9.545);
    EXPECT_DOUBLE_EQ((*bars)[898].close, 10.48);  // back 101, the close before the dividend
    EXPECT_DOUBLE_EQ((*bars)[899].close, 10.99);  // back 100, the dividend's own day
    EXPECT_DOUBLE_EQ(bars->back().close, 10.99);
}

TEST_F(AsyncBarsAll, AnyFailedRequestFailsTheCall) {
    mock.set_fault({{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}, {"nth", 2}});
    auto bars = all("600000", 1, 1000, 0);
    ASSERT_FALSE(bars.ok());
    EXPECT_TRUE(bars.error().is_coded(2103)) << bars.error().display();

    mock.reset();
    mock.set_fault({{"action", "body"}, {"cmd", "xdxr"}, {"hex", "00"}});
    bars = all("600000", 1, 10, 1);
    ASSERT_FALSE(bars.ok());
    EXPECT_EQ(bars.error().display(), "[E2103] response length mismatch: body too short");
}

TEST(AsyncFinanceInfos, OneRequestPerPairUntilTheFirstFailure) {
    MockServer mock;
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port(), 2.0).ok());
    std::vector<std::pair<uint8_t, std::string>> stocks{{0, "000001"}, {1, "600000"}, {0, "000001"}};
    auto infos = h.rt.block_on(get_finance_infos(*h.client, stocks));
    ASSERT_TRUE(infos.ok());
    ASSERT_EQ(infos->size(), 3u);
    EXPECT_EQ((*infos)[1].code, "600000");
    EXPECT_EQ((*infos)[2].market, 0);
    EXPECT_EQ(mock.requests("finance"), 3);

    mock.reset();
    mock.set_fault({{"action", "body"}, {"cmd", "finance"}, {"hex", "0100"}, {"nth", 2}});
    infos = h.rt.block_on(get_finance_infos(*h.client, stocks));
    ASSERT_FALSE(infos.ok());
    EXPECT_EQ(infos.error().display(), "[E2103] response length mismatch: body too short for finance info");
    EXPECT_EQ(mock.requests("finance"), 2);
}

TEST_F(AsyncBarsAll, IndexHistoryIsPagedToo) {
    // 1000 bars in all: a full page, then a short one of 200 ends the paging.
    auto bars = h.rt.block_on(get_index_bars_all(*h.client, 4, 1, "000001", 2000));
    ASSERT_TRUE(bars.ok()) << bars.error().display();
    ASSERT_EQ(bars->size(), 1000u);
    EXPECT_EQ(page_requests(mock), (Pages{{0, 800}, {800, 800}}));
    for (const auto& e : mock.request_log("bars")) EXPECT_EQ(e["args"]["fq"], 0);
    EXPECT_EQ(date_of(bars->back()), 20240628u);
    // Bar i = 999: up_count 100 + 99, down_count 300 - 99; bar i = 0 opens the list.
    EXPECT_EQ(bars->back().up_count, 199u);
    EXPECT_EQ(bars->back().down_count, 201u);
    EXPECT_EQ(bars->front().up_count, 100u);
    expect_ascending(*bars);
    EXPECT_EQ(mock.requests("xdxr"), 0);
}
