#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <thread>

#include "async_fixture.hpp"
#include "protocol/packet.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;
using Clock = std::chrono::steady_clock;

namespace {

AsyncClientSeams beat_seams() {
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = std::chrono::milliseconds(30);
    return seams;
}

}  // namespace

TEST(AsyncConnect, FillsThePoolAndASecondConnectReplacesIt) {
    MockServer mock(2);
    AsyncHarness h(2);
    EXPECT_EQ(h.client->pool_size(), 2u);
    EXPECT_FALSE(h.client->is_alive());
    EXPECT_TRUE(h.rt.block_on(h.client->disconnect()).ok());
    ASSERT_TRUE(h.connect(mock.port(0)).ok());
    EXPECT_TRUE(h.client->is_alive());
    EXPECT_EQ(mock.accepted(0), 2);
    EXPECT_EQ(mock.handshakes(0), 2);
    ASSERT_TRUE(h.connect(mock.port(1)).ok());
    EXPECT_EQ(h.connections(), 2u);
    // The old connections' queues were closed, so their tasks end and close their sockets.
    EXPECT_TRUE(eventually([&] { return mock.open_connections(0) == 0; }));
    auto count = h.rt.block_on(h.client->get_security_count(1));
    ASSERT_TRUE(count.ok()) << count.error().display();
    EXPECT_EQ(mock.requests("count", 0), 0);
    EXPECT_EQ(mock.requests("count", 1), 1);
}

TEST(AsyncConnect, FailuresNameTheAddressAndNameLookupsEndWithTheTimeout) {
    MockServer mock;
    mock.listen(0, false);
    // A name server that never answers, and one that knows no such name. Numeric addresses are
    // never looked up.
    auto asked = std::make_shared<std::atomic<int>>(0);
    AsyncClientSeams seams = fast_seams();
    seams.resolve = [asked](const std::string& host, uint16_t) {
        ++*asked;
        if (host == "silent.test") std::this_thread::sleep_for(std::chrono::seconds(3));
        return NameLookup{{}, "no such name"};
    };
    const std::string port = std::to_string(mock.port());
    const std::pair<std::string, std::string> cases[] = {
        {"127.0.0.1", "Connection error: connect 127.0.0.1:" + port + ": "},
        {"silent.test", "[E2002] connection timeout: silent.test:" + port},
        {"unknown.test", "Connection error: connect unknown.test:" + port + ": no such name"},
    };
    AsyncHarness h(2, seams);
    for (const auto& [host, text] : cases) {
        SCOPED_TRACE(host);
        const auto before = Clock::now();
        auto s = h.rt.block_on(h.client->connect(host, mock.port(), 0.3));
        ASSERT_FALSE(s.ok());
        EXPECT_LT(seconds_since(before), 2.0);
        EXPECT_EQ(s.error().display().rfind(text, 0), 0u) << s.error().display();
        EXPECT_EQ(h.connections(), 0u);
        EXPECT_FALSE(h.client->is_alive());
    }
    EXPECT_EQ(asked->load(), 2);
}

TEST(AsyncConnect, FailedConnectLeavesTheClientDisconnected) {
    // Refused at the first new connection, or closed before the setup of the second.
    const nlohmann::json faults[] = {
        {{"action", "refuse"}, {"cmd", "accept"}},
        {{"action", "refuse"}, {"cmd", "accept"}, {"skip", 1}},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.dump());
        MockServer mock;
        AsyncHarness h(3, beat_seams());
        ASSERT_TRUE(h.connect(mock.port()).ok());
        ASSERT_EQ(h.rt.block_on(h.client->get_security_count(0)).value(), 2105);
        mock.set_fault(fault);
        auto s = h.connect(mock.port());
        ASSERT_FALSE(s.ok());
        // The close races the first setup packet: a reset on send or read, or the peer's end.
        EXPECT_TRUE(s.error().kind() == TdxError::Kind::Disconnected ||
                    s.error().kind() == TdxError::Kind::Connection)
            << s.error().display();
        EXPECT_EQ(h.connections(), 0u);
        EXPECT_FALSE(h.client->is_alive());
        // Old and new connections alike are closed; the caches keep their entries.
        EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
        EXPECT_EQ(h.rt.block_on(h.client->get_security_count(0)).value(), 2105);
    }
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

TEST(AsyncDispatch, ConnectionsOutOfStepOrClosedLeaveThePool) {
    // Each fault hits the first count request, on the first of two connections; the retry goes
    // to the other.
    const nlohmann::json faults[] = {
        // The reply twice: the spare copy must never answer another request.
        {{"action", "twice"}, {"cmd", "count"}, {"nth", 1}},
        // The reply after its request timed out.
        {{"action", "delay"}, {"cmd", "count"}, {"seconds", 1.5}, {"nth", 1}},
        // Answered, then closed by the peer while idle.
        {{"action", "close"}, {"cmd", "count"}, {"when", "after_body"}, {"nth", 1}},
        // Part of a header, then the close.
        {{"action", "close"}, {"cmd", "count"}, {"when", "inside_header"}, {"nth", 1}},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.dump());
        MockServer mock;
        mock.set_fault(fault);
        AsyncHarness h(2);
        ASSERT_TRUE(h.connect(mock.port(), 1.0).ok());
        auto count = h.rt.block_on(h.client->get_security_count(1));
        ASSERT_TRUE(count.ok()) << count.error().display();
        EXPECT_EQ(*count, 1908);
        // Only the other connection is left, in the pool and on the server, and it alone
        // answers, each request with its own reply.
        EXPECT_TRUE(eventually([&] { return h.connections() == 1; }));
        EXPECT_TRUE(eventually([&] { return mock.open_connections() == 1; }));
        mock.reset();
        for (int i = 0; i < 2; ++i) {
            auto list = h.rt.block_on(h.client->get_security_list(0, 1000));
            ASSERT_TRUE(list.ok()) << list.error().display();
            ASSERT_EQ(list->size(), 1000u);
            // Sorted codes of market 0: 000001, 000002, then 000100 upwards; entry 1000 is 001098.
            EXPECT_EQ(list->front().code, "001098");
            auto quotes = h.rt.block_on(h.client->get_security_quotes({{1, "600000"}}));
            ASSERT_TRUE(quotes.ok()) << quotes.error().display();
            ASSERT_EQ(quotes->size(), 1u);
            EXPECT_EQ(quotes->front().code, "600000");
        }
        EXPECT_EQ(mock.requests(), 4);
    }
}

TEST(AsyncDispatch, PoolEmptiedByFaultsFailsFastUntilReplaced) {
    MockServer mock;
    mock.set_fault({{"action", "close"}, {"cmd", "list"}, {"when", "inside_header"}, {"times", 2}});
    AsyncHarness h(2, beat_seams());
    ASSERT_TRUE(h.connect(mock.port()).ok());
    auto r = h.rt.block_on(h.client->get_security_list(0, 5));
    ASSERT_FALSE(r.ok());
    // Part of a header, then the close: the peer's end, not a framing error.
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
    // Each connection failed once and left the pool; the later retries found it empty, and so
    // does the heartbeat.
    EXPECT_EQ(mock.requests("list"), 2);
    EXPECT_EQ(h.connections(), 0u);
    EXPECT_TRUE(eventually([&] { return !h.client->is_alive(); }));
    ASSERT_TRUE(h.connect(mock.port()).ok());
    EXPECT_EQ(h.rt.block_on(h.client->get_security_list(0, 5)).value().size(), 1000u);
}

TEST(AsyncHeartbeat, BeatsKeepTheClientAliveUntilDisconnect) {
    MockServer mock;
    AsyncHarness h(2, beat_seams());
    ASSERT_TRUE(h.connect(mock.port()).ok());
    ASSERT_TRUE(eventually([&] { return mock.requests("count") >= 4; }));
    EXPECT_TRUE(h.client->is_alive());
    // Beats visit the handles in turn and carry the market-0 count request.
    auto log = mock.request_log("count");
    EXPECT_NE(log[0]["conn"], log[1]["conn"]);
    EXPECT_EQ(hex(log[0]["raw"].get<std::string>()), hex("0c 0c 18 6c 00 01 08 00 08 00 4e 04 00 00 75 c7 33 01"));
    ASSERT_TRUE(h.rt.block_on(h.client->disconnect()).ok());
    const int beats = mock.requests("count");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(mock.requests("count"), beats);
    EXPECT_FALSE(h.client->is_alive());
}

TEST(AsyncHeartbeat, SilentServerClearsAliveAndNothingReconnects) {
    MockServer mock;
    AsyncClientSeams seams = beat_seams();
    seams.heartbeat_timeout = std::chrono::milliseconds(100);
    AsyncHarness h(1, seams);
    ASSERT_TRUE(h.connect(mock.port(), 2.0).ok());
    mock.set_fault({{"action", "stall"}, {"cmd", "count"}});
    EXPECT_TRUE(eventually([&] { return !h.client->is_alive(); }));
    EXPECT_EQ(h.connections(), 1u);
    EXPECT_EQ(mock.accepted(), 1);
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
