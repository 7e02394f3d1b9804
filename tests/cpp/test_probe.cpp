// Probing servers by response time, against loopback tables only.
#include <gtest/gtest.h>

#include <chrono>

#include "client_fixture.hpp"
#include "net/probe.hpp"
#include "tcp_peer.hpp"

using namespace quotix::net;
using quotix::test::MockServer;
using quotix::testing::TcpPeer;

namespace {

ServerEntry row(std::string name, uint16_t port) { return {std::move(name), "127.0.0.1", port}; }

}  // namespace

class Probe : public quotix::testing::SharedMock<3> {};

TEST_F(Probe, EveryAnsweringServerWithTwoConnections) {
    MockServer& mock = *mock_;
    auto results = probe_servers({row("a", mock.port(0)), row("b", mock.port(1))}, 2.0);
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results) {
        EXPECT_EQ(r.ip, "127.0.0.1");
        EXPECT_GE(r.tcp_ms, 0.0);
        EXPECT_GE(r.hs_ms, 0.0);
        EXPECT_GT(r.api_ms, 0.0);
        EXPECT_EQ(r.name == "a" ? mock.port(0) : mock.port(1), r.port);
    }
    for (int i = 0; i < 2; ++i) {
        // One connection per phase, each handshaken, one count request on each.
        EXPECT_EQ(mock.accepted(i), 2);
        EXPECT_EQ(mock.handshakes(i), 2);
        EXPECT_EQ(mock.requests("count", i), 2);
    }
    // The probe request is the count request of Shanghai.
    auto log = mock.request_log("count");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0]["raw"].get<std::string>(), "0c0c186c0001080008004e04010075c73301");
}

TEST_F(Probe, SortedByApiTimeAndSlowServerLast) {
    MockServer& mock = *mock_;
    // Only the timed request (the second count request) of server 0 is slow.
    mock.set_fault({{"action", "delay"}, {"cmd", "count"}, {"server", 0}, {"seconds", 0.2}, {"nth", 2}});
    auto results = probe_servers({row("slow", mock.port(0)), row("b", mock.port(1)), row("c", mock.port(2))}, 2.0);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[2].name, "slow");
    EXPECT_GE(results[2].api_ms, 200.0);
    EXPECT_LE(results[0].api_ms, results[1].api_ms);
    EXPECT_LE(results[1].api_ms, results[2].api_ms);
    // The delay fell on the second connection: phase 1 was not slowed by it.
    EXPECT_LT(results[2].hs_ms, 200.0);
}

TEST_F(Probe, FailingServersAreLeftOut) {
    MockServer& mock = *mock_;
    mock.listen(1, false);
    auto results = probe_servers({row("a", mock.port(0)), row("off", mock.port(1)), row("closed", TcpPeer::closed_port()),
                                  row("c", mock.port(2))},
                                 2.0);
    ASSERT_EQ(results.size(), 2u);
    for (const auto& r : results) EXPECT_TRUE(r.name == "a" || r.name == "c");
}

TEST_F(Probe, NothingToProbeOrZeroTimeoutGivesAnEmptyList) {
    MockServer& mock = *mock_;
    EXPECT_TRUE(probe_servers({row("x", TcpPeer::closed_port())}, 1.0).empty());
    EXPECT_TRUE(probe_servers({}, 1.0).empty());
    EXPECT_TRUE(probe_servers({row("a", mock.port())}, 0.0).empty());
}

TEST_F(Probe, SilentHandshakeIsLeftOutAfterTheTimeout) {
    MockServer& mock = *mock_;
    mock.set_fault({{"action", "stall"}, {"cmd", "setup1"}, {"server", 0}});
    auto t0 = std::chrono::steady_clock::now();
    auto results = probe_servers({row("silent", mock.port(0)), row("ok", mock.port(1))}, 0.3);
    auto waited = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].name, "ok");
    EXPECT_GE(waited, std::chrono::milliseconds(300));
}

TEST_F(Probe, SecondConnectionRefusedIsLeftOut) {
    MockServer& mock = *mock_;
    mock.set_fault({{"action", "refuse"}, {"server", 0}, {"nth", 2}});
    auto results = probe_servers({row("once", mock.port(0)), row("ok", mock.port(1))}, 1.0);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].name, "ok");
    EXPECT_EQ(mock.accepted(0), 2);
}

TEST_F(Probe, SameAddressTwiceIsListedUnderBothNames) {
    MockServer& mock = *mock_;
    auto results = probe_servers({row("first", mock.port()), row("second", mock.port())}, 2.0);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_NE(results[0].name, results[1].name);
    EXPECT_EQ(mock.accepted(), 4);
}
