// Security bars of the pooled client: server switching on empty results, adjustment with XDXR
// events and context pages, and whole histories page by page.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "loopback_client.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"

using quotix::SecurityBar;
using quotix::net::TdxHqClient;
using quotix::test::CapturedLog;
using quotix::test::MockServer;

namespace {

double r3(double v) { return std::round(v * 1000) / 1000; }

// 0 000001: close_i = 10.000 + 0.010 i for bars i = 0..29 (2024-05-20 .. 2024-06-28).
const double F0603 = (10.09 - 0.5) / 10.09;           // fenhong 5.0 on bar 10
// Two events on bar 20: fenhong 2.0 and songzhuangu 10.0, each with its own factor.
const double F0617 = (10.19 - 0.2) / 10.19 * 0.5;
const double F0624 = (8.0 * 0.3 + 10.24) / (1.3 * 10.24);  // peigu 3.0 at 8.0 on bar 25

// An XDXR reply for 1 600036 holding only the 2024-06-14 event (fenhong 2.0).
const char* kOnlyJune14 =
    "013630303033360000" "0100" "01363030303336" "00" "e6d83401" "01"
    "00000040" "00000000" "00000000" "00000000";

class Bars : public quotix::test::ConnectedClientTest {
protected:
    std::vector<int> bar_starts() {
        std::vector<int> s;
        for (const auto& e : mock_->request_log("bars")) s.push_back(e["args"]["start"].get<int>());
        return s;
    }
};

}  // namespace

// ---- server switching

// Empty daily-and-longer bars (the one-minute category counts among them) switch server twice and
// are not adjusted; shorter ones are one request without a line.
TEST_F(Bars, EmptyBarsSwitchServerOnlyForDailyAndLonger) {
    for (auto [category, requests] : {std::pair{3, 1}, {8, 3}, {4, 3}}) {
        SCOPED_TRACE(category);
        mock_->reset();
        CapturedLog log;
        auto r = client_->get_security_bars(static_cast<uint8_t>(category), 1, "999999", 0, 10, 1);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r->empty());
        EXPECT_EQ(mock_->requests("bars"), requests);
        EXPECT_EQ(mock_->requests("xdxr"), 0);
        if (requests == 1) {
            EXPECT_EQ(log.text(), "");
            continue;
        }
        EXPECT_EQ(log.count("[D] hq  attempt "), 3u);
        EXPECT_TRUE(log.has("[D] hq  attempt 1/3: empty K-line for 999999, switching server\n"));
        EXPECT_TRUE(log.has("[D] hq  attempt 3/3: empty K-line for 999999, switching server\n"));
        EXPECT_TRUE(log.has("[W] hq  all 3 attempts returned empty K-line for 999999\n"));
    }
}

TEST_F(Bars, BarsAfterOneSwitchLogTheInfoLine) {
    mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 0}, {"times", 1}});
    CapturedLog log;
    auto r = client_->get_security_bars(9, 1, "600519", 0, 500, 0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), 500u);
    EXPECT_TRUE(log.has("[I] hq  got 500 bars for 600519 after 1 server switch(es)\n"));
    EXPECT_EQ(mock_->requests("bars", 1), 1);
}

TEST_F(Bars, BlockCodesAndWideStartsAreRefusedBeforeAnyTraffic) {
    auto a = client_->get_security_bars(4, 1, "880001", 0, 10, 1);
    ASSERT_FALSE(a.ok());
    EXPECT_TRUE(a.error().is_coded(1101));
    EXPECT_EQ(a.error().coded_error().message, "code=880001");
    auto b = client_->get_security_bars(4, 1, "600000", 65536, 10, 1);
    ASSERT_FALSE(b.ok());
    EXPECT_TRUE(b.error().is_coded(1003));
    EXPECT_EQ(b.error().coded_error().message, "start=65536");
    auto c = client_->get_security_bars_all(4, 1, "880001", 10, 0);
    ASSERT_FALSE(c.ok());
    auto none = client_->get_security_bars_all(4, 1, "600000", 0, 1);  // count 0
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(mock_->requests(), 0);
}

// ---- adjustment

// Any fq other than 0 and 2 is forward; the first request's flag field carries the caller's fq,
// the context pages 0.
TEST_F(Bars, ForwardAdjustmentAtStartZero) {
    for (int fq : {1, 3}) {
        SCOPED_TRACE(fq);
        mock_->reset();
        auto r = client_->get_security_bars(4, 0, "000001", 0, 30, static_cast<uint8_t>(fq));
        ASSERT_TRUE(r.ok()) << r.error().display();
        ASSERT_EQ(r->size(), 30u);
        EXPECT_DOUBLE_EQ((*r)[0].close, r3(10.0 * F0603 * F0617 * F0624));
        EXPECT_DOUBLE_EQ((*r)[10].close, r3(10.1 * F0617 * F0624));
        EXPECT_DOUBLE_EQ((*r)[20].close, 9.685);
        EXPECT_DOUBLE_EQ((*r)[0].open, r3(9.95 * F0603 * F0617 * F0624));
        EXPECT_DOUBLE_EQ((*r)[0].high, r3(10.10 * F0603 * F0617 * F0624));
        EXPECT_DOUBLE_EQ((*r)[0].low, r3(9.85 * F0603 * F0617 * F0624));
        for (int i = 25; i < 30; ++i) EXPECT_DOUBLE_EQ((*r)[i].close, r3(10.0 + 0.01 * i));
        auto bars = mock_->request_log("bars");
        ASSERT_GE(bars.size(), 2u);
        EXPECT_EQ(bars[0]["args"]["fq"], fq);
        for (size_t i = 1; i < bars.size(); ++i) EXPECT_EQ(bars[i]["args"]["fq"], 0);
        EXPECT_EQ(mock_->requests("xdxr"), 1);
    }
}

TEST_F(Bars, BackwardAdjustmentAtStartZero) {
    auto r = client_->get_security_bars(4, 0, "000001", 0, 30, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 30u);
    EXPECT_DOUBLE_EQ((*r)[9].close, 10.09);
    EXPECT_DOUBLE_EQ((*r)[10].close, 10.627);
    EXPECT_DOUBLE_EQ((*r)[20].close, r3(10.2 / F0603 / F0617));
    EXPECT_DOUBLE_EQ((*r)[29].close, r3(10.29 / F0603 / F0617 / F0624));
}

TEST_F(Bars, WindowAboveStartZeroTakesContextFromJustPastItsEnd) {
    // Bars i = 5..24. The context of a window that ends 25 bars back starts at offset 25: a first
    // page at 800 would skip bars 0..4 entirely.
    auto fwd = client_->get_security_bars(4, 0, "000001", 5, 20, 1);
    ASSERT_TRUE(fwd.ok()) << fwd.error().display();
    ASSERT_EQ(fwd->size(), 20u);
    EXPECT_EQ(bar_starts(), (std::vector<int>{5, 25, 825}));
    // The 06-24 event lies after the window; its close before is the window's last bar, 10.24.
    EXPECT_DOUBLE_EQ((*fwd)[0].close, r3(10.05 * F0603 * F0617 * F0624));
    EXPECT_DOUBLE_EQ((*fwd)[19].close, r3(10.24 * F0624));

    mock_->reset();
    auto bwd = client_->get_security_bars(4, 0, "000001", 5, 20, 2);
    ASSERT_TRUE(bwd.ok()) << bwd.error().display();
    EXPECT_DOUBLE_EQ((*bwd)[0].close, 10.05);
    EXPECT_DOUBLE_EQ((*bwd)[19].close, r3(10.24 * (1 / F0603) * (1 / F0617)));
}

TEST_F(Bars, GapBetweenWindowAndOffset800IsFetched) {
    // 600036: events at back 10 and back 1000. The newest ten bars need the close at back 11 for
    // the first event; context pages run from offset 10 until one starts before back 1000.
    auto r = client_->get_security_bars(4, 1, "600036", 0, 10, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(bar_starts(), (std::vector<int>{0, 10, 810}));
    const double f_old = (30.98 - 1.0) / 30.98, f_new = (30.88 - 0.2) / 30.88;
    EXPECT_DOUBLE_EQ(r->back().close, r3(30.99 * (1 / f_old) * (1 / f_new)));
}

TEST_F(Bars, EventOnTheFirstBarsDateFetchesTheBarBeforeIt) {
    mock_->set_fault({{"action", "body"}, {"cmd", "xdxr"}, {"hex", kOnlyJune14}});
    // Window back 0..10; its first bar is the event's own day, 2024-06-14.
    auto r = client_->get_security_bars(4, 1, "600036", 0, 11, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(bar_starts(), (std::vector<int>{0, 11}));
    const double f = (30.88 - 0.2) / 30.88;
    EXPECT_DOUBLE_EQ(r->front().close, r3(30.89 / f));
    EXPECT_DOUBLE_EQ(r->back().close, r3(30.99 / f));
}

TEST_F(Bars, NoContextWhenEveryEventFollowsTheFirstBar) {
    mock_->set_fault({{"action", "body"}, {"cmd", "xdxr"}, {"hex", kOnlyJune14}});
    auto r = client_->get_security_bars(4, 1, "600036", 0, 800, 1);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(bar_starts(), (std::vector<int>{0}));
    // Back 11 (the close before the event) carries the factor; back 10 does not.
    const double f = (30.88 - 0.2) / 30.88;
    EXPECT_DOUBLE_EQ((*r)[788].close, r3(30.88 * f));
    EXPECT_DOUBLE_EQ((*r)[789].close, 30.89);
}

TEST_F(Bars, NoCategoryOneEventMeansNoContextAndUnchangedBars) {
    auto raw = client_->get_security_bars(4, 0, "000002", 0, 20, 0);
    ASSERT_TRUE(raw.ok());
    mock_->reset();
    auto adj = client_->get_security_bars(4, 0, "000002", 0, 20, 1);
    ASSERT_TRUE(adj.ok());
    EXPECT_EQ(bar_starts(), (std::vector<int>{0}));
    EXPECT_EQ(mock_->requests("xdxr"), 1);
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ((*adj)[i].close, (*raw)[i].close);
}

// Context pages of 800 stop at the tier's budget (low: 3), at an empty page, or at the page that
// reaches the earliest event.
TEST_F(Bars, ContextPagesStopAtBudgetEmptyPageOrEarliestEvent) {
    struct Case {
        uint8_t tier;
        const char* code;
        std::vector<int> starts;
    };
    for (const Case& c : {Case{0, "600000", {0, 800, 1600, 2400}}, Case{1, "600000", {0, 800, 1600, 2400, 3200}},
                          Case{1, "600036", {0, 800}}}) {
        SCOPED_TRACE(c.code);
        mock_->reset();
        client_->set_fq_context_tier(c.tier);
        auto r = client_->get_security_bars(4, 1, c.code, 0, 800, 1);
        ASSERT_TRUE(r.ok()) << r.error().display();
        EXPECT_EQ(bar_starts(), c.starts);
        for (const auto& e : mock_->request_log("bars")) EXPECT_EQ(e["args"]["count"], 800);
    }
}

// A failed event request or context page is an error, never unadjusted or wrongly adjusted bars.
TEST_F(Bars, FailedXdxrOrContextPageIsAnError) {
    client_->set_auto_retry(false);
    for (auto [cmd, nth] : {std::pair{"xdxr", 1}, {"bars", 2}}) {
        SCOPED_TRACE(cmd);
        mock_->reset();
        mock_->set_fault({{"action", "close"}, {"cmd", cmd}, {"nth", nth}});
        auto r = client_->get_security_bars(4, 1, "600036", 0, 10, 2);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), quotix::TdxError::Kind::Disconnected) << r.error().display();
    }
}

TEST_F(Bars, ContextFailureAfterRetriesIsTheRequestPathsError) {
    // A page that fails twice is served on the third attempt: the retries of the request path
    // apply to context pages like any request.
    mock_->set_fault({{"action", "close"}, {"cmd", "bars"}, {"skip", 1}, {"times", 2}});
    CapturedLog log;
    auto r = client_->get_security_bars(4, 1, "600036", 0, 10, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(bar_starts(), (std::vector<int>{0, 10, 10, 10, 810}));
}

// ---- whole histories

TEST_F(Bars, AllPagesBackwardsAndReturnsOldestFirst) {
    auto r = client_->get_security_bars_all(4, 1, "600000", 2000, 0);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 2000u);
    auto log = mock_->request_log("bars");
    ASSERT_EQ(log.size(), 3u);
    const int starts[] = {0, 800, 1600}, counts[] = {800, 800, 400};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i]["args"]["start"], starts[i]);
        EXPECT_EQ(log[i]["args"]["count"], counts[i]);
    }
    // Series index i = 1000 + j: close 10.000 + 0.010 x (i mod 100).
    for (size_t j = 0; j < 2000; ++j) ASSERT_DOUBLE_EQ((*r)[j].close, r3(10.0 + 0.01 * (j % 100))) << j;
    EXPECT_EQ(r->back().year, 2024u);
    EXPECT_EQ(r->back().day, 28u);
}

TEST_F(Bars, AllStopsAtAShortPage) {
    auto r = client_->get_security_bars_all(4, 1, "600519", 2000, 0);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(r->size(), 1000u);
    EXPECT_EQ(bar_starts(), (std::vector<int>{0, 800}));
    // The 200 older bars come first.
    EXPECT_DOUBLE_EQ(r->front().close, 1500.0);
    EXPECT_DOUBLE_EQ((*r)[200].close, 1500.0);
}

TEST_F(Bars, AllAdjustsTheWholeHistoryAtOnce) {
    // 600000, newest 2000 bars: events at back 1000 (factor 2/3) and back 100 (10.48 / 10.98); the
    // one of 2010 precedes the series and has no close before it.
    auto r = client_->get_security_bars_all(4, 1, "600000", 2000, 1);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 2000u);
    const double f_back1000 = 2.0 / 3.0, f_back100 = (10.98 - 0.5) / 10.98;
    auto close_at_back = [&](size_t k) { return (*r)[1999 - k].close; };
    auto raw = [](size_t k) { return 10.0 + 0.01 * ((2999 - k) % 100); };
    for (size_t k : {1999u, 1600u, 1599u, 1001u}) EXPECT_DOUBLE_EQ(close_at_back(k), r3(raw(k) * f_back1000 * f_back100)) << k;
    for (size_t k : {1000u, 800u, 799u, 101u}) EXPECT_DOUBLE_EQ(close_at_back(k), r3(raw(k) * f_back100)) << k;
    for (size_t k : {100u, 0u}) EXPECT_DOUBLE_EQ(close_at_back(k), r3(raw(k))) << k;
    // Every page asked with the caller's fq; one event request; context from just past the history.
    auto log = mock_->request_log("bars");
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(log[i]["args"]["fq"], 1);
    EXPECT_EQ(mock_->requests("xdxr"), 1);
    EXPECT_EQ(bar_starts(), (std::vector<int>{0, 800, 1600, 2000, 2800, 3600}));
}

// ---- factor report

TEST_F(Bars, FactorReportOfTheWorkedSecurity) {
    auto r = client_->calc_fq_factors(0, "000001", 0, 30);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->factors.size(), 4u);
    EXPECT_EQ(r->factors[0].date, 20240603u);
    EXPECT_DOUBLE_EQ(r->factors[0].close_before, 10.09);
    EXPECT_EQ(r->factors[3].date, 20240624u);
    EXPECT_NEAR(r->cumulative_qfq, F0603 * ((10.19 - 0.2) / 10.19) * 0.5 * F0624, 1e-12);
    EXPECT_NEAR(r->cumulative_qfq, 0.442377, 5e-7);
}
