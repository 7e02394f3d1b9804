#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "net/pool.hpp"
#include "tcp_peer.hpp"

using namespace quotix;
using namespace quotix::net;
using quotix::testing::TcpPeer;

namespace {

void expect_stats(const ConnectionPool& p, size_t idle, size_t active, size_t total) {
    auto s = p.stats();
    EXPECT_EQ(s.idle, idle);
    EXPECT_EQ(s.active, active);
    EXPECT_EQ(s.total, total);
    EXPECT_EQ(s.max_size, 5u);
}

std::shared_ptr<ConnectionPool> plain_pool() { return ConnectionPool::create(5, 2.0, nullptr); }

}  // namespace

TEST(Pool, PushedConnectionIsTakenWhateverServerIsAsked) {
    TcpPeer peer;
    auto pool = plain_pool();
    expect_stats(*pool, 0, 0, 0);
    auto c = TcpConnection::connect("127.0.0.1", peer.port(), 2.0);
    ASSERT_TRUE(c.ok());
    pool->push(std::move(*c), "127.0.0.1", peer.port());
    {
        auto g = pool->checkout("127.0.0.1", TcpPeer::closed_port());
        ASSERT_TRUE(g.ok());
        EXPECT_EQ(g->port(), peer.port());
        expect_stats(*pool, 0, 1, 1);
    }
    expect_stats(*pool, 1, 0, 1);
    EXPECT_TRUE(peer.wait_accepted(1));
    EXPECT_EQ(peer.accepted(), 1u);
}

TEST(Pool, SixthCheckoutIsExhausted) {
    TcpPeer peer;
    auto pool = plain_pool();
    std::vector<PooledConnGuard> held;
    for (int i = 0; i < 5; ++i) {
        auto g = pool->checkout("127.0.0.1", peer.port());
        ASSERT_TRUE(g.ok());
        held.push_back(std::move(*g));
    }
    expect_stats(*pool, 0, 5, 5);
    ::testing::internal::CaptureStderr();
    auto sixth = pool->checkout("127.0.0.1", peer.port());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[E] pool  exhausted (active=5, max=5)\n");
    ASSERT_FALSE(sixth.ok());
    EXPECT_EQ(sixth.error().display(), "[E2006] connection pool exhausted: active=5, max=5");
    expect_stats(*pool, 0, 5, 5);
    held.clear();
    expect_stats(*pool, 5, 0, 5);
}

TEST(Pool, FailedConnectOrHookRestoresTheCounts) {
    auto pool = plain_pool();
    for (int i = 0; i < 8; ++i) {
        auto g = pool->checkout("127.0.0.1", TcpPeer::closed_port());
        ASSERT_FALSE(g.ok());
        EXPECT_EQ(g.error().kind(), TdxError::Kind::Connection) << g.error().display();
    }
    expect_stats(*pool, 0, 0, 0);
    TcpPeer peer;
    auto hooked = ConnectionPool::create(5, 2.0, [](TcpConnection&) -> Status { return TdxError::disconnected(); });
    auto g = hooked->checkout("127.0.0.1", peer.port());
    ASSERT_FALSE(g.ok());
    EXPECT_EQ(g.error().kind(), TdxError::Kind::Disconnected);
    expect_stats(*hooked, 0, 0, 0);
}

// A connection whose peer closed, one holding unread bytes (a reply that came after its request
// gave up, which must never answer the next request) and a discarded one are not given back.
TEST(Pool, UnfitConnectionIsNotKept) {
    for (int how = 0; how < 3; ++how) {
        SCOPED_TRACE(how);
        TcpPeer peer;
        auto pool = plain_pool();
        {
            auto g = pool->checkout("127.0.0.1", peer.port());
            ASSERT_TRUE(g.ok());
            ASSERT_TRUE(peer.wait_accepted(1));
            if (how == 0) peer.close(0);
            if (how == 1) peer.send_to(0, {1, 2, 3});
            if (how == 2) g->discard();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        expect_stats(*pool, 0, 0, 0);
    }
}

TEST(Pool, CloseAllWhileOneIsHandedOut) {
    TcpPeer peer;
    auto pool = plain_pool();
    auto a = pool->checkout("127.0.0.1", peer.port());
    ASSERT_TRUE(a.ok());
    {
        auto b = pool->checkout("127.0.0.1", peer.port());
        ASSERT_TRUE(b.ok());
    }
    expect_stats(*pool, 1, 1, 2);
    pool->close_all();
    expect_stats(*pool, 0, 0, 1);
    { auto gone = std::move(a); }
    expect_stats(*pool, 1, 0, 1);
}

TEST(Pool, PushCanExceedMaxButGiveBackTrimsIdle) {
    TcpPeer peer;
    auto pool = plain_pool();
    for (int i = 0; i < 6; ++i) {
        auto c = TcpConnection::connect("127.0.0.1", peer.port(), 2.0);
        ASSERT_TRUE(c.ok());
        pool->push(std::move(*c), "127.0.0.1", peer.port());
    }
    expect_stats(*pool, 6, 0, 6);
    { auto g = pool->checkout("127.0.0.1", peer.port()); }
    expect_stats(*pool, 5, 0, 5);
}
