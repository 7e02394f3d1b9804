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
// refuse), zero where the socket refuses it; a full accept queue, within the time-out however
// often signals interrupt the wait; no descriptor left for the socket, or for the name lookup.
TEST(TcpConnection, ConnectFailures) {
    auto dial = [](uint16_t port, double t, const char* host = "127.0.0.1") {
        return outcome(TcpConnection::connect(host, port, t));
    };
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
    std::string full;
    {
        Interrupter signals;
        full = dial(port, 0.3);
    }
    EXPECT_EQ(full, failed + std::to_string(port) + ": " + errno_text(ETIMEDOUT));
    EXPECT_LT(seconds_since(t0), 3.0);
    ::close(fd);
    std::string numeric, named;
    {
        NoFreeDescriptors none;
        numeric = dial(closed, 1.0);
        named = dial(closed, 1.0, "localhost");
    }
    EXPECT_EQ(numeric, at_closed + errno_text(EMFILE));
    const std::string lookup = "Connection error: Failed to connect to localhost:" + std::to_string(closed) +
                               ": failed to lookup address information: ";
    EXPECT_EQ(named.substr(0, lookup.size()), lookup) << named;
}

// A failed write or read leaves the connection unfit for another exchange: a write on a shut
// socket, or one the peer never drains (signals repeat it until its time-out); a read ended by the
// peer's reset or by a signal. An empty send or read touches nothing, failed or not.
TEST(TcpConnection, FailedSendOrReceiveEndsReuse) {
    const std::vector<uint8_t> big(8 << 20, 0);
    const auto far = std::chrono::steady_clock::now() + 10s;
    struct Case { const char* name; std::function<std::string(ConnectedPair&)> op; std::string error; };
    const Case cases[] = {
        {"write side shut", [](ConnectedPair& p) { ::shutdown(p.conn->fd(), SHUT_WR); return outcome(p.conn->send(std::vector<uint8_t>(8, 1))); },
         "Connection error: send failed: " + errno_text(EPIPE)},
        {"never drained", [&](ConnectedPair& p) { Interrupter signals(5ms, 20); return outcome(p.conn->send(big)); },
         "Connection error: send failed: " + errno_text(EAGAIN)},
        {"reset by the peer", [&](ConnectedPair& p) { p.reset_peer(); return outcome(p.conn->recv(16, far)); },
         "Connection error: recv failed: " + errno_text(ECONNRESET)},
        {"interrupted read", [&](ConnectedPair& p) { Interrupter signals; return outcome(p.conn->recv(16, far)); },
         "Connection error: recv failed: " + errno_text(EINTR)},
    };
    for (const Case& c : cases) {
        ConnectedPair pair(0.3);
        ASSERT_TRUE(pair.conn->is_reusable()) << c.name;
        EXPECT_EQ(c.op(pair), c.error) << c.name;
        EXPECT_FALSE(pair.conn->is_reusable()) << c.name;
        EXPECT_TRUE(pair.conn->send({}).ok() && pair.conn->recv(0, far).ok()) << c.name;
    }
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

// Counts stay true through exhaustion (coded 2006, logged unless the caller is the heartbeat),
// close_all with a connection handed out, a connection given back to a full idle list or after its
// peer's reset (closed, not kept), and failed connects or hooks, which would otherwise use up the
// pool for good.
TEST(Pool, AccountingThroughFailuresAndClosing) {
    TcpPeer peer;
    auto stats = [](const ConnectionPool& p) { return std::vector<size_t>{p.stats().idle, p.stats().active, p.stats().total}; };
    auto pool = ConnectionPool::create(5, 2.0, nullptr);
    std::vector<PooledConnGuard> held;
    for (int i = 0; i < 5; ++i) held.push_back(pool->checkout("127.0.0.1", peer.port()).value());
    LogCapture log(1);
    const std::string exhausted = "[E2006] connection pool exhausted: active=5, max=5";
    EXPECT_EQ(outcome(pool->checkout("127.0.0.1", peer.port())), exhausted);
    CheckoutTrace trace;
    EXPECT_EQ(outcome(pool->checkout("127.0.0.1", peer.port(), &trace)), exhausted);
    EXPECT_TRUE(trace.exhausted);
    EXPECT_EQ(log.take(), "[E] pool  exhausted (active=5, max=5)\n");
    {
        LogCapture off(0);
        EXPECT_EQ(outcome(pool->checkout("127.0.0.1", peer.port())), exhausted);
        EXPECT_EQ(off.take(), "");
    }
    while (held.size() > 1) held.pop_back();
    pool->close_all();
    EXPECT_EQ(stats(*pool), (std::vector<size_t>{0, 0, 1}));
    for (int i = 0; i < 5; ++i) pool->push(TcpConnection::connect("127.0.0.1", peer.port(), 2.0).value(), "127.0.0.1", peer.port());
    held.clear();  // given back to a full idle list
    EXPECT_EQ(stats(*pool), (std::vector<size_t>{5, 0, 5}));
    pool->close_all();
    held.push_back(pool->checkout("127.0.0.1", peer.port()).value());
    held.clear();  // given back after all
    EXPECT_EQ(stats(*pool), (std::vector<size_t>{1, 0, 1}));
    pool->close_all();
    ConnectedPair pair(2.0);
    pool->push(std::move(*pair.conn), "127.0.0.1", peer.port());
    held.push_back(pool->checkout("127.0.0.1", peer.port()).value());
    pair.reset_peer();
    EXPECT_TRUE(eventually([&] { return !held[0].conn().is_reusable(); }));
    held.clear();
    EXPECT_EQ(stats(*pool), (std::vector<size_t>{0, 0, 0}));
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

// With every server down each retry walks the current server once, then the user list, the
// primary and the full table without it, in vain (logged, or silent with logging off). A current
// server that answers ends the walk at once; a client that never connected has no current server
// and walks from the user list.
TEST_F(Loopback, ReconnectBeforeEachRetryWalksEveryList) {
    auto seams = [](std::vector<ServerEntry> primary, std::vector<ServerEntry> all) {
        auto s = loopback_seams(std::move(primary), std::move(all));
        s.retry_delays = {0, 0, 0, 0};
        return s;
    };
    const ServerEntry current = loopback("cur", mock.port(0)), down = loopback("down", TcpPeer::closed_port());
    for (uint8_t level : {2, 0}) {
        TdxHqClient client(seams({current, down}, {down, current}));
        client.set_servers({current, down});
        mock.reset();
        ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, false).ok());
        client.disconnect();
        mock.reset();
        mock.set_fault({{"action", "refuse"}, {"server", 0}});
        LogCapture log(level);
        EXPECT_EQ(outcome(client.send_and_recv(build_security_count_packet(0))), "[E2005] retry exhausted: 5 attempts");
        std::string want;
        for (int n = 1; n <= 4; ++n)
            want += "[W] hq  request failed, retry " + std::to_string(n) + "/4 in 0.0s\n[W] hq  connection lost, "
                    "attempting reconnect...\n[E] hq  reconnect failed, all servers unreachable\n";
        EXPECT_EQ(log.take(), level ? want + "[E] hq  retry exhausted after 5 attempts\n" : "");
        EXPECT_EQ(mock.accepted(0), 1 + 4 * 2);  // each attempt, and the current server once per walk
    }
    // The current server answering the walk ends it there.
    TdxHqClient again(seams({down}, {}));
    mock.reset();
    ASSERT_TRUE(again.connect_internal("127.0.0.1", mock.port(1), std::nullopt, false).ok());
    again.disconnect();
    mock.set_fault({{"action", "close"}, {"cmd", "count"}, {"nth", 1}});
    {
        LogCapture quiet(0);
        EXPECT_EQ(outcome(again.send_and_recv(build_security_count_packet(0))), "ok");
    }
    EXPECT_EQ(again.current_server(), ServerAddr("127.0.0.1", mock.port(1)));
    EXPECT_EQ(mock.accepted(1), 3);  // the first connect, the failed attempt, the walk's
    mock.reset();
    TdxHqClient fresh(seams({down, loopback("b", mock.port(1))}, {}));
    fresh.add_server("c", "127.0.0.1", mock.port(2));
    LogCapture quiet(0);
    EXPECT_EQ(outcome(fresh.send_and_recv(build_security_count_packet(0))), "ok");
    EXPECT_EQ(fresh.current_server(), ServerAddr("127.0.0.1", mock.port(2)));
    EXPECT_EQ(mock.accepted(1), 0);
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

// Every failure is the call's own error, with no retry: a refused handshake, a start beyond 16 bits
// (nothing sent), a failed event request (with bars to adjust or without), an undecodable reply,
// an unreachable server (its line only when logging is on).
TEST_F(Loopback, DirectClientReturnsEachFailure) {
    TdxDirectClient direct("127.0.0.1", mock.port(), 2.0), nowhere("127.0.0.1", TcpPeer::closed_port(), 2.0);
    const std::string beyond = "[E1003] argument out of range: start=65536", gone = "Server disconnected";
    const nlohmann::json no_events = {{"action", "close"}, {"cmd", "xdxr"}};
    struct Case { nlohmann::json fault; std::function<std::string()> call; std::string outcome; int accepted; };  // "": a reset or a close
    const Case cases[] = {
        {{{"action", "refuse"}}, [&] { return outcome(direct.get_xdxr_info(0, "000001")); }, "", 1},
        {nullptr, [&] { return outcome(direct.get_security_bars(4, 1, "600000", 65536, 1, 0)); }, beyond, 0},
        {nullptr, [&] { return outcome(direct.get_index_bars_inner(4, 1, "000300", 65536, 1)); }, beyond, 0},
        {no_events, [&] { return outcome(direct.get_security_bars(4, 1, "999999", 0, 10, 1)); }, gone, 2},
        {no_events, [&] { return outcome(direct.get_security_bars(4, 1, "600036", 0, 10, 1)); }, gone, 2},
        {{{"action", "body"}, {"cmd", "xdxr"}, {"hex", "01"}}, [&] { return outcome(direct.get_security_bars(4, 1, "600036", 0, 10, 1)); },
         "[E2103] response length mismatch: ", 2},
        {{{"action", "close"}, {"cmd", "bars"}, {"nth", 2}}, [&] { return outcome(direct.get_security_bars(4, 1, "600036", 0, 10, 1)); }, gone, 3},
        {{{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}}, [&] { return outcome(direct.get_security_bars(4, 1, "600036", 0, 10, 0)); },
         "[E2103] response length mismatch: body too short", 1},
        {{{"action", "close"}, {"cmd", "minute"}}, [&] { return outcome(direct.get_history_minute_time_data(1, "600000", 20240105)); }, gone, 1},
        {{{"action", "close"}, {"cmd", "bars"}}, [&] { return outcome(direct.get_index_bars_inner(4, 1, "000300", 0, 1)); }, gone, 1},
        {nullptr, [&] { LogCapture off(0); auto r = outcome(nowhere.get_xdxr_info(0, "000001")); return off.take().empty() ? r : "logged"; },
         "Connection error: Failed to connect to 127.0.0.1:" + std::to_string(nowhere.port) + ": " + errno_text(ECONNREFUSED), 0},
    };
    for (const Case& c : cases) {
        mock.reset();
        if (!c.fault.is_null()) mock.set_fault(c.fault);
        const std::string got = c.call();
        EXPECT_TRUE(c.outcome.empty() ? got != "ok" : got.rfind(c.outcome, 0) == 0) << got;
        EXPECT_EQ(mock.accepted(), c.accepted) << c.outcome;
    }
}

// Each answering server is timed on two connections of its own (the count request of Shanghai on
// each), fastest first; refused servers and those failing any step of either connection (the
// handshake, the request, or the second connect itself) are left out.
TEST_F(Loopback, ProbeListsAnsweringServersFastestFirst) {
    mock.listen(1, false);
    mock.set_fault({{"action", "delay"}, {"cmd", "count"}, {"server", 0}, {"seconds", 0.2}, {"nth", 2}});
    // Server 2, row by row: its 2nd and 5th connections are refused, its 4th and 6th requests cut.
    for (int nth : {2, 5}) mock.set_fault({{"action", "refuse"}, {"cmd", "accept"}, {"server", 2}, {"nth", nth}});
    for (int nth : {4, 6}) mock.set_fault({{"action", "close"}, {"cmd", "count"}, {"server", 2}, {"nth", nth}});
    TcpPeer answers_once(std::vector<uint8_t>(4 * 16, 0), {}, {}, 1);  // three setup replies and one empty count
    const std::vector<ServerEntry> rows = {
        loopback("slow", mock.port(0)),     loopback("off", mock.port(1)),      loopback("second refused", mock.port(2)),
        loopback("ok", mock.port(2)),       loopback("first refused", mock.port(2)), loopback("first cut", mock.port(2)),
        loopback("second cut", mock.port(2)), loopback("second not accepted", answers_once.port())};
    auto found = probe_servers(rows, 2.0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name + " " + found[1].name, "ok slow");
    EXPECT_GE(found[1].api_ms, 200.0);  // timed on the second connection only
    EXPECT_EQ(mock.accepted(2), 8);
    EXPECT_EQ(mock.accepted(0), 2);
    EXPECT_EQ(mock.requests("count", 0), 2);
    EXPECT_EQ(mock.request_log("count")[0]["args"]["market"], 1);
    EXPECT_TRUE(probe_servers({loopback("ok", mock.port(0))}, 0.0).empty());
}
