// The pooled client over the loopback mock: connecting and moving between servers, the heartbeat,
// caches, limiters, the server switch on empty bars, context pages, paging and the fund walk.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client_fixture.hpp"
#include "fund/fund_list.hpp"
#include "tcp_peer.hpp"

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
        client_ = std::make_unique<TdxHqClient>(mock_seams(*mock_));
        ASSERT_TRUE(client_->connect_internal("127.0.0.1", mock_->port(0), 2.0, false).ok());
        mock_->reset();
    }
    ServerAddr at(int i) const { return ServerAddr("127.0.0.1", mock_->port(i)); }
    std::vector<int> starts(const std::string& cmd = "bars") {
        std::vector<int> s;
        for (const auto& e : mock_->request_log(cmd)) s.push_back(e["args"]["start"].get<int>());
        return s;
    }
    std::unique_ptr<TdxHqClient> client_;
};

}  // namespace

// connect_to_any: the user list (last added first), the primary and then the full table, blocked
// servers never dialed; all failing is coded 2001. Connected, it dials nothing; after a
// disconnect the former server comes first. reconnect_to_another_server skips the current and
// the blocked servers.
TEST_F(PooledClient, ConnectToAnyWalksTheListsSkippingBlockedServers) {
    const uint16_t closed = TcpPeer::closed_port();
    auto rows = [&](std::vector<int> at) {
        std::vector<ServerEntry> r;
        for (int i : at) r.push_back(loopback("r", i < 0 ? closed : mock_->port(i)));
        return r;
    };
    struct Case {
        std::vector<int> user, primary, all, blocked;
        int want;  // mock index; -1: none
    };
    const Case cases[] = {{{-1}, {-1, 1}, {2}, {}, 1}, {{2, 0}, {1}, {}, {}, 0}, {{}, {-1}, {-1, 2}, {}, 2},
                          {{0}, {0, 1}, {0}, {0}, 1}, {{0}, {0, 1}, {0}, {0, 1}, -1}};
    LogCapture log(2);
    for (const Case& c : cases) {
        TdxHqClient walker(loopback_seams(rows(c.primary), rows(c.all)));
        for (const auto& u : rows(c.user)) walker.add_server(u.name, u.ip, u.port);
        for (int b : c.blocked) walker.block_server("127.0.0.1", mock_->port(b));
        mock_->reset();
        EXPECT_EQ(outcome(walker.connect_to_any(1.0)), c.want < 0 ? "[E2001] connection failed: all servers unreachable" : "ok");
        EXPECT_EQ(walker.current_server(), c.want < 0 ? std::nullopt : std::optional(at(c.want)));
        for (int b : c.blocked) EXPECT_EQ(mock_->accepted(b), 0);
    }
    EXPECT_EQ(log.take(), "[E] hq  all servers unreachable (tried user/primary/all_known lists)\n");
    client_->add_server("u", "127.0.0.1", mock_->port(1));
    client_->disconnect();
    mock_->reset();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(client_->connect_to_any(1.0).ok());
    EXPECT_EQ(client_->current_server(), at(0));
    EXPECT_EQ(mock_->accepted(), 1);
    client_->block_server("127.0.0.1", mock_->port(1));
    client_->reconnect_to_another_server();
    EXPECT_EQ(client_->current_server(), at(2));
    EXPECT_EQ(mock_->accepted(1), 0);
}

// The heartbeat beats every interval (the count of market 0), an empty reply counting as a beat.
// A failed beat clears `connected` and walks the other primary rows: the first that connects
// becomes the current server; with none the client stays disconnected.
TEST_F(PooledClient, HeartbeatKeepsMovesOrDropsTheConnection) {
    struct Case {
        nlohmann::json fault;
        size_t rows;
        int server_after;  // -1: not connected
        const char* line;
    };
    const Case cases[] = {
        {{{"action", "zero_body"}, {"cmd", "count"}}, 1, 0, ""},
        {{{"action", "close"}, {"cmd", "count"}, {"server", 0}}, 2, 1,
         "[W] hq  heartbeat failed, pool cleared, attempting reconnect...\n[I] hq  heartbeat reconnect to 乙 (127.0.0.1)\n"},
        {{{"action", "close"}, {"cmd", "count"}, {"nth", 1}}, 1, -1, "[E] hq  heartbeat reconnect failed, all PRIMARY servers unreachable\n"},
    };
    for (const Case& c : cases) {
        std::vector<ServerEntry> rows = {loopback("甲", mock_->port(0)), loopback("乙", mock_->port(1))};
        rows.resize(c.rows);
        TdxHqClient client(loopback_seams(rows, {}, 100ms));
        mock_->reset();
        mock_->set_fault(c.fault);
        LogCapture log(3);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.connect("127.0.0.1", mock_->port(0)).ok());
        if (c.server_after == 0) {
            ASSERT_TRUE(eventually([&] { return mock_->requests("count") >= 2; }));
            EXPECT_GE(seconds_since(t0), 0.2);
            EXPECT_EQ(mock_->request_log("count")[0]["args"]["market"], 0);
            EXPECT_EQ(mock_->accepted(), 1);
        }
        // Without a server to move to, the next beat (on a fresh connection) goes through and still
        // leaves the client disconnected.
        EXPECT_TRUE(eventually([&] {
            return c.server_after < 0 ? !client.is_connected() && mock_->requests("count") >= 2
                                      : client.is_connected() && client.current_server() == at(c.server_after);
        }));
        EXPECT_EQ(client.is_connected(), c.server_after >= 0);
        client.disconnect();
        const std::string out = log.take();
        EXPECT_EQ(out.find("heartbeat failed") == std::string::npos, c.server_after == 0) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
    }
}

// Disconnect does not wait out the real 10 s interval; it ends the beats and keeps the server.
TEST_F(PooledClient, DisconnectIsPromptAndKeepsTheServer) {
    TdxHqClient client(loopback_seams({loopback("a", mock_->port(0))}));
    ASSERT_TRUE(client.connect("127.0.0.1", mock_->port(1)).ok());
    const auto t0 = std::chrono::steady_clock::now();
    client.disconnect();
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_FALSE(client.heartbeat_running() || client.is_connected());
    EXPECT_EQ(client.current_server(), at(1));
}

// Server 0's beat stalls until its read time-out; meanwhile the client connects to server 1. The
// failing old beat must not clear the new pool or move the client to server 2.
TEST_F(PooledClient, OldBeatCannotUndoANewConnect) {
    TdxHqClient client(loopback_seams({loopback("a", mock_->port(0)), loopback("c", mock_->port(2))}, {}, 100ms));
    mock_->set_fault({{"action", "stall"}, {"cmd", "count"}, {"server", 0}});
    ASSERT_TRUE(client.connect("127.0.0.1", mock_->port(0), 0.4).ok());
    ASSERT_TRUE(eventually([&] { return mock_->requests("count", 0) >= 1; }));
    LogCapture quiet(0);
    ASSERT_TRUE(client.connect("127.0.0.1", mock_->port(1), 2.0).ok());
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.current_server(), at(1));
    EXPECT_EQ(client.pool_stats().idle, 1u);
    EXPECT_EQ(mock_->accepted(2), 0);
    client.disconnect();
}

// The count and the list from position 0 are cached per market for the time-to-live (0: not at
// all, huge: held, not wrapped); other starts always ask, and a connect empties the caches.
TEST_F(PooledClient, CountAndFirstListPageAreCachedPerMarket) {
    TdxHqClient& c = *client_;
    c.set_cache_ttl(0);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(c.get_security_count(2).ok() && c.get_security_list(2, 0).ok());
    EXPECT_EQ(mock_->requests("count") + mock_->requests("list"), 4);
    c.set_cache_ttl(std::numeric_limits<uint64_t>::max());
    EXPECT_GT(c.cache_expiry_from_now(), std::chrono::steady_clock::now());
    mock_->reset();
    for (int i = 0; i < 2; ++i) {
        for (uint8_t market : {0, 1}) ASSERT_TRUE(c.get_security_count(market).ok() && c.get_security_list(market, 0).ok());
        ASSERT_TRUE(c.get_security_list(0, 1000).ok());
    }
    EXPECT_EQ(mock_->requests("count"), 2);
    EXPECT_EQ(mock_->requests("list"), 2 + 2);
    ASSERT_TRUE(c.connect_internal("127.0.0.1", mock_->port(1), 2.0, false).ok());
    ASSERT_TRUE(c.get_security_count(0).ok() && c.get_security_list(0, 0).ok());
    EXPECT_EQ(mock_->requests("count", 1) + mock_->requests("list", 1), 2);
}

// Each query class passes its own limiter: with only that one on (20 a second) two calls are an
// interval apart. An adjusted call sends its events and context pages through the general one.
// A batch of quotes is cut to its first 60 pairs with a warning.
TEST_F(PooledClient, LimitersAndTheQuoteBatch) {
    TdxHqClient& c = *client_;
    const std::pair<RateLimiter*, std::function<bool()>> cases[] = {
        {&c.rate_limiter(), [&] { return c.get_xdxr_info(0, "000001").ok() && c.get_finance_info(0, "000001").ok(); }},
        {&c.daily_rate_limiter(), [&] { return c.get_index_bars(4, 1, "000300", 0, 1).ok() && c.get_security_bars(4, 1, "600000", 0, 1, 0).ok(); }},
        {&c.minute_rate_limiter(), [&] { return c.get_transaction_data(1, "600000", 0, 1).ok() && c.get_history_minute_time_data(1, "600000", 20240105).ok(); }},
        {&c.rate_limiter(), [&] { return c.get_security_bars(4, 1, "600036", 0, 10, 1).ok(); }},  // events and two pages
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (RateLimiter* l : {&c.rate_limiter(), &c.daily_rate_limiter(), &c.minute_rate_limiter()}) l->set_rps(0);
        cases[i].first->set_rps(20);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(cases[i].second());
        EXPECT_GE(seconds_since(t0), 0.049) << i;
    }
    std::vector<std::pair<uint8_t, std::string>> pairs;
    for (int i = 0; i < 61; ++i) pairs.emplace_back(1, std::to_string(600100 + i));
    LogCapture log(2);
    auto r = c.get_security_quotes(pairs);
    EXPECT_EQ(log.take(), "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n");
    EXPECT_EQ(r.ok() ? r->size() : 0, 60u);
    EXPECT_EQ(mock_->request_log("quotes")[0]["args"]["n"], 60);
}

// Empty bars of category 4 and up (the one-minute 8 too) are asked of two more servers, each time
// the next other primary row, and are not adjusted; intraday ones are asked once. Bars found
// after a switch are logged with the switch count.
TEST_F(PooledClient, EmptyDailyBarsSwitchServer) {
    for (auto [category, requests] : {std::pair{3, 1}, {8, 3}, {4, 3}}) {
        mock_->reset();
        LogCapture log(4);
        auto r = client_->get_security_bars(static_cast<uint8_t>(category), 1, "999999", 0, 10, 1);
        const std::string out = log.take();
        EXPECT_TRUE(r.ok() && r->empty());
        EXPECT_EQ(mock_->requests("bars"), requests) << category;
        EXPECT_EQ(mock_->requests("xdxr"), 0);
        EXPECT_EQ(count_of(out, "[D] hq  attempt "), requests == 1 ? 0u : 3u) << out;
        EXPECT_EQ(count_of(out, "[W] hq  all 3 attempts returned empty K-line for 999999\n"), requests == 1 ? 0u : 1u);
    }
    EXPECT_EQ(mock_->requests("bars", 1), 1);  // from server 0 to 1 and back
    mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 0}});
    LogCapture log(3);
    auto r = client_->get_security_bars(9, 1, "600519", 0, 500, 0);
    EXPECT_NE(log.take().find("[I] hq  got 500 bars for 600519 after 1 server switch(es)\n"), std::string::npos);
    EXPECT_EQ(r.ok() ? r->size() : 0, 500u);
}

// Adjusted bars ask for the events once and for context pages of 800 from just past the window,
// the caller's fq only in the window's own request, until a page reaches back before the
// earliest event or the tier's budget is spent. A failed event or page request is an error.
TEST_F(PooledClient, AdjustedBarsFetchEventsAndContextPages) {
    struct Case {
        uint8_t tier, market;
        const char* code;
        uint32_t start;
        uint16_t count;
        std::vector<int> starts;
        nlohmann::json fault;
    };
    const Case cases[] = {
        {1, 0, "000001", 5, 20, {5, 25, 825}, nullptr},
        {0, 1, "600000", 0, 800, {0, 800, 1600, 2400}, nullptr},
        {2, 1, "600036", 0, 10, {0, 10, 810}, nullptr},
        {1, 1, "600036", 0, 10, {0}, {{"action", "close"}, {"cmd", "xdxr"}}},
        {1, 1, "600036", 0, 10, {0, 10}, {{"action", "close"}, {"cmd", "bars"}, {"nth", 2}}},
    };
    client_->set_auto_retry(false);
    for (const Case& c : cases) {
        mock_->reset();
        if (!c.fault.is_null()) mock_->set_fault(c.fault);
        client_->set_fq_context_tier(c.tier);
        auto r = client_->get_security_bars(4, c.market, c.code, c.start, c.count, 2);
        EXPECT_EQ(outcome(r), c.fault.is_null() ? "ok" : "Server disconnected");
        EXPECT_EQ(starts(), c.starts) << c.code;
        auto log = mock_->request_log("bars");
        for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i]["args"]["fq"], i == 0 ? 2 : 0);
        EXPECT_EQ(mock_->requests("xdxr"), 1);
    }
}

// Whole histories come in pages of 800 from the newest until a short page, oldest first, and are
// adjusted once as a whole: bars either side of a page boundary carry the same factors.
TEST_F(PooledClient, WholeHistoryIsPagedAndAdjustedOnce) {
    auto shorter = client_->get_security_bars_all(4, 1, "600519", 2000, 0);
    EXPECT_EQ(shorter.ok() ? shorter->size() : 0, 1000u);
    EXPECT_EQ(starts(), (std::vector<int>{0, 800}));
    mock_->reset();
    // 600000: events 1000 bars back (factor 2/3) and 100 back; the one before the series has no close.
    auto r = client_->get_security_bars_all(4, 1, "600000", 2000, 1);
    ASSERT_EQ(r.ok() ? r->size() : 0, 2000u);
    EXPECT_EQ(starts(), (std::vector<int>{0, 800, 1600, 2000, 2800, 3600}));
    const double f1000 = 2.0 / 3.0, f100 = (10.98 - 0.5) / 10.98;
    auto raw = [](size_t back) { return 10.0 + 0.01 * ((2999 - back) % 100); };
    for (auto [back, f] : {std::pair{1600u, f1000 * f100}, {1599u, f1000 * f100}, {800u, f100}, {799u, f100}, {0u, 1.0}})
        EXPECT_DOUBLE_EQ((*r)[1999 - back].close, std::round(raw(back) * f * 1000) / 1000) << back;
}

// The fund walk stops after the page that leaves the fund range (Shenzhen: two of three pages);
// a failed page fails the walk.
TEST_F(PooledClient, FundListWalkStopsPastTheFundRange) {
    auto r = fund::get_fund_list(*client_, 0);
    ASSERT_EQ(r.ok() ? r->size() : 0, 101u);
    EXPECT_EQ(r->front().code + " " + r->back().code, "159001 161725");
    EXPECT_EQ(r->back().fund_type, fund::FundType::LOF);
    EXPECT_EQ(starts("list"), (std::vector<int>{0, 1000}));
    mock_->reset();
    client_->clear_caches();
    mock_->set_fault({{"action", "body"}, {"cmd", "list"}, {"hex", "00"}, {"skip", 1}});
    auto failed = fund::get_fund_list(*client_, 0);
    EXPECT_TRUE(!failed.ok() && failed.error().is_coded(2103));
    EXPECT_EQ(starts("list"), (std::vector<int>{0, 1000}));
}
