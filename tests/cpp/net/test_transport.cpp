// The blocking transport, the pool, the request path's faults and retries, the direct client, probing.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

#include "client_fixture.hpp"
#include "net/direct_client.hpp"
#include "net/probe.hpp"
#include "protocol/handshake.hpp"
#include "protocol/packet.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using namespace std::chrono_literals;

// A refused port; a bad time-out, negative or NaN refused before dialing (the closed port would
// refuse), zero where the socket refuses it; a full accept queue, within the time-out.
TEST(TcpConnection, ConnectFailures) {
    auto dial = [](uint16_t port, double t) { return outcome(TcpConnection::connect("127.0.0.1", port, t)); };
    const uint16_t closed = TcpPeer::closed_port();
    const std::string failed = "Connection error: Failed to connect to 127.0.0.1:", at_closed = failed + std::to_string(closed) + ": ";
    EXPECT_EQ(dial(closed, 1.0), at_closed + errno_text(ECONNREFUSED));
    for (double t : {-1.0, std::nan("")}) EXPECT_EQ(dial(closed, t).rfind(at_closed + "invalid timeout", 0), 0u);
    uint16_t port;
    const int fd = listener(0, port);  // never accepting
    EXPECT_EQ(dial(port, 0.0), "Connection error: set_read_timeout: cannot set a 0 duration timeout");
    std::vector<TcpConnection> fillers;
    for (int i = 0; i < 4; ++i)
        if (auto c = TcpConnection::connect("127.0.0.1", port, 0.05)) fillers.push_back(std::move(*c));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dial(port, 0.3).rfind(failed, 0), 0u);
    EXPECT_LT(seconds_since(t0), 3.0);
    ::close(fd);
}

// A byte every 0.3 s keeps each read inside its 0.5 s time-out, yet the exchange ends at its
// deadline as an expired read: a setup packet's, then a pooled request's.
TEST(TcpConnection, ExchangeEndsAtItsDeadline) {
    std::vector<uint8_t> reply(20, 0);  // 4 body bytes: 6 s in all
    reply[12] = reply[14] = 4;
    for (bool handshaken : {false, true}) {
        TcpPeer peer(std::vector<uint8_t>(handshaken ? 3 * 16 : 0, 0), reply, 300ms);  // three empty replies
        TdxHqClient client(loopback_seams({loopback("p", peer.port())}, {}, 10s, 0.5));
        client.set_auto_retry(false);
        const auto t0 = std::chrono::steady_clock::now();
        std::string got;
        if (handshaken) got = outcome(client.send_and_recv(build_security_count_packet(0)));
        else if (auto c = TcpConnection::connect("127.0.0.1", peer.port(), 0.5)) got = outcome(perform_handshake(*c));
        EXPECT_EQ(got, "Connection error: recv failed: " + errno_text(EAGAIN)) << handshaken;
        EXPECT_LT(seconds_since(t0), 3.0) << handshaken;
    }
}

// Counts stay true through exhaustion (coded 2006), close_all with a connection handed out, and
// failed connects or hooks, which would otherwise use up the pool for good.
TEST(Pool, AccountingThroughFailuresAndClosing) {
    TcpPeer peer;
    auto stats = [](const ConnectionPool& p) { return std::vector<size_t>{p.stats().idle, p.stats().active, p.stats().total}; };
    auto pool = ConnectionPool::create(5, 2.0, nullptr);
    std::vector<PooledConnGuard> held;
    for (int i = 0; i < 5; ++i) held.push_back(pool->checkout("127.0.0.1", peer.port()).value());
    LogCapture log(1);
    EXPECT_EQ(outcome(pool->checkout("127.0.0.1", peer.port())), "[E2006] connection pool exhausted: active=5, max=5");
    EXPECT_EQ(log.take(), "[E] pool  exhausted (active=5, max=5)\n");
    while (held.size() > 1) held.pop_back();
    pool->close_all();
    EXPECT_EQ(stats(*pool), (std::vector<size_t>{0, 0, 1}));
    held.clear();  // given back after all
    EXPECT_EQ(stats(*pool), (std::vector<size_t>{1, 0, 1}));
    pool->close_all();
    auto hooked = ConnectionPool::create(5, 2.0, [](TcpConnection&) -> Status { return TdxError::disconnected(); });
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(pool->checkout("127.0.0.1", TcpPeer::closed_port()).ok());
        EXPECT_EQ(outcome(hooked->checkout("127.0.0.1", peer.port())), "Server disconnected");
    }
    for (const auto* p : {pool.get(), hooked.get()}) EXPECT_EQ(stats(*p), (std::vector<size_t>{0, 0, 0}));
}

class Loopback : public SharedMock<3> {};

// Each fault fails only its request (retries off): its connection is not kept and the next
// request gets its own reply. A never-connected client dials primary row 0, then reuses it.
TEST_F(Loopback, EachTransportFaultFailsOnlyItsRequest) {
    const Bytes market0 = build_security_count_packet(0), market1 = build_security_count_packet(1);
    struct Case { const char* name; nlohmann::json fault; std::string error; };  // error "": a reset or a close
    const Case cases[] = {
        {"stall, then a late reply", {{"action", "delay"}, {"seconds", 0.8}}, "Connection error: recv failed: " + errno_text(EAGAIN)},
        {"closed inside the header", {{"action", "close"}, {"when", "inside_header"}}, "Server disconnected"},
        {"truncated inside the body", {{"action", "close"}, {"when", "inside_body"}}, "Server disconnected"},
        {"corrupt body", {{"action", "corrupt_zlib"}}, "[E2102] zlib decompress failed: invalid block type"},
        {"wrong length", {{"action", "zero_body"}}, "[E2003] server disconnected: empty response body"},
        {"duplicated reply", {{"action", "twice"}}, "ok"},
        {"refused", {{"action", "refuse"}, {"cmd", "accept"}}, ""},
    };
    TdxHqClient client(loopback_seams({loopback("a", mock.port(0)), loopback("b", mock.port(1))}, {}, 10s, 0.5));
    client.set_auto_retry(false);
    const auto want = client.send_and_recv(market1);
    ASSERT_TRUE(want.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client.disconnect();
        nlohmann::json fault = {{"cmd", "count"}, {"nth", 1}};
        fault.update(c.fault);
        mock.set_fault(fault);
        const std::string got = outcome(client.send_and_recv(market0));
        EXPECT_TRUE(c.error.empty() ? got != "ok" : got == c.error) << got;
        EXPECT_EQ(client.pool_stats().total, 0u);
        auto next = client.send_and_recv(market1);
        ASSERT_TRUE(next.ok()) << next.error().display();
        EXPECT_EQ(*next, *want);
        mock.reset();
    }
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(client.send_and_recv(market1).ok());
    EXPECT_EQ(mock.accepted(), 0);
    EXPECT_EQ(mock.requests("count", 0), 2);
    EXPECT_FALSE(client.is_connected());
}

// Five attempts 0.1, 0.5, 1 and 2 s apart, each failed one closing its connection, then coded
// 2005; a client that lost its connection reconnects before the retry.
TEST_F(Loopback, RetriesFollowTheScheduleAndReconnectFirst) {
    TdxHqClient client(loopback_seams({loopback("a", mock.port(0))}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, false).ok());
    mock.set_fault({{"action", "zero_body"}, {"cmd", "count"}});
    LogCapture logs(2);
    EXPECT_EQ(outcome(client.send_and_recv(build_security_count_packet(0))), "[E2005] retry exhausted: 5 attempts");
    EXPECT_EQ(logs.take(),
              "[W] hq  request failed, retry 1/4 in 0.1s\n[W] hq  request failed, retry 2/4 in 0.5s\n"
              "[W] hq  request failed, retry 3/4 in 1.0s\n[W] hq  request failed, retry 4/4 in 2.0s\n"
              "[E] hq  retry exhausted after 5 attempts\n");
    auto log = mock.request_log("count");
    ASSERT_EQ(log.size(), 5u);
    const double delays[] = {0.1, 0.5, 1.0, 2.0};
    for (int i = 0; i < 4; ++i) EXPECT_GE(log[i + 1]["mono"].get<double>() - log[i]["mono"].get<double>(), delays[i] - 0.01);
    EXPECT_EQ(mock.handshakes(), 1 + 4);
    EXPECT_TRUE(client.is_connected());

    mock.reset();
    client.add_server("b", "127.0.0.1", mock.port(1));
    client.disconnect();  // not connected, current server kept
    mock.listen(0, false);
    LogCapture info(3);
    EXPECT_EQ(outcome(client.send_and_recv(build_security_count_packet(0))), "ok");
    EXPECT_EQ(info.take(), "[W] hq  request failed, retry 1/4 in 0.1s\n[W] hq  connection lost, attempting reconnect...\n"
                           "[I] hq  connected to 127.0.0.1:" + std::to_string(mock.port(1)) + "\n");
    EXPECT_EQ(mock.requests("count", 1), 1);
}

// The direct client opens, handshakes and closes a connection per request; with fq its context
// pages start just past the window, and with no bars the events are asked still.
TEST_F(Loopback, DirectClientConnectsPerRequest) {
    TdxDirectClient direct("127.0.0.1", mock.port(), 2.0);
    ASSERT_EQ(outcome(direct.get_security_bars(4, 1, "600036", 0, 10, 2)), "ok");
    EXPECT_EQ(starts(mock), (std::vector<int>{0, 10, 810}));
    EXPECT_EQ(mock.accepted(), 4);
    EXPECT_EQ(mock.handshakes(), 4);
    auto none = direct.get_security_bars(4, 1, "999999", 0, 10, 1);
    EXPECT_TRUE(none.ok() && none->empty());
    EXPECT_EQ(mock.requests("xdxr"), 2);
    EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
}

// Each answering server is timed on two connections of its own (the count request of Shanghai on
// each), fastest first; refused servers and those failing either connection are left out.
TEST_F(Loopback, ProbeListsAnsweringServersFastestFirst) {
    mock.listen(1, false);
    mock.set_fault({{"action", "delay"}, {"cmd", "count"}, {"server", 0}, {"seconds", 0.2}, {"nth", 2}});
    mock.set_fault({{"action", "refuse"}, {"cmd", "accept"}, {"server", 2}, {"nth", 2}});
    const std::vector<ServerEntry> rows = {loopback("slow", mock.port(0)), loopback("off", mock.port(1)),
                                           loopback("once", mock.port(2)), loopback("ok", mock.port(2))};
    auto found = probe_servers(rows, 2.0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name + " " + found[1].name, "ok slow");
    EXPECT_GE(found[1].api_ms, 200.0);  // timed on the second connection only
    EXPECT_EQ(mock.accepted(0), 2);
    EXPECT_EQ(mock.requests("count", 0), 2);
    EXPECT_EQ(mock.request_log("count")[0]["args"]["market"], 1);
    EXPECT_TRUE(probe_servers({loopback("ok", mock.port(0))}, 0.0).empty());
}
