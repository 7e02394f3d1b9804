// The smart client over three loopback servers: its retrying bar and quote queries (which failures
// move it to another server, what it logs, what a call that never gets data ends with), and the
// table walks of connecting and probing that the Python tests must not reach.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "loopback_client.hpp"

using quotix::net::ServerCache;
using quotix::net::TdxSmartClient;
using quotix::test::CapturedLog;
using quotix::test::MockServer;

namespace {

constexpr uint64_t kNow = quotix::test::kSmartNow;
using Stocks = std::vector<std::pair<uint8_t, std::string>>;

class SmartLoopback : public quotix::test::SmartTest {};

// Intraday bars of a code the mock has no data for: an empty answer that the pooled client
// itself does not retry elsewhere (it moves on empty answers only from category 4 up).
constexpr uint8_t kIntraday = 0;
const char* const kNoData = "602999";

}  // namespace

// ---- bars

TEST_F(SmartLoopback, FirstAnswerIsReturnedWithoutAnyLineOfItsOwn) {
    select(0);
    CapturedLog log(4);
    auto r = smart_->get_security_bars(4, 1, "600000", 0, 3, 0);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[2].datetime, "2024-06-28");
    EXPECT_EQ(log.count("smart  "), 0u) << log.text();
    EXPECT_EQ(mock_->requests("bars"), 1);
}

TEST_F(SmartLoopback, ErrorMovesToTheNextServerAndTheRetryIsReported) {
    select(0);
    // A body too short for its header: a decoding error, which the pooled client does not retry.
    mock_->set_fault({{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}, {"server", 0}});
    CapturedLog log(3);
    auto r = smart_->get_security_bars(4, 1, "600000", 0, 5, 0);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(r->size(), 5u);
    EXPECT_TRUE(log.has("[W] smart  attempt 1/3: error: [E2103] response length mismatch: body too short, "
                        "trying next server\n"))
        << log.text();
    EXPECT_TRUE(log.has(switched_to(1)));
    EXPECT_TRUE(log.has("[I] smart  got 5 bars after 1 retries\n"));
    EXPECT_EQ(mock_->requests("bars", 0), 1);
    EXPECT_EQ(mock_->requests("bars", 1), 1);
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(1));
}

TEST_F(SmartLoopback, EmptyAnswersFromAHealthyServerEndInMaxRetryReached) {
    select(0);
    CapturedLog log(2);
    auto r = smart_->get_security_bars(kIntraday, 1, kNoData, 0, 10, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "[E2005] retry exhausted: max retry reached");
    EXPECT_EQ(log.text(),
              "[W] smart  attempt 1/3: empty response, triggering health check\n"
              "[W] smart  attempt 2/3: empty response, triggering health check\n"
              "[W] smart  attempt 3/3: empty response, triggering health check\n");
    // Three queries and one health probe, all on the selected server: a passed check is not repeated.
    EXPECT_EQ(mock_->requests("bars", 0), 4);
    EXPECT_EQ(mock_->accepted(1) + mock_->accepted(2), 0);
    EXPECT_TRUE(smart_->health_checked());
}

TEST_F(SmartLoopback, EarlyErrorIsWhatEmptyAnswersLaterEndIn) {
    select(0);
    mock_->set_fault({{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}, {"nth", 1}});
    CapturedLog log(2);
    auto r = smart_->get_security_bars(kIntraday, 1, kNoData, 0, 10, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "[E2103] response length mismatch: body too short");
    EXPECT_EQ(log.count(": empty response, triggering health check\n"), 2u) << log.text();
}

TEST_F(SmartLoopback, EmptyAnswerWithAFailedCheckMovesOnWhenItCan) {
    select(0);
    // Server 0 has no bars at all (its health probe comes back empty too); server 1 serves.
    mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 0}});
    CapturedLog log(3);
    auto r = smart_->get_security_bars(kIntraday, 1, "600000", 0, 2, 0);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(r->size(), 2u);
    EXPECT_TRUE(log.has(switched_to(1)));
    EXPECT_TRUE(log.has("[I] smart  got 2 bars after 1 retries\n"));
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(1));
}

TEST_F(SmartLoopback, BlockCodeCostsAMoveOnEveryAttemptAndNeverReachesTheWire) {
    select(0);
    CapturedLog log(3);
    auto r = smart_->get_security_bars(4, 1, "880001", 0, 10, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(1101));
    EXPECT_EQ(r.error().coded_error().message, "code=880001");
    // The move runs after the last attempt too.
    EXPECT_EQ(log.count("[I] smart  switched to server: "), 3u) << log.text();
    EXPECT_EQ(log.count(": error: [E1101] "), 3u);
    EXPECT_EQ(mock_->requests("bars"), 0);
}

// ---- quotes

// With servers 1 and 2 down a failed first attempt has nowhere to move to, and the call ends there.
TEST_F(SmartLoopback, NowhereToGoEndsTheCallAtItsFirstAttempt) {
    auto bars = [this](const char* code) {
        auto r = smart_->get_security_bars(4, 1, code, 0, 10, 0);
        return r.ok() ? std::string("ok") : r.error().display();
    };
    auto quotes = [this](const Stocks& s) {
        auto r = smart_->get_security_quotes(s);
        return r.ok() ? std::string("ok") : r.error().display();
    };
    struct Case {
        std::vector<nlohmann::json> faults;
        std::function<std::string()> call;
        std::string display;  // a prefix of the error's display
        std::string log;      // a run of whole lines in the log
        size_t blacklisted;
    };
    const Case cases[] = {
        // An empty answer whose health check fails: the server is blacklisted and left.
        {{{{"action", "empty"}, {"cmd", "bars"}}},
         [&] { return bars("600000"); },
         "[E2001] connection failed: no alternative server available",
         "[W] smart  attempt 1/3: empty response, triggering health check\n"
         "[W] smart  health check failed: K-line empty, server may have protocol anomaly\n"
         "[W] smart  health check failed, trying next server...\n",
         1},
        // An error ends with that error.
        {{}, [&] { return bars("880001"); }, "[E1101] ", "[E] smart  no alternative server available\n", 0},
        {{{{"action", "close"}, {"cmd", "quotes"}}},
         [&] { return quotes({{1, "600000"}}); },
         "Server disconnected",
         "[W] smart  attempt 1/3: error, trying next server\n[E] smart  no alternative server available\n",
         0},
        // Empty quotes with a failed check.
        {{{{"action", "empty"}, {"cmd", "quotes"}}, {{"action", "empty"}, {"cmd", "bars"}}},
         [&] { return quotes({{1, "600000"}, {0, "000001"}}); },
         "[E2005] retry exhausted: max retry reached",
         "[W] smart  attempt 1/3: empty quotes, triggering health check\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.display);
        smart_->client.disconnect();
        SetUp();
        select(0);
        smart_->client.set_auto_retry(false);
        mock_->listen(1, false);
        mock_->listen(2, false);
        for (const auto& f : c.faults) mock_->set_fault(f);
        CapturedLog log(2);
        const std::string display = c.call();
        EXPECT_EQ(display.rfind(c.display, 0), 0u) << display;
        EXPECT_TRUE(log.has(c.log)) << log.text();
        EXPECT_EQ(log.count("attempt "), 1u) << log.text();
        smart_->with_cache([&](ServerCache& cache) { EXPECT_EQ(cache.blacklist.size(), c.blacklisted); });
        if (c.blacklisted) {
            EXPECT_FALSE(smart_->client.is_connected());
        }
    }
    EXPECT_EQ(mock_->requests("quotes"), 1);
}

TEST_F(SmartLoopback, QuotesAfterAMoveAreReportedWithTheirCount) {
    select(0);
    smart_->client.set_auto_retry(false);
    mock_->set_fault({{"action", "close"}, {"cmd", "quotes"}, {"server", 0}});
    CapturedLog log(3);
    const Stocks stocks{{1, "600000"}, {0, "000001"}, {1, "510300"}};
    auto r = smart_->get_security_quotes(stocks);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[2].code, "510300");
    EXPECT_DOUBLE_EQ((*r)[2].price, 1.3);
    EXPECT_TRUE(log.has("[I] smart  got 3 quotes after 1 retries\n")) << log.text();
    // Every attempt asks for the same pairs.
    auto sent = mock_->request_log("quotes");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["args"]["pairs"], sent[1]["args"]["pairs"]);
}

// ---- table walks

TEST_F(SmartLoopback, ProbeSortsByTimeButTheLastAnsweringRowBecomesTheLastSuccess) {
    mock_->set_fault({{"action", "delay"}, {"cmd", "setup1"}, {"seconds", 0.3}, {"server", 0}});
    mock_->listen(1, false);
    CapturedLog log(2);
    const auto found = smart_->probe_and_cache(2.0);
    EXPECT_EQ(log.text(), "[W] probe  127.0.0.1:" + std::to_string(mock_->port(1)) + " (mock1) - failed\n");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].port, mock_->port(2));
    EXPECT_EQ(found[1].port, mock_->port(0));
    EXPECT_EQ(found[1].name, "mock0");
    EXPECT_GE(found[1].ms, 300u);
    smart_->with_cache([&](ServerCache& c) {
        ASSERT_TRUE(c.last_success);
        EXPECT_EQ(c.last_success->port, mock_->port(2));
        EXPECT_EQ(c.last_success->latency_ms, found[0].ms);
        EXPECT_EQ(c.server_stats[ServerCache::stats_key("127.0.0.1", mock_->port(0))].avg_latency, found[1].ms);
    });
}

TEST_F(SmartLoopback, ZeroTimeoutFailsEveryProbeAndEveryConnectAttempt) {
    select(0);
    CapturedLog log(2);
    EXPECT_TRUE(smart_->probe_and_cache(0.0).empty());
    EXPECT_EQ(log.count(") - failed\n"), 3u);
    smart_->with_cache([&](ServerCache& c) {
        EXPECT_FALSE(c.last_success);
        ASSERT_EQ(c.server_stats.size(), 3u);
        for (const auto& [key, st] : c.server_stats) EXPECT_EQ(st.fail, 1u) << key;
    });
    // Nothing answered, so the earlier connection stays.
    EXPECT_TRUE(smart_->client.is_connected());

    // Connecting with a zero time-out fails every attempt, the cached server's too.
    smart_->client.disconnect();
    smart_->with_cache([&](ServerCache& c) {
        c.last_success = quotix::net::ServerCacheEntry{MockServer::host(), mock_->port(0), "mock0", kNow, 5};
    });
    const auto r = smart_->connect_to_any(0.0);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2001));
    EXPECT_FALSE(smart_->client.is_connected());
}

TEST_F(SmartLoopback, BlacklistedRowsOfTheFullTablePassSilently) {
    smart_->with_cache([&](ServerCache& c) {
        c.blacklist.push_back({MockServer::host(), mock_->port(0), "kline_empty", kNow - 86399});
        c.blacklist.push_back({MockServer::host(), mock_->port(1), "kline_empty", kNow});
    });
    mock_->listen(2, false);
    CapturedLog log(3);
    const auto r = smart_->connect_to_any(2.0);
    ASSERT_FALSE(r.ok());
    // One skip line per blacklisted primary row; the full table's walk skips them without a word.
    EXPECT_EQ(log.count("[I] smart  skipping blacklisted server: "), 2u) << log.text();
    EXPECT_TRUE(log.has("[E] smart  all servers unreachable\n"));
    EXPECT_EQ(mock_->accepted(0) + mock_->accepted(1), 0);
}
