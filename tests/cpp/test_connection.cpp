#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "net/connection.hpp"
#include "tcp_peer.hpp"

using namespace quotix;
using namespace quotix::net;
using quotix::testing::TcpPeer;
using Clock = std::chrono::steady_clock;

namespace {
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
}  // namespace

TEST(TcpConnection, RefusedPortNamesTheAddress) {
    uint16_t port = TcpPeer::closed_port();
    auto c = TcpConnection::connect("127.0.0.1", port, 1.0);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().kind(), TdxError::Kind::Connection);
    const std::string prefix = "Failed to connect to 127.0.0.1:" + std::to_string(port) + ": ";
    EXPECT_EQ(c.error().text().rfind(prefix, 0), 0u) << c.error().text();
    EXPECT_NE(c.error().text().find("(os error "), std::string::npos);
}

TEST(TcpConnection, TimeoutValues) {
    TcpPeer peer;
    // Negative and NaN are refused before dialing; huge ones are saturated.
    for (double t : {-1.0, std::nan(""), -std::numeric_limits<double>::infinity()}) {
        auto c = TcpConnection::connect("127.0.0.1", peer.port(), t);
        ASSERT_FALSE(c.ok());
        EXPECT_EQ(c.error().kind(), TdxError::Kind::Connection);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer.accepted(), 0u);
    for (double t : {1e300, std::numeric_limits<double>::infinity(), 1e-8}) {
        auto c = TcpConnection::connect("127.0.0.1", peer.port(), t);
        EXPECT_TRUE(c.ok()) << t << " " << (c.ok() ? "" : c.error().display());
    }
    auto zero = TcpConnection::connect("127.0.0.1", peer.port(), 0.0);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error().display(), "Connection error: set_read_timeout: cannot set a 0 duration timeout");
}

TEST(TcpConnection, ConnectIsBoundedByTheTimeout) {
    // A listener that never accepts, with its accept queue filled: further SYNs go unanswered.
    TcpPeer peer(true, 0);
    std::vector<TcpConnection> fillers;
    for (int i = 0; i < 4; ++i) {
        auto c = TcpConnection::connect("127.0.0.1", peer.port(), 0.1);
        if (c.ok()) fillers.push_back(std::move(*c));
    }
    auto t0 = Clock::now();
    auto c = TcpConnection::connect("127.0.0.1", peer.port(), 0.3);
    double took = since(t0);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().text().rfind("Failed to connect to 127.0.0.1:", 0), 0u) << c.error().text();
    EXPECT_LT(took, 3.0);  // bounded by the 0.3 s time-out, not the system's minutes
}

TEST(TcpConnection, SendAndRecvExact) {
    TcpPeer peer;
    auto c = TcpConnection::connect("127.0.0.1", peer.port(), 2.0);
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(peer.wait_accepted(1));
    EXPECT_TRUE(c->send({}).ok());
    EXPECT_TRUE(c->send(std::vector<uint8_t>{1, 2, 3}).ok());
    peer.send_to(0, {9, 8, 7, 6, 5});
    auto r = c->recv(2);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, (std::vector<uint8_t>{9, 8}));
    r = c->recv(3);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, (std::vector<uint8_t>{7, 6, 5}));
}

TEST(TcpConnection, PeerClosingMidReadIsDisconnected) {
    TcpPeer peer;
    auto c = TcpConnection::connect("127.0.0.1", peer.port(), 2.0);
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(peer.wait_accepted(1));
    peer.send_to(0, std::vector<uint8_t>(10, 1));
    peer.close(0);
    auto r = c->recv(16);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
    // recv(0) never touches the socket.
    auto empty = c->recv(0);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

TEST(TcpConnection, SilentPeerTimesOut) {
    TcpPeer peer;
    auto c = TcpConnection::connect("127.0.0.1", peer.port(), 0.2);
    ASSERT_TRUE(c.ok());
    auto t0 = Clock::now();
    auto r = c->recv(16);
    ASSERT_FALSE(r.ok());
    EXPECT_GE(since(t0), 0.18);
    EXPECT_EQ(r.error().text().rfind("recv failed: ", 0), 0u) << r.error().text();
}
