// The pooled client over the loopback mock: from connecting to the fund walk.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client_fixture.hpp"
#include "fund/fund_list.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using namespace std::chrono_literals;

namespace {

// A client connected to server 0 of three, the mock's counters cleared after its connect.
class PooledClient : public SharedMock<3> {
protected:
    void SetUp() override {
        SharedMock<3>::SetUp();
        ASSERT_TRUE(hq.connect_internal("127.0.0.1", mock.port(0), 2.0, false).ok());
        mock.reset();
    }
    ServerAddr at(int i) const { return ServerAddr("127.0.0.1", mock.port(i)); }
    TdxHqClient hq{mock_seams(mock)};
};

}  // namespace

// connect_to_any walks the user list (last added first), the primary and the full table, never a
// blocked server, else coded 2001. Disconnect ends the beat at once and the former server comes
// first; connected, it dials nothing. A move skips the current and the blocked servers.
TEST_F(PooledClient, ConnectToAnyWalksTheListsSkippingBlockedServers) {
    const uint16_t closed = TcpPeer::closed_port();
    auto rows = [&](std::vector<int> at) {
        std::vector<ServerEntry> r;
        for (int i : at) r.push_back(loopback("r", i < 0 ? closed : mock.port(i)));
        return r;
    };
    struct Case { std::vector<int> user, primary, all, blocked; int want; };  // mock indexes; -1: none
    const Case cases[] = {{{-1}, {-1, 1}, {2}, {}, 1}, {{2, 0}, {1}, {}, {}, 0}, {{}, {-1}, {-1, 2}, {}, 2},
                          {{0}, {0, 1}, {0}, {0}, 1}, {{0}, {0, 1}, {0}, {0, 1}, -1}};
    LogCapture log(2);
    for (const Case& c : cases) {
        TdxHqClient walker(loopback_seams(rows(c.primary), rows(c.all)));
        for (const auto& u : rows(c.user)) walker.add_server(u.name, u.ip, u.port);
        for (int b : c.blocked) walker.block_server("127.0.0.1", mock.port(b));
        mock.reset();
        EXPECT_EQ(outcome(walker.connect_to_any(1.0)), c.want < 0 ? "[E2001] connection failed: all servers unreachable" : "ok");
        EXPECT_EQ(walker.current_server(), c.want < 0 ? std::nullopt : std::optional(at(c.want)));
        for (int b : c.blocked) EXPECT_EQ(mock.accepted(b), 0);
    }
    EXPECT_EQ(log.take(), "[E] hq  all servers unreachable (tried user/primary/all_known lists)\n");
    hq.add_server("u", "127.0.0.1", mock.port(1));
    ASSERT_TRUE(hq.connect("127.0.0.1", mock.port(0)).ok());  // with its beat every 10 s
    std::this_thread::sleep_for(50ms);  // the beat's thread is waiting by now
    const auto t0 = std::chrono::steady_clock::now();
    hq.disconnect();
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_FALSE(hq.heartbeat_running() || hq.is_connected());
    mock.reset();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(hq.connect_to_any(1.0).ok());
    EXPECT_EQ(hq.current_server(), at(0));
    EXPECT_EQ(mock.accepted(), 1);
    hq.block_server("127.0.0.1", mock.port(1));
    hq.reconnect_to_another_server();
    EXPECT_EQ(hq.current_server(), at(2));
    EXPECT_EQ(mock.accepted(1), 0);
}

// A beat (the count of market 0, an empty reply will do) every interval; a failed one clears
// `connected` and moves to the first other primary row that connects, if any.
TEST_F(PooledClient, HeartbeatKeepsMovesOrDropsTheConnection) {
    struct Case { nlohmann::json fault; size_t rows; int server_after; const char* line; };  // -1: not connected
    const Case cases[] = {
        {{{"action", "zero_body"}, {"cmd", "count"}}, 1, 0, ""},
        {{{"action", "close"}, {"cmd", "count"}, {"server", 0}}, 2, 1,
         "[W] hq  heartbeat failed, pool cleared, attempting reconnect...\n[I] hq  heartbeat reconnect to 乙 (127.0.0.1)\n"},
        {{{"action", "close"}, {"cmd", "count"}, {"nth", 1}}, 1, -1, "[E] hq  heartbeat reconnect failed, all PRIMARY servers unreachable\n"},
    };
    for (const Case& c : cases) {
        std::vector<ServerEntry> rows = {loopback("甲", mock.port(0)), loopback("乙", mock.port(1))};
        rows.resize(c.rows);
        TdxHqClient client(loopback_seams(rows, {}, 100ms));
        mock.reset();
        mock.set_fault(c.fault);
        LogCapture log(3);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0)).ok());
        EXPECT_TRUE(eventually([&] {
            return mock.requests("count") >= 2 && client.is_connected() == (c.server_after >= 0) &&
                   (c.server_after < 0 || client.current_server() == at(c.server_after));
        }));
        EXPECT_GE(seconds_since(t0), 0.2);
        EXPECT_EQ(mock.request_log("count")[0]["args"]["market"], 0);
        EXPECT_EQ(mock.accepted(), c.server_after == 0 ? 1 : 2);  // beats share the pooled connection
        client.disconnect();
        const std::string out = log.take();
        EXPECT_EQ(out.find("heartbeat failed") == std::string::npos, c.server_after == 0) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
    }
}

// Server 0's beat stalls until its read time-out; meanwhile the client connects to server 1. The
// failing old beat must not clear the new pool or move the client to server 2.
TEST_F(PooledClient, OldBeatCannotUndoANewConnect) {
    TdxHqClient client(loopback_seams({loopback("a", mock.port(0)), loopback("c", mock.port(2))}, {}, 100ms));
    mock.set_fault({{"action", "stall"}, {"cmd", "count"}, {"server", 0}});
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0), 0.4).ok());
    ASSERT_TRUE(eventually([&] { return mock.requests("count", 0) >= 1; }));
    LogCapture quiet(0);
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(1), 2.0).ok());
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.current_server(), at(1));
    EXPECT_EQ(client.pool_stats().idle, 1u);
    EXPECT_EQ(mock.accepted(2), 0);
}

// The count and the list from position 0 are cached per market for the time-to-live (0: not at
// all, huge: held, not wrapped); other starts always ask, and a connect empties the caches.
TEST_F(PooledClient, CountAndFirstListPageAreCachedPerMarket) {
    auto ask = [&](uint8_t market) { ASSERT_TRUE(hq.get_security_count(market).ok() && hq.get_security_list(market, 0).ok()); };
    hq.set_cache_ttl(0);
    ask(2), ask(2);
    EXPECT_EQ(mock.requests(), 4);
    hq.set_cache_ttl(std::numeric_limits<uint64_t>::max());
    EXPECT_GT(hq.cache_expiry_from_now(), std::chrono::steady_clock::now());
    mock.reset();
    for (int i = 0; i < 2; ++i) {
        ask(0), ask(1);
        ASSERT_TRUE(hq.get_security_list(0, 1000).ok());
    }
    EXPECT_EQ(mock.requests("count"), 2);
    EXPECT_EQ(mock.requests("list"), 2 + 2);
    ASSERT_TRUE(hq.connect_internal("127.0.0.1", mock.port(1), 2.0, false).ok());
    ask(0);
    EXPECT_EQ(mock.requests("count", 1) + mock.requests("list", 1), 2);
}

// A reply's copy that comes 0.15 s late, while the connection idles, is found when the connection
// is next taken: that connection is closed and every later call, cached ones too, gets its own answer.
TEST_F(PooledClient, LateCopyOfAReplyIsNeverTakenForTheNextAnswer) {
    TdxHqClient fresh{mock_seams(mock)};
    std::vector<uint16_t> counts;
    for (uint8_t m = 0; m < 3; ++m) counts.push_back(fresh.get_security_count(m).value());
    ASSERT_NE(counts[1], counts[2]);
    mock.reset();
    mock.set_fault({{"action", "twice"}, {"seconds", 0.15}, {"cmd", "count"}, {"nth", 1}});
    for (int pass = 0; pass < 2; ++pass) {  // the second pass answers from the caches
        for (uint8_t m : {1, 2, 0}) {
            EXPECT_EQ(hq.get_security_count(m).value(), counts[m]) << int(m);
            if (pass == 0 && m == 1) std::this_thread::sleep_for(300ms);
        }
        auto finance = hq.get_finance_info(1, "600519");
        EXPECT_EQ(finance.ok() ? finance->liutongguben : 0, 1000519.0);
    }
    EXPECT_EQ(mock.accepted(), 1);
    EXPECT_EQ(hq.pool_stats().total, 1u);
}

// Each query class has its own limiter (an adjusted call's events and pages the general one);
// a batch of quotes is cut to its first 60 pairs with a warning.
TEST_F(PooledClient, LimitersAndTheQuoteBatch) {
    const std::pair<RateLimiter*, std::function<bool()>> cases[] = {
        {&hq.rate_limiter(), [&] { return hq.get_xdxr_info(0, "000001").ok() && hq.get_finance_info(0, "000001").ok(); }},
        {&hq.daily_rate_limiter(), [&] { return hq.get_index_bars(4, 1, "000300", 0, 1).ok() && hq.get_security_bars(4, 1, "600000", 0, 1, 0).ok(); }},
        {&hq.minute_rate_limiter(), [&] { return hq.get_transaction_data(1, "600000", 0, 1).ok() && hq.get_history_minute_time_data(1, "600000", 20240105).ok(); }},
        {&hq.rate_limiter(), [&] { return hq.get_security_bars(4, 1, "600036", 0, 10, 1).ok(); }},  // events and two pages
    };
    for (const auto& [limiter, call] : cases) {
        for (RateLimiter* l : {&hq.rate_limiter(), &hq.daily_rate_limiter(), &hq.minute_rate_limiter()}) l->set_rps(l == limiter ? 20 : 0);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(call());
        EXPECT_GE(seconds_since(t0), 0.049);
    }
    std::vector<std::pair<uint8_t, std::string>> pairs(61, {1, "600000"});
    LogCapture log(2);
    auto r = hq.get_security_quotes(pairs);
    EXPECT_EQ(log.take(), "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n");
    EXPECT_EQ(r.ok() ? r->size() : 0, 60u);
}

// Empty bars of category 4 and up (the one-minute 8 too) are asked of two more primary rows and
// not adjusted; intraday ones are asked once.
TEST_F(PooledClient, EmptyDailyBarsSwitchServer) {
    for (auto [category, requests] : {std::pair{3, 1}, {8, 3}, {4, 3}}) {
        mock.reset();
        LogCapture log(4);
        auto r = hq.get_security_bars(static_cast<uint8_t>(category), 1, "999999", 0, 10, 1);
        const std::string out = log.take();
        EXPECT_TRUE(r.ok() && r->empty());
        EXPECT_EQ(mock.requests("bars"), requests) << category;
        EXPECT_EQ(mock.requests("xdxr"), 0);
        EXPECT_EQ(count_of(out, "[D] hq  attempt "), requests == 1 ? 0u : 3u) << out;
        EXPECT_EQ(count_of(out, "[W] hq  all 3 attempts returned empty K-line for 999999\n"), requests == 1 ? 0u : 1u);
    }
    EXPECT_EQ(mock.requests("bars", 1), 1);  // from server 0 to 1 and back
    mock.set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 0}});
    LogCapture log(3);
    auto r = hq.get_security_bars(9, 1, "600519", 0, 500, 0);
    EXPECT_NE(log.take().find("[I] hq  got 500 bars for 600519 after 1 server switch(es)\n"), std::string::npos);
    EXPECT_EQ(r.ok() ? r->size() : 0, 500u);
}

// Events once, then context pages from just past the window (fq only in the window's request)
// within the tier's budget; a failed event request is the call's error.
TEST_F(PooledClient, AdjustedBarsFetchEventsAndContextPages) {
    hq.set_auto_retry(false);
    hq.set_fq_context_tier(0);
    for (bool events_fail : {false, true}) {
        mock.reset();
        if (events_fail) mock.set_fault({{"action", "close"}, {"cmd", "xdxr"}});
        EXPECT_EQ(outcome(hq.get_security_bars(4, 1, "600000", 5, 20, 2)), events_fail ? "Server disconnected" : "ok");
        EXPECT_EQ(starts(mock), (events_fail ? std::vector<int>{5} : std::vector<int>{5, 25, 825, 1625}));
        auto log = mock.request_log("bars");
        for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i]["args"]["fq"], i == 0 ? 2 : 0);
        EXPECT_EQ(mock.requests("xdxr"), 1);
    }
}

// Whole histories come in pages of 800 from the newest until a short page, oldest first, and are
// adjusted once as a whole: bars either side of a page boundary carry the same factors.
TEST_F(PooledClient, WholeHistoryIsPagedAndAdjustedOnce) {
    auto shorter = hq.get_security_bars_all(4, 1, "600519", 2000, 0);
    EXPECT_EQ(shorter.ok() ? shorter->size() : 0, 1000u);
    EXPECT_EQ(starts(mock), (std::vector<int>{0, 800}));
    mock.reset();
    // 600000: events 1000 bars back (factor 2/3) and 100 back; the one before the series has no close.
    auto r = hq.get_security_bars_all(4, 1, "600000", 2000, 1);
    ASSERT_EQ(r.ok() ? r->size() : 0, 2000u);
    EXPECT_EQ(starts(mock), (std::vector<int>{0, 800, 1600, 2000, 2800, 3600}));
    const double f1000 = 2.0 / 3.0, f100 = (10.98 - 0.5) / 10.98;
    auto raw = [](size_t back) { return 10.0 + 0.01 * ((2999 - back) % 100); };
    for (auto [back, f] : {std::pair{1600u, f1000 * f100}, {1599u, f1000 * f100}, {800u, f100}, {799u, f100}, {0u, 1.0}})
        EXPECT_DOUBLE_EQ((*r)[1999 - back].close, std::round(raw(back) * f * 1000) / 1000) << back;
}

// The fund walk stops after the page that leaves the fund range (Shenzhen: two of three pages);
// a failed page fails the walk.
TEST_F(PooledClient, FundListWalkStopsPastTheFundRange) {
    auto r = fund::get_fund_list(hq, 0);
    ASSERT_EQ(r.ok() ? r->size() : 0, 101u);
    EXPECT_EQ(r->front().code + " " + r->back().code, "159001 161725");
    EXPECT_EQ(r->back().fund_type, fund::FundType::LOF);
    EXPECT_EQ(starts(mock, "list"), (std::vector<int>{0, 1000}));
    mock.reset();
    hq.clear_caches();
    mock.set_fault({{"action", "body"}, {"cmd", "list"}, {"hex", "00"}, {"skip", 1}});
    EXPECT_EQ(outcome(fund::get_fund_list(hq, 0)).substr(0, 7), "[E2103]");
    EXPECT_EQ(starts(mock, "list"), (std::vector<int>{0, 1000}));
}
