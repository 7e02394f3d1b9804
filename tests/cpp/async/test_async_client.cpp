#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "async/compound.hpp"
#include "async_fixture.hpp"
#include "protocol/packet.hpp"

// After the project's asio configuration, which the headers above bring in.
#include <asio/experimental/awaitable_operators.hpp>

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using namespace asio::experimental::awaitable_operators;

TEST(AsyncRateLimiter, ConcurrentCallersLeaveOneIntervalApart) {
    AsyncRuntime rt(3);
    AsyncRateLimiter limiter(rt.executor());
    limiter.set_interval(30ms);
    const auto before = std::chrono::steady_clock::now();
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) callers.emplace_back([&] { (void)rt.block_on(limiter.wait()); });
    for (auto& t : callers) t.join();
    // The first leaves at once, each later one at least an interval after the one before.
    EXPECT_GE(seconds_since(before), 0.09);
    limiter.set_interval(-5ms);  // none, rather than a wait that never ends
    EXPECT_EQ(limiter.interval(), 0ms);
}

// A wait for the lock given up (here: a timer wins the race) takes nothing, so the holder's unlock
// admits the next locker.
TEST(AsyncMutex, AWaitGivenUpHoldsNothing) {
    AsyncRuntime rt(2);
    AsyncMutex mu(rt.executor());
    auto flow = [&]() -> asio::awaitable<std::string> {
        auto held = co_await mu.lock();
        asio::steady_timer t(co_await asio::this_coro::executor, 5ms);
        auto r = co_await (mu.lock() || t.async_wait(as_tuple_awaitable));
        held.release();
        auto again = co_await mu.lock();
        co_return r.index() == 1 ? "given up, then locked" : "locked while held";
    };
    EXPECT_EQ(rt.block_on(flow()).value(), "given up, then locked");
}

// A call still waiting when its runtime shuts down ends with an error, and later calls get it at once.
TEST(AsyncRuntime, ShutdownEndsWaitingCallsAndRefusesLaterOnes) {
    AsyncRuntime rt(1);
    std::atomic<bool> started{false};
    auto forever = [&]() -> asio::awaitable<int> {
        asio::steady_timer t(co_await asio::this_coro::executor, 1h);
        started = true;
        co_await t.async_wait(as_tuple_awaitable);
        co_return 1;
    };
    auto waiting = std::async(std::launch::async, [&] { return rt.block_on(forever()); });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    rt.shutdown();
    EXPECT_EQ(waiting.get().error().display(), "Connection error: async runtime shut down");
    EXPECT_EQ(rt.block_on(forever()).error().display(), "Connection error: async runtime shut down");
}

using AsyncClient = SharedMock<2>;

TEST_F(AsyncClient, RoundRobinOverThePool) {
    AsyncHarness h(3);
    ASSERT_TRUE(h.connect(mock.port(0)).ok());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(h.run(h.client->get_security_list(1, 1000)).ok());
    std::vector<int> conns;
    for (const auto& e : mock.request_log("list")) conns.push_back(e["conn"].get<int>());
    ASSERT_EQ(conns.size(), 6u);
    EXPECT_EQ(std::set<int>(conns.begin(), conns.begin() + 3).size(), 3u);
    EXPECT_TRUE(std::equal(conns.begin(), conns.begin() + 3, conns.begin() + 3));
    // A bad time-out is refused before the pool is touched.
    for (double t : {-1.0, std::nan("")})
        EXPECT_TRUE(failed_with(h.run(h.client->connect("127.0.0.1", mock.port(1), t)), 1003));
    EXPECT_EQ(h.connections(), 3u);
    EXPECT_EQ(AsyncTdxHqClient::with_pool_size(h.rt, 0)->pool_size(), 1u);
}

// The system's resolver: "localhost" is a name even a machine without a network knows; a label
// longer than 63 bytes is one no resolver looks up.
TEST_F(AsyncClient, NamesGoThroughTheSystemResolver) {
    AsyncHarness h(2);
    ASSERT_TRUE(h.run(h.client->connect("localhost", mock.port(), 2.0)).ok());
    EXPECT_EQ(h.connections(), 2u);
    EXPECT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
    const std::string name = std::string(64, 'a') + ".test";
    auto s = h.run(h.client->connect(name, mock.port(), 2.0));
    const std::string begins = "Connection error: connect " + name + ":" + std::to_string(mock.port()) + ": ";
    EXPECT_EQ(s.error().display().rfind(begins, 0), 0u) << s.error().display();
    EXPECT_GT(s.error().display().size(), begins.size());
}

TEST_F(AsyncClient, ConnectToFirstStopsAtTheFirstRowThatConnects) {
    mock.listen(1, false);
    AsyncHarness h(2);
    const ServerEntry refused{"a", "127.0.0.1", mock.port(1)}, good{"b", "127.0.0.1", mock.port(0)};
    for (const auto& rows : std::initializer_list<std::vector<ServerEntry>>{{}, {refused}})
        EXPECT_EQ(h.run(connect_to_first(*h.client, rows, 1.0)).error().display(),
                  "[E2001] connection failed: all servers unreachable");
    ASSERT_TRUE(h.run(connect_to_first(*h.client, {refused, good, good}, 1.0)).ok());
    EXPECT_EQ(mock.handshakes(0), 2);
    EXPECT_TRUE(h.client->is_alive());
}

TEST_F(AsyncClient, FailedConnectLeavesTheClientDisconnectedWithinItsTimeout) {
    // Of the names, one is never answered.
    AsyncClientSeams seams = fast_seams();
    seams.resolve = [](const std::string& host, uint16_t) {
        if (host == "silent.test") std::this_thread::sleep_for(2s);
        return NameLookup{{}, "no such name"};
    };
    AsyncHarness h(2, seams);
    mock.listen(1, false);
    const std::string p0 = std::to_string(mock.port(0)), p1 = std::to_string(mock.port(1));
    // Host, port, fault, and how the error begins.
    const std::tuple<std::string, int, nlohmann::json, std::string> cases[] = {
        {"127.0.0.1", 1, nullptr, "Connection error: connect 127.0.0.1:" + p1 + ": "},
        {"silent.test", 0, nullptr, "[E2002] connection timeout: silent.test:" + p0},
        {"unknown.test", 0, nullptr, "Connection error: connect unknown.test:" + p0 + ": no such name"},
        {"127.0.0.1", 0, {{"action", "stall"}, {"cmd", "setup1"}}, "Connection error: recv: timed out"},
        // The second connection refused: the first one, already set up, is closed too.
        {"127.0.0.1", 0, {{"action", "refuse"}, {"skip", 1}}, ""},
    };
    for (const auto& [host, port, fault, begins] : cases) {
        SCOPED_TRACE(host + " " + fault.dump());
        mock.reset();
        ASSERT_TRUE(h.connect(mock.port(0)).ok());
        ASSERT_EQ(h.run(h.client->get_security_count(0)).value(), 2105);
        if (!fault.is_null()) mock.set_fault(fault);
        const auto before = std::chrono::steady_clock::now();
        auto s = h.run(h.client->connect(host, mock.port(port), 0.3));
        ASSERT_FALSE(s.ok());
        EXPECT_LT(seconds_since(before), 1.5);
        EXPECT_EQ(s.error().display().rfind(begins, 0), 0u) << s.error().display();
        // As a disconnect leaves it: no connection, not alive, the caches kept.
        EXPECT_EQ(h.connections(), 0u);
        EXPECT_FALSE(h.client->is_alive());
        EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
        EXPECT_EQ(h.run(h.client->get_security_count(0)).value(), 2105);
    }
}

TEST_F(AsyncClient, RetriesFollowTheScheduleAndReportTheFirstError) {
    // Errors that leave the connection in step, so every attempt reaches the server.
    mock.set_fault({{"action", "zero_body"}, {"cmd", "list"}, {"nth", 1}});
    mock.set_fault({{"action", "corrupt_zlib"}, {"cmd", "list"}});
    AsyncClientSeams seams;
    seams.retry_delays = {0.02, 0.02, 0.02, 0.04};
    AsyncHarness h(1, seams);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    const auto before = std::chrono::steady_clock::now();
    auto list = h.run(h.client->get_security_list(0, 5));
    EXPECT_GE(seconds_since(before), 0.1);
    EXPECT_EQ(list.error().display(), "[E2003] server disconnected: empty response body");
    EXPECT_EQ(mock.requests("list"), 5);
}

TEST_F(AsyncClient, FullQueuesFallBackToTheNextConnectionThenRefuse) {
    // Each connection's first request is never answered; every later attempt, given up after
    // two milliseconds, leaves its request queued behind it until the queues are full.
    mock.set_fault({{"action", "stall"}, {"cmd", "count"}});
    const std::pair<int, std::string> cases[] = {{1, "connection busy"}, {2, "all connections busy"}};
    for (const auto& [pool, shown] : cases) {
        AsyncHarness h(pool);
        ASSERT_TRUE(h.connect(mock.port(), 30.0).ok());
        auto fill = [&]() -> asio::awaitable<std::string> {
            for (int i = 0; i < 1000; ++i) {
                asio::steady_timer t(co_await asio::this_coro::executor, 2ms);
                auto r = co_await (h.client->try_send(build_security_count_packet(0)) ||
                                   t.async_wait(as_tuple_awaitable));
                if (r.index() == 0) co_return std::get<0>(r).ok() ? "answered" : std::get<0>(r).error().text();
            }
            co_return "never refused";
        };
        EXPECT_EQ(h.run(fill()).value(), shown);
    }
}

TEST_F(AsyncClient, ConnectionsOutOfStepOrClosedLeaveThePool) {
    // Each fault hits the first count request, on the first of two connections: a spare copy of
    // the reply, or no reply before the request times out.
    const nlohmann::json faults[] = {{{"action", "twice"}}, {{"action", "stall"}}};
    for (nlohmann::json fault : faults) {
        SCOPED_TRACE(fault.dump());
        mock.reset();
        fault.update({{"cmd", "count"}, {"nth", 1}});
        mock.set_fault(fault);
        AsyncHarness h(2);
        ASSERT_TRUE(h.connect(mock.port(), 0.5).ok());
        EXPECT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
        // Only the other connection is left, in the pool and on the server, and it alone
        // answers, each request with its own reply.
        EXPECT_TRUE(eventually([&] { return h.connections() == 1; }));
        EXPECT_TRUE(eventually([&] { return mock.open_connections() == 1; }));
        mock.reset();
        auto list = h.run(h.client->get_security_list(0, 1000));
        ASSERT_TRUE(list.ok()) << list.error().display();
        EXPECT_EQ(list->front().code, "001098");
        EXPECT_EQ(mock.requests(), 1);
    }
}

// A reply the call's decoder refuses (a finance body of no record, as for a code the server does
// not know) fails that call at once, and a new connection to the same server takes its
// connection's place: pools keep their size, and later calls are answered.
TEST_F(AsyncClient, ARefusedReplysConnectionIsReplacedInItsSlot) {
    for (uint64_t pool : {1, 4}) {
        SCOPED_TRACE(pool);
        AsyncHarness h(pool);
        ASSERT_TRUE(h.connect(mock.port()).ok());
        mock.reset();
        mock.set_fault({{"action", "empty"}, {"cmd", "finance"}});
        for (int i = 0; i < 6; ++i) {
            auto unknown = h.run(h.client->get_finance_info(0, "999999"));
            EXPECT_TRUE(failed_with(unknown, 2103)) << outcome(unknown);
        }
        EXPECT_EQ(mock.requests("finance"), 6);  // never retried
        EXPECT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
        EXPECT_EQ(h.connections(), pool);
        EXPECT_EQ(mock.accepted(), 6);
        EXPECT_TRUE(eventually([&] { return mock.open_connections() == static_cast<int>(pool); }));
    }
    // A slot whose new connection cannot be made leaves the pool; the others serve on.
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    mock.reset();
    mock.set_fault({{"action", "empty"}, {"cmd", "finance"}});
    mock.set_fault({{"action", "refuse"}});
    EXPECT_TRUE(failed_with(h.run(h.client->get_finance_info(0, "999999")), 2103));
    EXPECT_TRUE(eventually([&] { return h.connections() == 1; }));
    EXPECT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
}

// A reply read in place of another call's answer is refused by the call's decoder when it cannot
// be that answer: that call fails, its connection is replaced, and no call takes another's answer
// as its own.
TEST_F(AsyncClient, AStaleReplyFailsOneCallAndCostsNoConnection) {
    AsyncHarness h(1, fast_seams(0ms));
    h.client->rate_limiter().set_interval(0ns);  // back to back: no pause lets the copy show while idle
    ASSERT_TRUE(h.connect(mock.port()).ok());
    std::vector<uint16_t> counts;
    for (uint8_t m = 0; m < 3; ++m) counts.push_back(h.run(h.client->get_security_count(m)).value());
    mock.reset();
    send_third_reply_again_late(mock);
    std::vector<std::string> seen;
    for (const MixedCall& c : mixed_calls()) {
        if (c.kind == 0) {
            auto r = h.run(h.client->get_finance_info(c.market, c.code));
            seen.push_back(judge(c, &r, nullptr, nullptr, counts));
        } else if (c.kind == 1) {
            auto r = h.run(h.client->get_security_count(c.market));
            seen.push_back(judge(c, nullptr, &r, nullptr, counts));
        } else {
            auto r = h.run(h.client->get_security_quotes({{c.market, c.code}}));
            seen.push_back(judge(c, nullptr, nullptr, &r, counts));
        }
    }
    // Typically the finance call that reads the copy of the quotes reply fails, and only it.
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "another's"), 0) << ::testing::PrintToString(seen);
    EXPECT_LE(std::count(seen.begin(), seen.end(), "failed"), 2) << ::testing::PrintToString(seen);
    EXPECT_EQ(seen.back(), "own");
    EXPECT_EQ(h.connections(), 1u);
}

TEST(AsyncConnection, BytesNobodyAskedForOrThePeersEndCloseItBeforeARequest) {
    // Three empty setup replies, then either a count reply (2105) that no request asked for, sent a
    // byte at a time while the connection is idle, or the peer's end.
    std::vector<uint8_t> stale(18, 0);
    stale[12] = stale[14] = 2;
    stale[16] = 0x39, stale[17] = 0x08;
    for (bool peer_ends : {false, true}) {
        SCOPED_TRACE(peer_ends ? "the peer ends" : "bytes nobody asked for");
        std::optional<TcpPeer> peer(std::in_place, std::vector<uint8_t>(48, 0), peer_ends ? Bytes() : stale, 1ms);
        AsyncHarness h(1);
        ASSERT_TRUE(h.connect(peer->port()).ok());
        if (peer_ends) peer.reset();
        EXPECT_TRUE(eventually([&] { return h.connections() == 0; }));
        EXPECT_EQ(h.run(h.client->send_and_recv(build_security_count_packet(0))).error().display(), "Server disconnected");
    }
}

TEST_F(AsyncClient, HeartbeatBeatsInTurnSilenceClearsAliveDisconnectKeepsTheCaches) {
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = 30ms;
    seams.heartbeat_timeout = 100ms;
    AsyncHarness h(2, seams);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    // Beats: the market-0 count request, to the connections in turn.
    ASSERT_TRUE(eventually([&] { return mock.requests("count") >= 2; }));
    auto log = mock.request_log("count");
    EXPECT_NE(log[0]["conn"], log[1]["conn"]);
    EXPECT_EQ(log[1]["args"]["market"], 0);
    EXPECT_TRUE(h.client->is_alive());
    // A server that stops answering clears the flag, and nothing reconnects.
    ASSERT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
    mock.set_fault({{"action", "stall"}, {"cmd", "count"}});
    EXPECT_TRUE(eventually([&] { return !h.client->is_alive(); }));
    EXPECT_EQ(mock.accepted(), 2);
    // A disconnect closes every connection and keeps the caches.
    ASSERT_TRUE(h.run(h.client->disconnect()).ok());
    EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
    EXPECT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
}
