#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include "async_fixture.hpp"
#include "net/packet.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;
using Clock = std::chrono::steady_clock;

TEST(AsyncConnect, NewClientIsEmptyAndNotAlive) {
    AsyncHarness h(0);
    EXPECT_EQ(h.client->pool_size(), 1u);
    EXPECT_EQ(h.connections(), 0u);
    EXPECT_FALSE(h.client->is_alive());
    EXPECT_TRUE(h.rt.block_on(h.client->disconnect()).ok());
    EXPECT_EQ(h.connections(), 0u);
}

TEST(AsyncConnect, FillsThePoolWithHandshakenConnections) {
    MockServer mock;
    AsyncHarness h(3);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    EXPECT_EQ(h.connections(), 3u);
    EXPECT_TRUE(h.client->is_alive());
    EXPECT_EQ(mock.accepted(), 3);
    EXPECT_EQ(mock.handshakes(), 3);
}

TEST(AsyncConnect, SecondConnectReplacesThePool) {
    MockServer mock(2);
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port(0)).ok());
    ASSERT_TRUE(h.connect(mock.port(1)).ok());
    EXPECT_EQ(h.connections(), 2u);
    // The old connections' queues were closed, so their tasks end and close their sockets.
    EXPECT_TRUE(eventually([&] { return mock.open_connections(0) == 0; }));
    auto count = h.rt.block_on(h.client->get_security_count(1));
    ASSERT_TRUE(count.ok()) << count.error().display();
    EXPECT_EQ(mock.requests("count", 0), 0);
    EXPECT_EQ(mock.requests("count", 1), 1);
}

TEST(AsyncConnect, RefusedConnectionReportsTheAddress) {
    MockServer mock;
    mock.listen(0, false);
    AsyncHarness h(2);
    auto s = h.connect(mock.port());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), TdxError::Kind::Connection);
    const std::string prefix = "connect 127.0.0.1:" + std::to_string(mock.port()) + ": ";
    EXPECT_EQ(s.error().text().rfind(prefix, 0), 0u) << s.error().text();
    EXPECT_EQ(h.connections(), 0u);
    EXPECT_FALSE(h.client->is_alive());
}

TEST(AsyncConnect, FailureKeepsTheConnectionsMadeBeforeIt) {
    MockServer mock;
    // The second new connection is closed before its setup exchange.
    mock.set_fault({{"action", "refuse"}, {"cmd", "accept"}, {"skip", 1}});
    AsyncHarness h(3);
    auto s = h.connect(mock.port());
    ASSERT_FALSE(s.ok());
    // The close races the first setup packet: a reset on send or read, or the peer's end.
    EXPECT_TRUE(s.error().kind() == TdxError::Kind::Disconnected || s.error().kind() == TdxError::Kind::Connection)
        << s.error().display();
    EXPECT_EQ(h.connections(), 1u);
    EXPECT_FALSE(h.client->is_alive());
    // The one connection made serves requests.
    auto list = h.rt.block_on(h.client->get_security_list(2, 0));
    ASSERT_TRUE(list.ok()) << list.error().display();
    EXPECT_EQ(list->size(), 301u);
}

TEST(AsyncConnect, BadTimeoutIsRefusedBeforeThePoolIsTouched) {
    MockServer mock;
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    for (double t : {-1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        auto s = h.rt.block_on(h.client->connect("127.0.0.1", mock.port(), t));
        ASSERT_FALSE(s.ok());
        EXPECT_TRUE(s.error().is_coded(1003)) << s.error().display();
        EXPECT_EQ(s.error().coded_error().message.rfind("timeout=", 0), 0u);
    }
    EXPECT_EQ(h.connections(), 2u);
    EXPECT_EQ(mock.accepted(), 2);
}

TEST(AsyncConnect, SilentSetupIsBoundedByTheTimeout) {
    MockServer mock;
    mock.set_fault({{"action", "stall"}, {"cmd", "setup1"}});
    AsyncHarness h(1);
    const auto before = Clock::now();
    auto s = h.connect(mock.port(), 0.2);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), TdxError::Kind::Connection);
    EXPECT_EQ(s.error().text(), "recv: timed out");
    EXPECT_GE(seconds_since(before), 0.19);
    EXPECT_EQ(h.connections(), 0u);
}

TEST(AsyncConnect, DisconnectDropsThePoolAndKeepsTheCaches) {
    MockServer mock;
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    ASSERT_EQ(h.rt.block_on(h.client->get_security_count(0)).value(), 2105);
    ASSERT_TRUE(h.rt.block_on(h.client->disconnect()).ok());
    EXPECT_EQ(h.connections(), 0u);
    EXPECT_FALSE(h.client->is_alive());
    EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
    // Still fresh in the cache: served without a connection.
    auto cached = h.rt.block_on(h.client->get_security_count(0));
    ASSERT_TRUE(cached.ok());
    EXPECT_EQ(*cached, 2105);
    auto other = h.rt.block_on(h.client->get_security_count(1));
    ASSERT_FALSE(other.ok());
    EXPECT_EQ(other.error().kind(), TdxError::Kind::Disconnected);
    EXPECT_EQ(mock.requests("count"), 1);
}

TEST(AsyncDispatch, RoundRobinOverThePool) {
    MockServer mock;
    AsyncHarness h(3);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(h.rt.block_on(h.client->get_security_list(1, 1000)).ok());
    auto log = mock.request_log("list");
    ASSERT_EQ(log.size(), 6u);
    std::set<int> first_three;
    for (size_t i = 0; i < 3; ++i) {
        first_three.insert(log[i]["conn"].get<int>());
        EXPECT_EQ(log[i]["conn"], log[i + 3]["conn"]) << i;
    }
    EXPECT_EQ(first_three.size(), 3u);
}

TEST(AsyncDispatch, UnconnectedClientFailsAfterTheFullRetrySchedule) {
    AsyncHarness h(1, AsyncClientSeams{});
    const auto before = Clock::now();
    auto r = h.rt.block_on(h.client->send_and_recv(build_security_count_packet(0)));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
    // 0.1 + 0.5 + 1.0 + 2.0 s of pauses before the error is reported.
    EXPECT_GE(seconds_since(before), 3.6);
}

TEST(AsyncDispatch, RetryGoesToTheNextConnection) {
    MockServer mock;
    mock.set_fault({{"action", "close"}, {"cmd", "list"}, {"nth", 1}});
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    auto list = h.rt.block_on(h.client->get_security_list(0, 1000));
    ASSERT_TRUE(list.ok()) << list.error().display();
    ASSERT_EQ(list->size(), 1000u);
    // Sorted codes of market 0: 000001, 000002, then 000100 upwards; entry 1000 is 001098.
    EXPECT_EQ(list->front().code, "001098");
    auto log = mock.request_log("list");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0]["conn"], log[1]["conn"]);
}

TEST(AsyncDispatch, FirstAttemptErrorIsReturnedWhenAllFail) {
    MockServer mock;
    mock.set_fault({{"action", "zero_body"}, {"cmd", "list"}});
    AsyncHarness h(1);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    auto list = h.rt.block_on(h.client->get_security_list(0, 5));
    ASSERT_FALSE(list.ok());
    EXPECT_EQ(list.error().display(), "[E2003] server disconnected: empty response body");
    EXPECT_EQ(mock.requests("list"), 5);
    // An empty body leaves the stream in step: the same connection answers the next request.
    mock.clear_faults();
    auto count = h.rt.block_on(h.client->get_security_count(2));
    ASSERT_TRUE(count.ok()) << count.error().display();
    EXPECT_EQ(*count, 301);
    EXPECT_EQ(mock.accepted(), 1);
}

TEST(AsyncDispatch, TimedOutConnectionIsNeverReadAgain) {
    MockServer mock;
    mock.set_fault({{"action", "delay"}, {"cmd", "list"}, {"seconds", 1.5}, {"nth", 1}});
    AsyncHarness h(2);
    ASSERT_TRUE(h.connect(mock.port(), 1.0).ok());
    // The first attempt times out on one connection; the retry is answered by the other.
    auto list = h.rt.block_on(h.client->get_security_list(0, 1000));
    ASSERT_TRUE(list.ok()) << list.error().display();
    EXPECT_EQ(list->front().code, "001098");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // The late list reply went to a closed socket; no later answer is taken from it.
    for (int i = 0; i < 4; ++i) {
        auto quotes = h.rt.block_on(h.client->get_security_quotes({{1, "600000"}}));
        ASSERT_TRUE(quotes.ok()) << quotes.error().display();
        ASSERT_EQ(quotes->size(), 1u);
        EXPECT_EQ(quotes->front().code, "600000");
    }
    EXPECT_TRUE(eventually([&] { return mock.open_connections() == 1; }));
}

TEST(AsyncDispatch, BrokenConnectionFailsFastUntilReplaced) {
    MockServer mock;
    mock.set_fault({{"action", "close"}, {"cmd", "count"}, {"when", "inside_header"}, {"nth", 1}});
    AsyncHarness h(1);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    auto r = h.rt.block_on(h.client->get_security_count(0));
    ASSERT_FALSE(r.ok());
    // Part of a header, then the close: the peer's end, not a framing error.
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
    EXPECT_EQ(mock.requests("count"), 1);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    EXPECT_EQ(h.rt.block_on(h.client->get_security_count(0)).value(), 2105);
}

TEST(AsyncHeartbeat, BeatsKeepTheClientAlive) {
    MockServer mock;
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = std::chrono::milliseconds(30);
    AsyncHarness h(2, seams);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    ASSERT_TRUE(eventually([&] { return mock.requests("count") >= 4; }));
    EXPECT_TRUE(h.client->is_alive());
    // Beats visit the handles in turn and carry the market-0 count request.
    auto log = mock.request_log("count");
    EXPECT_NE(log[0]["conn"], log[1]["conn"]);
    EXPECT_EQ(hex(log[0]["raw"].get<std::string>()), hex("0c 0c 18 6c 00 01 08 00 08 00 4e 04 00 00 75 c7 33 01"));
}

TEST(AsyncHeartbeat, SilentServerClearsAliveAndNothingReconnects) {
    MockServer mock;
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = std::chrono::milliseconds(30);
    seams.heartbeat_timeout = std::chrono::milliseconds(100);
    AsyncHarness h(1, seams);
    ASSERT_TRUE(h.connect(mock.port(), 2.0).ok());
    mock.set_fault({{"action", "stall"}, {"cmd", "count"}});
    EXPECT_TRUE(eventually([&] { return !h.client->is_alive(); }));
    EXPECT_EQ(h.connections(), 1u);
    EXPECT_EQ(mock.accepted(), 1);
}

TEST(AsyncHeartbeat, DisconnectStopsTheBeats) {
    MockServer mock;
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = std::chrono::milliseconds(30);
    AsyncHarness h(1, seams);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    ASSERT_TRUE(eventually([&] { return mock.requests("count") >= 2; }));
    ASSERT_TRUE(h.rt.block_on(h.client->disconnect()).ok());
    const int beats = mock.requests("count");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(mock.requests("count"), beats);
    EXPECT_FALSE(h.client->is_alive());
}

TEST(AsyncHeartbeat, EmptyPoolFailsTheBeat) {
    MockServer mock;
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = std::chrono::milliseconds(30);
    AsyncHarness h(1, seams);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    mock.listen(0, false);
    // A connect that fails at its first connection leaves an empty pool and the old heartbeat.
    ASSERT_FALSE(h.connect(mock.port()).ok());
    EXPECT_EQ(h.connections(), 0u);
    EXPECT_TRUE(eventually([&] { return !h.client->is_alive(); }));
}

TEST(AsyncShutdown, RuntimeShutdownWithARequestInFlight) {
    MockServer mock;
    mock.set_fault({{"action", "stall"}, {"cmd", "bars"}});
    auto h = std::make_unique<AsyncHarness>(2);
    ASSERT_TRUE(h->connect(mock.port(), 30.0).ok());
    std::atomic<bool> done{false};
    Result<std::vector<SecurityBar>> seen = TdxError::disconnected();
    std::thread caller([&] {
        seen = h->rt.block_on(h->client->get_security_bars(4, 1, "600000", 0, 10, 0));
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return mock.requests("bars") == 1; }));
    h->rt.shutdown();
    caller.join();
    EXPECT_TRUE(done.load());
    ASSERT_FALSE(seen.ok());
    h.reset();
    EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
}
