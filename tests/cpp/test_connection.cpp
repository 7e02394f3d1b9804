#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "client_fixture.hpp"
#include "net/connection.hpp"
#include "net/direct_client.hpp"
#include "net/handshake.hpp"
#include "net/packet.hpp"
#include "net/response.hpp"
#include "tcp_peer.hpp"

using namespace quotix;
using namespace quotix::net;
using quotix::testing::TcpPeer;
using Clock = std::chrono::steady_clock;

namespace {
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
template <class T>
Status status_of(Result<T> r) {
    if (r) return ok_status();
    return std::move(r).error();
}
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
    auto r = c->recv(2, c->exchange_deadline());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, (std::vector<uint8_t>{9, 8}));
    r = c->recv(3, c->exchange_deadline());
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
    auto r = c->recv(16, c->exchange_deadline());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
    // recv(0) never touches the socket.
    auto empty = c->recv(0, c->exchange_deadline());
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

// A silent peer, and one that trickles a byte every 0.3 s so that every single read gets its
// byte in time: either way an exchange ends at its deadline (the 0.5 s read time-out) with the
// error of an expired read time-out, whoever runs it, and a pooled connection is not kept.
TEST(TcpConnection, ExchangeEndsAtItsDeadline) {
    using namespace std::chrono_literals;
    using namespace quotix::testing;
    const std::vector<uint8_t> setup_replies(3 * 16, 0);  // three empty replies
    std::vector<uint8_t> reply(20, 0);                     // 4 body bytes: 6 s in all
    reply[12] = reply[14] = 4;
    const auto packet = build_security_count_packet(0);
    auto on_connection = [](uint16_t port, auto use) -> Status {
        auto c = TcpConnection::connect("127.0.0.1", port, 0.5);
        if (!c) return std::move(c).error();
        return use(*c);
    };
    struct Case {
        const char* name;
        bool trickle, handshaken;
        std::function<Status(uint16_t)> run;
    };
    const Case cases[] = {
        {"silent reply", false, false, [&](uint16_t port) {
             return on_connection(port, [](TcpConnection& c) { return status_of(read_response(c, c.exchange_deadline())); });
         }},
        {"handshake", true, false, [&](uint16_t port) { return on_connection(port, perform_handshake); }},
        {"pooled request", true, true, [&](uint16_t port) {
             TdxHqClient client(loopback_seams({loopback("p", port)}));
             client.set_auto_retry(false);
             auto st = status_of(client.send_and_recv(packet));
             EXPECT_EQ(client.pool_stats().total, 0u);
             return st;
         }},
        {"direct request", true, true,
         [&](uint16_t port) { return status_of(TdxDirectClient("127.0.0.1", port, 0.5).send_and_recv(packet)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpPeer peer;
        if (c.trickle) peer.script(c.handshaken ? setup_replies : std::vector<uint8_t>{}, reply, 300ms);
        auto t0 = Clock::now();
        Status st = c.run(peer.port());
        EXPECT_LT(since(t0), 3.0);
        EXPECT_EQ(st.ok() ? "ok" : st.error().display(), "Connection error: recv failed: " + errno_text(EAGAIN));
    }

    // The heartbeat's beat: the client learns of the failure within the deadline, and
    // disconnect, which waits for the beat, is not held by the trickle either.
    TcpPeer peer;
    peer.script(setup_replies, reply, 300ms);
    TdxHqClient client(loopback_seams({loopback("p", peer.port())}, {}, 100ms));
    LogCapture quiet(0);
    ASSERT_TRUE(client.connect("127.0.0.1", peer.port(), 0.5).ok());
    auto t0 = Clock::now();
    EXPECT_TRUE(eventually([&] { return !client.is_connected(); }, 3000ms));
    client.disconnect();
    EXPECT_LT(since(t0), 3.0);
}
