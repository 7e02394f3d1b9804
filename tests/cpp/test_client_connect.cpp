#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client_fixture.hpp"
#include "net/packet.hpp"
#include "tcp_peer.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;

class Connect : public quotix::testing::SharedMock<3> {};

TEST_F(Connect, NewClientStateAndDefaultsThenConnectInternalInstallsTheServer) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({}));
    EXPECT_FALSE(client.is_connected());
    EXPECT_FALSE(client.current_server().has_value());
    auto s = client.pool_stats();
    EXPECT_EQ(s.idle + s.active + s.total, 0u);
    EXPECT_EQ(s.max_size, 5u);
    EXPECT_EQ(client.rate_limiter().interval(), std::chrono::milliseconds(20));
    EXPECT_EQ(client.daily_rate_limiter().interval(), std::chrono::milliseconds(67));
    EXPECT_EQ(client.minute_rate_limiter().interval(), std::chrono::milliseconds(100));
    EXPECT_EQ(client.connect_timeout(), 5.0);
    EXPECT_EQ(client.cache_ttl(), std::chrono::seconds(30));
    EXPECT_TRUE(client.auto_retry());
    EXPECT_EQ(client.fq_context_tier(), FQ_CONTEXT_MID);

    LogCapture logs(3);
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    EXPECT_EQ(logs.take(), "[I] hq  connected to 127.0.0.1:" + std::to_string(mock.port()) + "\n");
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port()));
    s = client.pool_stats();
    EXPECT_EQ(s.idle, 1u);
    EXPECT_EQ(s.total, 1u);
    EXPECT_EQ(mock.handshakes(), 1);
    EXPECT_FALSE(client.heartbeat_running());

    // A huge time-to-live is saturated, not wrapped into the past.
    client.set_cache_ttl(std::numeric_limits<uint64_t>::max());
    EXPECT_GT(client.cache_expiry_from_now(), std::chrono::steady_clock::now());
}

TEST_F(Connect, FailedHandshakeChangesNothing) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, true).ok());
    mock.set_fault({{"action", "fail_handshake"}, {"server", 1}});
    auto st = client.connect_internal("127.0.0.1", mock.port(1), 1.0, true);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), TdxError::Kind::Disconnected);
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(0)));
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.pool_stats().idle, 1u);
    EXPECT_TRUE(client.heartbeat_running());
    client.disconnect();
}

TEST_F(Connect, BadTimeoutsAreRefusedBeforeDialing) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({}));
    for (double t : {-1.0, std::nan("")}) {
        auto st = client.connect_internal("127.0.0.1", mock.port(), t, true);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().kind(), TdxError::Kind::Connection);
    }
    client.set_connect_timeout(-5.0);
    EXPECT_FALSE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    EXPECT_EQ(mock.accepted(), 0);
    EXPECT_FALSE(client.heartbeat_running());
    // An infinite time-out is held at a very long one and works.
    EXPECT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::numeric_limits<double>::infinity(), false).ok());
}

TEST_F(Connect, ConnectToAnyWalksUserThenPrimaryThenAllKnown) {
    MockServer& mock = *mock_;
    const uint16_t closed = TcpPeer::closed_port();
    TdxHqClient client(loopback_seams({loopback("p0", closed), loopback("p1", mock.port(1))},
                                      {loopback("a0", mock.port(2))}));
    client.add_server("u", "127.0.0.1", closed);
    ASSERT_TRUE(client.connect_to_any(1.0).ok());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(1)));
    EXPECT_FALSE(client.heartbeat_running());

    // The user list comes before the tables.
    TdxHqClient second(loopback_seams({loopback("p1", mock.port(1))}, {}));
    second.add_server("u", "127.0.0.1", mock.port(0));
    ASSERT_TRUE(second.connect_to_any(1.0).ok());
    EXPECT_EQ(second.current_server(), ServerAddr("127.0.0.1", mock.port(0)));

    // The full table after the primary one.
    TdxHqClient third(loopback_seams({loopback("p0", closed)}, {loopback("a0", closed), loopback("a1", mock.port(2))}));
    ASSERT_TRUE(third.connect_to_any(1.0).ok());
    EXPECT_EQ(third.current_server(), ServerAddr("127.0.0.1", mock.port(2)));
}

TEST_F(Connect, ConnectToAnySkipsBlockedServersAndEveryOneBlockedIs2001WithoutDialing) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("a", mock.port(0)), loopback("b", mock.port(1))},
                                      {loopback("a", mock.port(0))}));
    client.add_server("u", "127.0.0.1", mock.port(0));
    client.block_server("127.0.0.1", mock.port(0));
    ASSERT_TRUE(client.connect_to_any(1.0).ok());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(1)));
    EXPECT_EQ(mock.accepted(0), 0);

    client.disconnect();
    client.block_server("127.0.0.1", mock.port(1));
    LogCapture logs(2);
    auto st = client.connect_to_any(1.0);
    EXPECT_EQ(logs.take(), "[E] hq  all servers unreachable (tried user/primary/all_known lists)\n");
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().display(), "[E2001] connection failed: all servers unreachable");
    EXPECT_EQ(mock.accepted(0), 0);
    EXPECT_EQ(mock.accepted(1), 1);
}

TEST_F(Connect, ConnectToAnyKeepsAConnectionAndAfterDisconnectTriesTheFormerServerFirst) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("b", mock.port(1))}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, false).ok());
    client.block_server("127.0.0.1", mock.port(0));
    ASSERT_TRUE(client.connect_to_any().ok());  // connected: nothing to do
    EXPECT_EQ(mock.accepted(0), 1);
    client.unblock_server("127.0.0.1", mock.port(0));
    client.disconnect();
    EXPECT_FALSE(client.is_connected());
    ASSERT_TRUE(client.connect_to_any(1.0).ok());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(0)));
    EXPECT_EQ(mock.accepted(1), 0);
}

TEST_F(Connect, ReconnectToAnotherServerSkipsCurrentAndBlocked) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams(
        {loopback("a", mock.port(0)), loopback("b", mock.port(1)), loopback("c", mock.port(2))}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, false).ok());
    client.block_server("127.0.0.1", mock.port(1));
    LogCapture logs(3);
    client.reconnect_to_another_server();
    const std::string p2 = std::to_string(mock.port(2));
    EXPECT_EQ(logs.take(), "[I] hq  connected to 127.0.0.1:" + p2 + "\n[I] hq  switched to server 127.0.0.1:" + p2 + "\n");
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(2)));
    EXPECT_EQ(mock.accepted(1), 0);

    // Now only the blocked server and the current one remain.
    client.block_server("127.0.0.1", mock.port(0));
    LogCapture warn(2);
    client.reconnect_to_another_server();
    EXPECT_EQ(warn.take(), "[W] hq  no alternative server available\n");
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(2)));
    EXPECT_TRUE(client.is_connected());
}

TEST_F(Connect, ServerAndBlockLists) {
    TdxHqClient client(loopback_seams({}));
    client.add_server("a", "1.1.1.1", 7709);
    client.add_server("b", "2.2.2.2", 7709);
    auto s = client.servers();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].name, "b");
    EXPECT_EQ(s[1].name, "a");

    LogCapture logs(3);
    client.block_server("1.1.1.1", 7709);
    client.block_server("1.1.1.1", 7709);
    client.block_server("1.1.1.1", 7710);
    EXPECT_TRUE(client.is_server_blocked("1.1.1.1", 7709));
    EXPECT_FALSE(client.is_server_blocked(" 1.1.1.1", 7709));
    client.unblock_server("1.1.1.1", 7710);
    client.unblock_server("9.9.9.9", 1);
    EXPECT_EQ(client.blocked_servers(), (std::vector<ServerAddr>{{"1.1.1.1", 7709}}));
    client.clear_blocked_servers();
    EXPECT_TRUE(client.blocked_servers().empty());
    EXPECT_EQ(logs.take(),
              "[I] hq  server 1.1.1.1:7709 added to blacklist\n"
              "[I] hq  server 1.1.1.1:7710 added to blacklist\n"
              "[I] hq  server 1.1.1.1:7710 removed from blacklist\n"
              "[I] hq  server 9.9.9.9:1 removed from blacklist\n"
              "[I] hq  server blacklist cleared\n");
}
