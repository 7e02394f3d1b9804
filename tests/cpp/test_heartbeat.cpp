#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>

#include "client_fixture.hpp"
#include "net/packet.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;
using namespace std::chrono_literals;

namespace {

std::vector<long> thread_ids() {
    std::vector<long> out;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') out.push_back(std::atol(e->d_name));
        }
        ::closedir(d);
    }
    return out;
}

// The blocked-signal mask of one thread of this process.
unsigned long long blocked_signals(long tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

}  // namespace

class Heartbeat : public quotix::testing::SharedMock<3> {};

// An empty reply still counts as a beat: the connection is kept.
TEST_F(Heartbeat, BeatsAfterTheIntervalNotAtOnceAndEmptyRepliesCount) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("a", mock.port())}, {}, 200ms));
    mock.set_fault({{"action", "zero_body"}, {"cmd", "count"}});
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port()).ok());
    EXPECT_TRUE(client.heartbeat_running());
    ASSERT_TRUE(eventually([&] { return mock.requests("count") >= 3; }));
    EXPECT_GE(seconds_since(t0), 0.6);
    auto log = mock.request_log("count");
    // Each beat is the 18-byte count request for market 0.
    EXPECT_EQ(log[0]["raw"].get<std::string>(), "0c0c186c0001080008004e04000075c73301");
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(mock.accepted(), 1);
    client.disconnect();
}

TEST_F(Heartbeat, FailedBeatMovesToTheNextPrimaryServer) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("甲", mock.port(0)), loopback("乙", mock.port(1))}, {}, 150ms));
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0)).ok());
    mock.set_fault({{"action", "close"}, {"cmd", "count"}, {"server", 0}});
    LogCapture logs(3);
    ASSERT_TRUE(eventually([&] {
        return client.current_server() == ServerAddr("127.0.0.1", mock.port(1)) && client.is_connected();
    }));
    client.disconnect();
    const std::string out = logs.take();
    EXPECT_NE(out.find("[W] hq  heartbeat failed, pool cleared, attempting reconnect...\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[I] hq  heartbeat reconnect to 乙 (127.0.0.1)\n"), std::string::npos) << out;
    EXPECT_EQ(mock.handshakes(1), 1);
}

TEST_F(Heartbeat, FailedBeatWithNoOtherServerClearsConnected) {
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("a", mock.port())}, {}, 100ms));
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port()).ok());
    LogCapture logs(2);
    mock.set_fault({{"action", "close"}, {"cmd", "count"}, {"nth", 1}});
    ASSERT_TRUE(eventually([&] { return !client.is_connected(); }));
    ASSERT_TRUE(eventually([&] { return mock.requests("count") >= 1; }));
    client.disconnect();
    const std::string out = logs.take();
    EXPECT_NE(out.find("[E] hq  heartbeat reconnect failed, all PRIMARY servers unreachable\n"), std::string::npos)
        << out;
}

TEST_F(Heartbeat, DisconnectIsPromptAndKeepsTheServer) {
    MockServer& mock = *mock_;
    {
        TdxHqClient never(loopback_seams({}));
        LogCapture logs(3);
        never.disconnect();
        EXPECT_EQ(logs.take(), "[I] hq  disconnected\n");
        EXPECT_FALSE(never.is_connected());
    }
    TdxHqClient client(loopback_seams({loopback("a", mock.port())}));  // the real 10 s interval
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port()).ok());
    LogCapture logs(3);
    const auto t0 = std::chrono::steady_clock::now();
    client.disconnect();
    const double took = seconds_since(t0);
    EXPECT_LT(took, 5.0);  // not a heartbeat sleep
    EXPECT_EQ(logs.take(), "[I] hq  disconnected\n");
    EXPECT_FALSE(client.is_connected());
    EXPECT_FALSE(client.heartbeat_running());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port()));
    EXPECT_EQ(client.pool_stats().idle, 0u);
}

// One beat thread however often the client connects, every signal blocked in it, joined on
// destruction.
TEST_F(Heartbeat, OneThreadBlockingEverySignalJoinedOnDestruction) {
    MockServer& mock = *mock_;
    const auto before = thread_ids();
    const auto t0 = std::chrono::steady_clock::now();
    {
        TdxHqClient client(loopback_seams({loopback("a", mock.port(0))}));
        ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0)).ok());
        ASSERT_TRUE(client.connect("127.0.0.1", mock.port(1)).ok());
        // A connect without heartbeat leaves the running one in place.
        ASSERT_TRUE(client.connect_internal("127.0.0.1", mock.port(0), std::nullopt, false).ok());
        const auto now = thread_ids();
        ASSERT_EQ(now.size(), before.size() + 1);
        long beat_tid = -1;
        for (long t : now)
            if (std::find(before.begin(), before.end(), t) == before.end()) beat_tid = t;
        ASSERT_GT(beat_tid, 0);
        const unsigned long long mask = blocked_signals(beat_tid);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGPIPE, SIGALRM, SIGCHLD})
            EXPECT_TRUE(mask & (1ull << (sig - 1))) << sig;
    }
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_TRUE(eventually([&] { return thread_ids().size() == before.size(); }, 2000ms));
}

TEST_F(Heartbeat, OldBeatCannotUndoANewConnect) {
    // Server 0's beat stalls until its read time-out; while it hangs the client connects to
    // server 1. The failing old beat must not clear the new pool or move the client to server 2.
    MockServer& mock = *mock_;
    TdxHqClient client(loopback_seams({loopback("a", mock.port(0)), loopback("c", mock.port(2))}, {}, 100ms));
    mock.set_fault({{"action", "stall"}, {"cmd", "count"}, {"server", 0}});
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(0), 0.4).ok());
    ASSERT_TRUE(eventually([&] { return mock.requests("count", 0) >= 1; }));
    LogCapture quiet(0);
    ASSERT_TRUE(client.connect("127.0.0.1", mock.port(1), 2.0).ok());
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(client.current_server(), ServerAddr("127.0.0.1", mock.port(1)));
    EXPECT_EQ(client.pool_stats().idle, 1u);
    EXPECT_EQ(mock.accepted(2), 0);
    client.disconnect();
}
