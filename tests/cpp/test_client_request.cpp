#include <gtest/gtest.h>

#include "client_fixture.hpp"
#include "net/packet.hpp"
#include "tcp_peer.hpp"

#include <thread>

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;
using Clock = std::chrono::steady_clock;

namespace {

uint16_t le16(const Bytes& b) { return static_cast<uint16_t>(b.at(0) | (b.at(1) << 8)); }

// The arrival times (monotonic, seconds) of the logged requests of one kind.
std::vector<double> arrival_times(MockServer& mock, const std::string& cmd) {
    std::vector<double> out;
    for (auto& e : mock.request_log(cmd)) out.push_back(e["mono"].get<double>());
    return out;
}

}  // namespace

class RequestPath : public quotix::testing::SharedMock<2> {};

// A never-connected client dials primary row 0 without becoming connected, and the pooled
// connection serves the following requests.
TEST_F(RequestPath, NeverConnectedClientDialsPrimaryRowZeroAndReusesThePool) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("first", mock.port(0)), loopback("second", mock.port(1))}));
    auto body = client.send_and_recv(build_security_count_packet(0));
    ASSERT_TRUE(body.ok()) << body.error().display();
    EXPECT_GE(body->size(), 2u);
    EXPECT_FALSE(client.is_connected());
    EXPECT_FALSE(client.current_server().has_value());
    auto stats = client.pool_stats();
    EXPECT_EQ(stats.idle, 1u);
    EXPECT_EQ(stats.total, 1u);
    EXPECT_EQ(stats.active, 0u);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(client.send_and_recv(build_security_count_packet(1)).ok());
    EXPECT_EQ(mock.accepted(0), 1);
    EXPECT_EQ(mock.handshakes(0), 1);
    EXPECT_EQ(mock.accepted(1), 0);
    auto log = mock.request_log("count");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["conn"], log[2]["conn"]);
}

TEST_F(RequestPath, NoRetryWhenAutoRetryIsOff) {
    const uint16_t closed = TcpPeer::closed_port();
    TdxHqClient client(loopback_seams({loopback("gone", closed)}));
    client.set_auto_retry(false);
    LogCapture logs(4);
    auto r = client.send_and_recv(build_security_count_packet(0));
    const std::string out = logs.take();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Connection);
    EXPECT_EQ(r.error().text().rfind("Failed to connect to 127.0.0.1:" + std::to_string(closed) + ": ", 0), 0u);
    EXPECT_EQ(out, "");
}

// Without retry a bad reply is returned as it is: an empty body or corrupt zlib.
TEST_F(RequestPath, BadRepliesWithoutRetry) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    client.set_auto_retry(false);
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    mock.set_fault({{"action", "zero_body"}, {"cmd", "count"}, {"nth", 1}});
    auto empty = client.send_and_recv(build_security_count_packet(0));
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().display(), "[E2003] server disconnected: empty response body");
    mock.clear_faults();
    mock.set_fault({{"action", "corrupt_zlib"}, {"cmd", "count"}, {"nth", 1}});
    auto corrupt = client.send_and_recv(build_security_count_packet(0));
    ASSERT_FALSE(corrupt.ok());
    EXPECT_TRUE(corrupt.error().is_coded(2102)) << corrupt.error().display();
}

// Both clients pay the whole retry schedule, so they run side by side: one stays connected to a
// server whose replies are all empty (every attempt on that server, no reconnect), the other has
// no reachable server at all (a reconnect before each retry).
TEST_F(RequestPath, RetryScheduleOnTheSameServerAndWithEveryServerUnreachable) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    mock.set_fault({{"action", "zero_body"}, {"cmd", "count"}});
    const uint16_t closed = TcpPeer::closed_port();
    TdxHqClient lost(loopback_seams({loopback("p", closed)}, {loopback("a", closed)}));

    LogCapture logs(2);
    Result<Bytes> lost_r = TdxError::disconnected();
    double lost_took = 0;
    std::thread other([&] {
        auto t0 = Clock::now();
        lost_r = lost.send_and_recv(build_security_count_packet(0));
        lost_took = seconds_since(t0);
    });
    auto r = client.send_and_recv(build_security_count_packet(0));
    other.join();
    const std::string out = logs.take();

    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "[E2005] retry exhausted: 5 attempts");
    auto times = arrival_times(mock, "count");
    ASSERT_EQ(times.size(), 5u);
    const double delays[] = {0.1, 0.5, 1.0, 2.0};
    for (int i = 0; i < 4; ++i) EXPECT_GE(times[i + 1] - times[i], delays[i] - 0.01) << i;
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(mock.handshakes(), 1 + 4);  // each failed exchange closes its connection

    ASSERT_FALSE(lost_r.ok());
    EXPECT_TRUE(lost_r.error().is_coded(2005));
    EXPECT_EQ(lost_r.error().coded_error().message, "5 attempts");
    EXPECT_GE(lost_took, 3.6 - 0.05);
    EXPECT_FALSE(lost.is_connected());

    // Each client logs the four retries and the exhaustion; only the lost one reconnects.
    for (const char* line : {"[W] hq  request failed, retry 1/4 in 0.1s\n", "[W] hq  request failed, retry 2/4 in 0.5s\n",
                             "[W] hq  request failed, retry 3/4 in 1.0s\n", "[W] hq  request failed, retry 4/4 in 2.0s\n",
                             "[E] hq  retry exhausted after 5 attempts\n"})
        EXPECT_EQ(count_of(out, line), 2u) << line;
    EXPECT_EQ(count_of(out, "[W] hq  connection lost, attempting reconnect...\n"), 4u);
    EXPECT_EQ(count_of(out, "[E] hq  reconnect failed, all servers unreachable\n"), 4u);
    EXPECT_EQ(count_of(out, "\n"), 2u * 5 + 4 + 4);
}

TEST_F(RequestPath, ReconnectsBeforeRetryWhenNotConnected) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("a", mock.port(0))}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, false).ok());
    client.add_server("b", "127.0.0.1", mock.port(1));
    client.disconnect();  // not connected, current server kept
    mock.listen(0, false);

    LogCapture logs(3);
    auto r = client.send_and_recv(build_security_count_packet(0));
    const std::string out = logs.take();
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(1)));
    EXPECT_EQ(out,
              "[W] hq  request failed, retry 1/4 in 0.1s\n"
              "[W] hq  connection lost, attempting reconnect...\n"
              "[I] hq  connected to 127.0.0.1:" + std::to_string(mock.port(1)) + "\n");
    EXPECT_EQ(mock.requests("count", 1), 1);
}

TEST_F(RequestPath, LateReplyIsNeverTakenForTheNextAnswer) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    client.set_auto_retry(false);
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), 0.5, false).ok());
    auto fresh = client.send_and_recv(build_security_count_packet(1));
    ASSERT_TRUE(fresh.ok());
    auto other = client.send_and_recv(build_security_count_packet(0));
    ASSERT_TRUE(other.ok());
    ASSERT_NE(le16(*fresh), le16(*other)) << "the two markets must differ for this test";

    // Market 0's reply comes after the 0.5 s read time-out has given up on it.
    mock.set_fault({{"action", "delay"}, {"cmd", "count"}, {"seconds", 0.8}, {"nth", 1}});
    auto timed_out = client.send_and_recv(build_security_count_packet(0));
    ASSERT_FALSE(timed_out.ok());
    EXPECT_EQ(timed_out.error().text().rfind("recv failed: ", 0), 0u) << timed_out.error().display();
    EXPECT_EQ(client.pool_stats().total, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the late reply is now sent

    auto next = client.send_and_recv(build_security_count_packet(1));
    ASSERT_TRUE(next.ok()) << next.error().display();
    EXPECT_EQ(*next, *fresh);
}

TEST_F(RequestPath, SurplusReplyBytesRetireTheConnection) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    client.set_auto_retry(false);
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    auto expected = client.send_and_recv(build_security_count_packet(1));
    ASSERT_TRUE(expected.ok());
    // The server answers market 0 twice; the second copy must not answer the next request.
    mock.set_fault({{"action", "twice"}, {"cmd", "count"}, {"nth", 1}});
    auto first = client.send_and_recv(build_security_count_packet(0));
    ASSERT_TRUE(first.ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto next = client.send_and_recv(build_security_count_packet(1));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(*next, *expected);
    EXPECT_EQ(mock.accepted(), 2);
}

TEST_F(RequestPath, CompressedAndPlainRepliesAreReturnedInflated) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    auto packet = build_security_list_packet(0, 0);
    mock.set_compress("never");
    auto plain = client.send_and_recv(packet);
    mock.set_compress("always");
    auto inflated = client.send_and_recv(packet);
    ASSERT_TRUE(plain.ok() && inflated.ok());
    EXPECT_EQ(*plain, *inflated);
}

TEST_F(RequestPath, FailedHandshakeOfANewPooledConnection) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    client.set_auto_retry(false);
    mock.set_fault({{"action", "fail_handshake"}, {"nth", 1}});
    auto r = client.send_and_recv(build_security_count_packet(0));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
    auto s = client.pool_stats();
    EXPECT_EQ(s.total, 0u);
    EXPECT_EQ(s.active, 0u);
    // The next request opens a fresh connection and goes through.
    EXPECT_TRUE(client.send_and_recv(build_security_count_packet(0)).ok());
}

TEST_F(RequestPath, FirstRetrySucceeds) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("m", mock.port())}));
    ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(), std::nullopt, false).ok());
    auto expected = client.send_and_recv(build_security_count_packet(0));
    ASSERT_TRUE(expected.ok());
    mock.set_fault({{"action", "close"}, {"when", "inside_body"}, {"cmd", "count"}, {"nth", 1}});
    LogCapture logs(2);
    auto r = client.send_and_recv(build_security_count_packet(0));
    EXPECT_EQ(logs.take(), "[W] hq  request failed, retry 1/4 in 0.1s\n");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, *expected);
    auto times = arrival_times(mock, "count");
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times[2] - times[1], 0.099);
}
