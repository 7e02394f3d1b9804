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
    std::string addr(int i) const { return "127.0.0.1:" + std::to_string(mock.port(i)); }
    TdxHqClient hq{mock_seams(mock)};
};

}  // namespace

// One entry per (ip, port), matched byte for byte; unblocking one port leaves the other. Every
// change but a repeated block is logged, an unblock or a clear that changes nothing too.
TEST(BlockList, OneEntryPerServerMatchedExactly) {
    TdxHqClient client(loopback_seams({}));
    LogCapture log(3);
    for (auto [ip, port] : {ServerAddr("127.0.0.1", 1), {"127.0.0.1", 1}, {"127.0.0.1", 2}, {" 127.0.0.1", 1}})
        client.block_server(ip, port);
    EXPECT_TRUE(client.is_server_blocked("127.0.0.1", 2));
    EXPECT_FALSE(client.is_server_blocked("127.0.0.1", 3) || client.is_server_blocked("localhost", 1));
    client.unblock_server("127.0.0.1", 1);
    client.unblock_server("127.0.0.1", 9);
    EXPECT_EQ(client.blocked_servers(), (std::vector<ServerAddr>{{"127.0.0.1", 2}, {" 127.0.0.1", 1}}));
    client.clear_blocked_servers();
    client.clear_blocked_servers();
    EXPECT_TRUE(client.blocked_servers().empty());
    EXPECT_EQ(log.take(),
              "[I] hq  server 127.0.0.1:1 added to blacklist\n[I] hq  server 127.0.0.1:2 added to blacklist\n"
              "[I] hq  server  127.0.0.1:1 added to blacklist\n[I] hq  server 127.0.0.1:1 removed from blacklist\n"
              "[I] hq  server 127.0.0.1:9 removed from blacklist\n[I] hq  server blacklist cleared\n"
              "[I] hq  server blacklist cleared\n");
}

// connect_to_any tries the former server first unless it is blocked or no longer answers, then
// walks the user list (last added first), the primary and the full table, never a blocked server,
// else coded 2001. Disconnect ends the beat at once and the former server comes first; connected,
// it dials nothing. A move skips the current and the blocked servers; with no current server it
// starts at row 0. A connect whose handshake fails changes nothing.
TEST_F(PooledClient, ConnectToAnyWalksTheListsSkippingBlockedServers) {
    const uint16_t closed = TcpPeer::closed_port();
    TcpPeer answers_once(std::vector<uint8_t>(3 * 16, 0), {}, {}, 1);  // a handshake, then gone
    auto port_of = [&](int i) { return i < 0 ? closed : i == 9 ? answers_once.port() : mock.port(i); };
    auto rows = [&](std::vector<int> at) {
        std::vector<ServerEntry> r;
        for (int i : at) r.push_back(loopback("r", port_of(i)));
        return r;
    };
    struct Case { std::vector<int> user, primary, all, blocked; int want, former = -1; uint8_t level = 2; };  // mock indexes; -1: none, 9: gone
    const Case cases[] = {{{-1}, {-1, 1}, {2}, {}, 1}, {{2, 0}, {1}, {}, {}, 0}, {{}, {-1}, {-1, 2}, {}, 2},
                          {{0}, {0, 1}, {0}, {0}, 1}, {{0}, {0, 1}, {0}, {0, 1}, -1}, {{0}, {0}, {}, {0}, -1, -1, 0},
                          {{}, {1}, {}, {0}, 1, 0}, {{}, {1}, {}, {}, 1, 9}};
    for (const Case& c : cases) {
        LogCapture log(c.level);
        TdxHqClient walker(loopback_seams(rows(c.primary), rows(c.all)));
        if (c.former >= 0) {
            ASSERT_TRUE(walker.connect_internal("127.0.0.1", port_of(c.former), 1.0, false).ok());
            walker.disconnect();
        }
        for (const auto& u : rows(c.user)) walker.add_server(u.name, u.ip, u.port);
        for (int b : c.blocked) walker.block_server("127.0.0.1", mock.port(b));
        mock.reset();
        EXPECT_EQ(outcome(walker.connect_to_any(1.0)), c.want < 0 ? "[E2001] connection failed: all servers unreachable" : "ok");
        EXPECT_EQ(walker.current_server(), c.want < 0 ? std::nullopt : std::optional(at(c.want)));
        for (int b : c.blocked) EXPECT_EQ(mock.accepted(b), 0);
        EXPECT_EQ(log.take(), c.want < 0 && c.level ? "[E] hq  all servers unreachable (tried user/primary/all_known lists)\n" : "");
    }
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
    mock.set_fault({{"action", "refuse"}, {"server", 1}});
    EXPECT_FALSE(hq.connect_internal("127.0.0.1", mock.port(1), 1.0, true).ok());
    EXPECT_EQ(hq.current_server(), at(2));
    EXPECT_EQ(hq.pool_stats().idle, 1u);
    EXPECT_FALSE(hq.heartbeat_running());
    // The last row is the current server written otherwise: another server, blocked here.
    TdxHqClient fresh(loopback_seams({loopback("x", closed), loopback("y", mock.port(2)), {"z", "localhost", mock.port(2)}}));
    fresh.block_server("localhost", mock.port(2));
    LogCapture info(3);
    fresh.reconnect_to_another_server();
    fresh.block_server("127.0.0.1", closed);
    fresh.reconnect_to_another_server();
    EXPECT_EQ(info.take(), "[I] hq  connected to " + addr(2) + "\n[I] hq  switched to server " + addr(2) +
                               "\n[I] hq  server 127.0.0.1:" + std::to_string(closed) +
                               " added to blacklist\n[W] hq  no alternative server available\n");
    LogCapture off(0);
    fresh.reconnect_to_another_server();
    EXPECT_EQ(off.take(), "");
}

// A beat (the count of market 0, an empty reply will do) every interval; a failed one clears
// `connected` and walks the primary rows, all but the failed server, to the first that connects and
// handshakes, if any. While the server then refuses, every beat fails and walks again.
TEST_F(PooledClient, HeartbeatKeepsMovesOrDropsTheConnection) {
    const uint16_t closed = TcpPeer::closed_port();
    auto close_count = [](nlohmann::json f) { return f.update({{"action", "close"}, {"cmd", "count"}}), f; };
    struct Case {
        std::vector<nlohmann::json> faults;
        std::vector<int> rows;  // the primary table: mock indexes, -1 a closed port
        int from, server_after;  // -1: not connected
        int beats, accepted;     // accepted < 0: at least -accepted, and still growing
        const char* line;
        uint8_t level = 3;       // 0: nothing written
    };
    const Case cases[] = {
        {{{{"action", "zero_body"}, {"cmd", "count"}}}, {0}, 0, 0, 2, 1, ""},
        {{close_count({{"server", 0}})}, {0, 1}, 0, 1, 2, 2,
         "[W] hq  heartbeat failed, pool cleared, attempting reconnect...\n[I] hq  heartbeat reconnect to 乙 (127.0.0.1)\n"},
        {{close_count({{"nth", 1}})}, {0}, 0, -1, 2, 2, "[E] hq  heartbeat reconnect failed, all PRIMARY servers unreachable\n"},
        {{close_count({{"server", 2}}), {{"action", "refuse"}, {"server", 1}}}, {-1, 1, 0}, 2, 0, 2, 3,
         "[I] hq  heartbeat reconnect to 甲 (127.0.0.1)\n"},
        {{close_count({{"nth", 1}}), {{"action", "refuse"}, {"server", 0}, {"skip", 1}}}, {0}, 0, -1, 1, -3,
         "[E] hq  heartbeat reconnect failed, all PRIMARY servers unreachable\n"},
        {{close_count({{"server", 0}})}, {0, 1}, 0, 1, 2, 2, "", 0},
        {{close_count({{"nth", 1}})}, {0}, 0, -1, 2, 2, "", 0},
    };
    for (const Case& c : cases) {
        std::vector<ServerEntry> rows;
        for (int i : c.rows) rows.push_back(loopback(i < 0 ? "闭" : i == 0 ? "甲" : "乙", i < 0 ? closed : mock.port(i)));
        TdxHqClient client(loopback_seams(rows, {}, 100ms));
        mock.reset();
        for (const auto& f : c.faults) mock.set_fault(f);
        LogCapture log(c.level);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.connect("127.0.0.1", mock.port(c.from)).ok());
        EXPECT_TRUE(eventually([&] {
            return mock.requests("count") >= c.beats && mock.accepted() >= std::abs(c.accepted) &&
                   client.is_connected() == (c.server_after >= 0) &&
                   (c.server_after < 0 || client.current_server() == at(c.server_after));
        }));
        EXPECT_GE(seconds_since(t0), 0.2);
        EXPECT_EQ(mock.request_log("count")[0]["args"]["market"], 0);
        EXPECT_TRUE(c.accepted < 0 || mock.accepted() == c.accepted);  // beats share the pooled connection
        client.disconnect();
        const std::string out = log.take();
        const size_t failed = count_of(out, "[W] hq  heartbeat failed");
        if (c.accepted < 0) EXPECT_GE(failed, 2u) << out;
        else EXPECT_EQ(failed, c.level && c.faults[0]["action"] == "close" ? 1u : 0u) << out;
        EXPECT_TRUE(c.level || out.empty()) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
    }
}

// A server that goes away while the pool sits idle (its sockets closed, new connects refused)
// leaves no connection for a beat to fail on; the next beat still counts as failed, so the client
// is marked disconnected and its next request reconnects through the user list.
TEST_F(PooledClient, HeartbeatNoticesAServerGoneWhileThePoolIdles) {
    TdxHqClient client(loopback_seams({loopback("甲", mock.port(0))}, {}, 100ms));
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0), 2.0).ok());
    client.set_servers({loopback("乙", mock.port(1))});
    LogCapture log(2);
    mock.listen(0, false, true);
    EXPECT_TRUE(eventually([&] { return !client.is_connected(); }));
    EXPECT_EQ(outcome(client.get_security_count(0)), "ok");
    EXPECT_EQ(client.current_server(), at(1));
    EXPECT_TRUE(client.is_connected());
    client.disconnect();
    // Each beat until the call's reconnect fails again, and each failed beat walks once.
    const std::string out = log.take();
    const size_t failed = count_of(out, "[W] hq  heartbeat failed, pool cleared, attempting reconnect...\n");
    EXPECT_GE(failed, 1u) << out;
    EXPECT_EQ(count_of(out, "[E] hq  heartbeat reconnect failed, all PRIMARY servers unreachable\n"), failed) << out;
}

// The same server going away while calls keep coming: each call finds the dead connection before
// a beat does and drops it, so the beats find none and cannot open one. Such a beat fails, and
// the client moves to the next primary row.
TEST_F(PooledClient, HeartbeatFailsOverFromAServerGoneWhileCallsKeepComing) {
    ClientSeams seams = loopback_seams({loopback("甲", mock.port(0)), loopback("乙", mock.port(1))}, {}, 500ms);
    seams.retry_delays = {0.01, 0.01, 0.01, 0.01};
    TdxHqClient client(seams);
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0), 2.0).ok());
    LogCapture log(3);
    mock.listen(0, false, true);
    // The first call comes long before the first beat, the next ones as soon as each fails.
    EXPECT_TRUE(eventually([&] { return outcome(client.get_security_count(0)) == "ok"; }, 5000ms));
    EXPECT_EQ(client.current_server(), at(1));
    EXPECT_TRUE(client.is_connected());
    client.disconnect();
    const std::string out = log.take();
    EXPECT_EQ(count_of(out, "[W] hq  heartbeat failed, pool cleared, attempting reconnect...\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "[I] hq  heartbeat reconnect to 乙 (127.0.0.1)\n"), 1u) << out;
}

// A heartbeat thread that cannot be started (no room for its stack) leaves the connection made,
// and says so.
TEST_F(PooledClient, ConnectStandsWhenTheHeartbeatCannotStart) {
    pthread_attr_t saved, huge;
    ASSERT_EQ(::pthread_getattr_default_np(&saved), 0);
    ::pthread_attr_init(&huge);
    ::pthread_attr_setstacksize(&huge, SIZE_MAX / 2);
    ::pthread_setattr_default_np(&huge);
    LogCapture log(1);
    const std::string got = outcome(hq.connect("127.0.0.1", mock.port(1)));
    ::pthread_setattr_default_np(&saved);
    ::pthread_attr_destroy(&huge);
    ::pthread_attr_destroy(&saved);
    EXPECT_EQ(got, "ok");
    EXPECT_EQ(log.take().rfind("[E] hq  heartbeat thread could not be started: ", 0), 0u);
    EXPECT_TRUE(hq.is_connected() && !hq.heartbeat_running());
    EXPECT_EQ(hq.current_server(), at(1));
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

// A reply read in place of another call's answer is refused by the call's decoder when it cannot
// be that answer: the connection that carried it is closed, so the answers that follow are the
// calls' own again, after a single failure (the refusal is not retried).
TEST_F(PooledClient, ARefusedReplyClosesItsConnection) {
    std::vector<uint16_t> counts;
    for (uint8_t m = 0; m < 3; ++m) counts.push_back(hq.get_security_count(m).value());
    hq.set_cache_ttl(0);
    hq.clear_caches();
    hq.rate_limiter().set_rps(0);  // back to back: no pause lets the copy show while idle
    mock.reset();
    send_third_reply_again_late(mock);
    std::vector<std::string> seen;
    for (const MixedCall& c : mixed_calls()) {
        if (c.kind == 0) {
            auto r = hq.get_finance_info(c.market, c.code);
            seen.push_back(judge(c, &r, nullptr, nullptr, counts));
        } else if (c.kind == 1) {
            auto r = hq.get_security_count(c.market);
            seen.push_back(judge(c, nullptr, &r, nullptr, counts));
        } else {
            auto r = hq.get_security_quotes(std::vector<std::pair<uint8_t, std::string>>{{c.market, c.code}});
            seen.push_back(judge(c, nullptr, nullptr, &r, counts));
        }
    }
    std::vector<std::string> want(30, "own");
    want[3] = "failed";  // the finance call that read the copy of the quotes reply
    EXPECT_EQ(seen, want);
    EXPECT_EQ(mock.accepted(), 1);  // the one connection opened after the refusal
}

// Each query ends with its request's or its reply's failure (retries off): a count reply under two
// bytes (not cached: the next count asks again), a start beyond 16 bits (nothing sent), a failed
// request of any query, a failed page or event request of a paged or adjusted call.
TEST_F(PooledClient, EachQueryReturnsItsRequestOrReplyFailure) {
    hq.set_auto_retry(false);
    const std::string beyond = "[E1003] argument out of range: start=65536", gone = "Server disconnected";
    auto fail = [](const char* cmd, int nth = 1) { return nlohmann::json{{"action", "close"}, {"cmd", cmd}, {"nth", nth}}; };
    auto count = [&] { auto r = hq.get_security_count(0); return r ? std::to_string(*r) : r.error().display(); };
    struct Case { nlohmann::json fault; std::function<std::string()> call; std::string outcome; int requests; };
    const Case cases[] = {
        {{{"action", "body"}, {"cmd", "count"}, {"hex", "01"}}, count, "[E2103] response length mismatch: body too short for count", 1},
        {{{"action", "body"}, {"cmd", "count"}, {"hex", "0a00ff"}}, count, "10", 1},
        {nullptr, [&] { return outcome(hq.get_security_list(1, 65536)); }, beyond, 0},
        {nullptr, [&] { return outcome(hq.get_index_bars(4, 1, "000300", 65536, 1)); }, beyond, 0},
        {nullptr, [&] { return outcome(hq.get_transaction_data(1, "600000", 65536, 1)); }, beyond, 0},
        {nullptr, [&] { return outcome(hq.get_history_transaction_data(1, "600000", 65536, 1, 20240105)); }, beyond, 0},
        {nullptr, [&] { return outcome(hq.get_index_bars(4, 1, "880001", 0, 1)); },
         "[E1101] block code (88xxxx) not allowed in general client, use TdxBlockClient: code=880001", 0},
        {fail("finance"), [&] { return outcome(hq.get_finance_info(1, "600519")); }, gone, 1},
        {fail("xdxr"), [&] { return outcome(hq.get_xdxr_info(1, "600519")); }, gone, 1},
        {fail("list"), [&] { return outcome(hq.get_security_list(1, 1000)); }, gone, 1},
        {fail("quotes"), [&] { return outcome(hq.get_security_quotes(std::vector<std::pair<uint8_t, std::string>>{{1, "600519"}})); }, gone, 1},
        {fail("ticks"), [&] { return outcome(hq.get_transaction_data(1, "600000", 0, 1)); }, gone, 1},
        {fail("history_ticks"), [&] { return outcome(hq.get_history_transaction_data(1, "600000", 0, 1, 20240105)); }, gone, 1},
        {fail("bars"), [&] { return outcome(hq.get_index_bars(4, 1, "000300", 0, 1)); }, gone, 1},
        {fail("minute"), [&] { return outcome(hq.get_history_minute_time_data(1, "600000", 20240105)); }, gone, 1},
        {fail("block_meta"), [&] { return outcome(hq.get_and_parse_block_info("block.dat")); }, gone, 1},
        {nullptr, [&] { return std::to_string(hq.get_security_bars_all(4, 1, "600519", 0, 0).value().size()); }, "0", 0},
        {fail("bars", 2), [&] { return outcome(hq.get_security_bars_all(4, 1, "600519", 2000, 0)); }, gone, 2},
        {fail("xdxr"), [&] { return outcome(hq.get_security_bars_all(4, 1, "600000", 100, 1)); }, gone, 2},
        {fail("xdxr"), [&] { return outcome(hq.calc_fq_factors(1, "600000", 0, 10)); }, gone, 2},
        {nullptr, [&] { LogCapture quiet(1); return outcome(hq.calc_fq_factors(1, "999999", 0, 10)); }, "ok", 3 + 1},  // no bars: no context
    };
    for (const Case& c : cases) {
        mock.reset();
        if (!c.fault.is_null()) mock.set_fault(c.fault);
        EXPECT_EQ(c.call(), c.outcome);
        EXPECT_EQ(mock.requests() - 3 * mock.handshakes(), c.requests) << c.outcome;  // not counting set-ups
    }
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
    for (uint8_t level : {2, 1}) {
        LogCapture log(level);
        auto r = hq.get_security_quotes(pairs);
        EXPECT_EQ(log.take(), level == 2 ? "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n" : "");
        EXPECT_EQ(r.ok() ? r->size() : 0, 60u);
    }
}

// Empty bars of category 4 and up (the one-minute 8 too), and index bars alike, are asked of two
// more primary rows and not adjusted; intraday ones are asked once. Each empty attempt is a
// debug line, the last a warning, each written only at its level.
TEST_F(PooledClient, EmptyDailyBarsSwitchServer) {
    struct Case { bool index; uint8_t category; int requests; uint8_t level; };
    const Case cases[] = {{false, 3, 1, 4}, {false, 8, 3, 4}, {false, 4, 3, 4}, {true, 3, 1, 4}, {true, 9, 3, 4}, {true, 7, 3, 1}};
    for (const Case& c : cases) {
        mock.reset();
        LogCapture log(c.level);
        auto r = c.index ? outcome(hq.get_index_bars(c.category, 1, "999999", 0, 10))
                         : outcome(hq.get_security_bars(c.category, 1, "999999", 0, 10, 1));
        const std::string out = log.take();
        EXPECT_EQ(r, "ok");
        EXPECT_EQ(mock.requests("bars"), c.requests) << int(c.category);
        EXPECT_EQ(mock.requests("xdxr"), 0);
        const bool switched = c.requests > 1;
        EXPECT_EQ(count_of(out, "[D] hq  attempt "), switched && c.level >= 4 ? 3u : 0u) << out;
        const std::string all_empty = std::string("[W] hq  all 3 attempts returned empty ") + (c.index ? "index " : "") + "K-line for 999999\n";
        EXPECT_EQ(count_of(out, all_empty), switched && c.level >= 2 ? 1u : 0u) << out;
    }
    EXPECT_EQ(mock.requests("bars", 1), 1);  // from server 2 to 0 and 1
    for (uint8_t level : {3, 2}) for (bool index : {false, true}) {
        ASSERT_TRUE(hq.connect_internal("127.0.0.1", mock.port(0), 2.0, false).ok());
        mock.reset();
        mock.set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 0}});
        LogCapture log(level);
        auto size = index ? hq.get_index_bars(9, 1, "000300", 0, 500).value().size() : hq.get_security_bars(9, 1, "600519", 0, 500, 0).value().size();
        EXPECT_EQ(log.take().find(index ? "[I] hq  got 500 index bars for 000300 after 1 server switch(es)\n"
                                        : "[I] hq  got 500 bars for 600519 after 1 server switch(es)\n") != std::string::npos,
                  level == 3);
        EXPECT_EQ(size, 500u);
    }
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
    mock.set_fault({{"action", "empty"}, {"cmd", "bars"}, {"skip", 1}});  // an empty page, on every server
    {
        LogCapture quiet(1);
        auto cut = hq.get_security_bars_all(4, 1, "600519", 2000, 0);
        EXPECT_EQ(cut.ok() ? cut->size() : 0, 800u);
    }
    EXPECT_EQ(starts(mock), (std::vector<int>{0, 800, 800, 800}));
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

// The fund walk stops after the page that leaves the fund range (Shenzhen: two of three pages),
// at an empty page, or when the count's pages are spent (Beijing: 301 entries, one page, no fund);
// a failed count or page fails the walk.
TEST_F(PooledClient, FundListWalkStopsPastTheFundRange) {
    auto r = fund::get_fund_list(hq, 0);
    ASSERT_EQ(r.ok() ? r->size() : 0, 101u);
    EXPECT_EQ(r->front().code + " " + r->back().code, "159001 161725");
    EXPECT_EQ(r->back().fund_type, fund::FundType::LOF);
    EXPECT_EQ(starts(mock, "list"), (std::vector<int>{0, 1000}));
    hq.set_auto_retry(false);
    struct Case { uint8_t market; nlohmann::json fault; std::string outcome; std::vector<int> starts; };
    const Case cases[] = {
        {0, {{"action", "body"}, {"cmd", "list"}, {"hex", "00"}, {"skip", 1}}, "[E2103] ", {0, 1000}},
        {0, {{"action", "empty"}, {"cmd", "list"}, {"nth", 2}}, "0 funds", {0, 1000}},
        // a first page of one fund, 510050, which does not end the range; the next one does
        {1, {{"action", "body"}, {"cmd", "list"}, {"hex", "01003531303035306400460000000000000000000000030000204000000000"}, {"nth", 1}},
         "1 funds", {0, 1000}},
        {2, nullptr, "0 funds", {0}},
        {1, {{"action", "close"}, {"cmd", "count"}}, "Server disconnected", {}},
    };
    for (const Case& c : cases) {
        mock.reset();
        hq.clear_caches();
        if (!c.fault.is_null()) mock.set_fault(c.fault);
        auto funds = fund::get_fund_list(hq, c.market);
        const std::string got = funds ? std::to_string(funds->size()) + " funds" : funds.error().display();
        EXPECT_EQ(got.substr(0, c.outcome.size()), c.outcome);
        EXPECT_EQ(starts(mock, "list"), c.starts) << c.outcome;
    }
}
