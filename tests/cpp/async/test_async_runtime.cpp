#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "async/connection.hpp"
#include "async/primitives.hpp"
#include "async_fixture.hpp"
#include "protocol/packet.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using Clock = std::chrono::steady_clock;

namespace {

asio::awaitable<int> add(int a, int b) { co_return a + b; }

asio::awaitable<Result<std::string>> failing() { co_return TdxError::coded(2103, "body too short"); }

asio::awaitable<void> sleep_ms(int ms) {
    asio::steady_timer t(co_await asio::this_coro::executor, std::chrono::milliseconds(ms));
    co_await t.async_wait(as_tuple_awaitable);
}

}  // namespace

TEST(AsyncRuntime, BlockOnReturnsValuesResultsAndStatusUntilShutdown) {
    auto made = AsyncRuntime::create(2);
    ASSERT_TRUE(made.ok());
    AsyncRuntime& rt = **made;
    EXPECT_EQ(rt.thread_count(), 2u);
    EXPECT_EQ(rt.block_on(add(2, 3)).value(), 5);
    auto err = rt.block_on(failing());
    ASSERT_FALSE(err.ok());
    EXPECT_TRUE(err.error().is_coded(2103));
    EXPECT_TRUE(rt.block_on(sleep_ms(1)).ok());
    rt.shutdown();
    rt.shutdown();
    EXPECT_TRUE(rt.is_shut_down());
    auto r = rt.block_on(add(1, 1));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Connection);
}

TEST(AsyncRuntime, ShutdownReleasesACallerStillWaiting) {
    AsyncRuntime rt(1);
    std::atomic<bool> returned{false};
    Status seen = ok_status();
    std::thread caller([&] {
        seen = rt.block_on(sleep_ms(60000));
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    rt.shutdown();
    caller.join();
    EXPECT_FALSE(seen.ok());
}

TEST(AsyncMutex, WaitersEnterInArrivalOrder) {
    // One worker runs the spawned lockers in the order they were spawned.
    AsyncRuntime rt(1);
    AsyncMutex mu(rt.executor());
    std::vector<int> order;
    auto body = [&]() -> asio::awaitable<void> {
        auto first = co_await mu.lock();
        auto ex = co_await asio::this_coro::executor;
        // Three lockers queue up behind the held lock, one after the other.
        for (int i = 0; i < 3; ++i) {
            asio::co_spawn(ex, [&, i]() -> asio::awaitable<void> {
                auto g = co_await mu.lock();
                order.push_back(i);
            }, asio::detached);
            co_await sleep_ms(10);
        }
        first.release();
        co_await sleep_ms(50);
        auto last = co_await mu.lock();
    };
    ASSERT_TRUE(rt.block_on(body()).ok());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(AsyncQueue, HoldsSixtyFourRequestsThenRefusesAndClosesWhenItsHandleGoes) {
    AsyncRuntime rt(1);
    auto queue = std::make_shared<RequestQueue>(rt.executor(), REQUEST_QUEUE_CAPACITY);
    auto refused_reply = std::make_shared<ReplyChannel>(rt.executor(), 1);
    {
        ConnectionHandle handle(queue);
        auto reply = std::make_shared<ReplyChannel>(rt.executor(), 1);
        for (size_t i = 0; i < 64; ++i) ASSERT_TRUE(handle.offer(std::make_shared<Request>(Bytes{1}, reply))) << i;
        EXPECT_FALSE(handle.offer(std::make_shared<Request>(Bytes{1}, refused_reply)));
    }
    EXPECT_FALSE(queue->is_open());
    // The refused request was dropped unanswered: its waiter sees the channel closed.
    auto r = rt.block_on(await_reply(refused_reply));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::Disconnected);
}

TEST(AsyncQueue, QueuedRequestsAreServedAfterTheHandleIsDropped) {
    quotix::test::MockServer mock;
    AsyncRuntime rt(2);
    auto socket = rt.block_on(ConnectionTask::connect("127.0.0.1", mock.port(), std::chrono::seconds(2)));
    ASSERT_TRUE(socket.ok()) << socket.error().display();
    auto queue = std::make_shared<RequestQueue>(rt.executor(), REQUEST_QUEUE_CAPACITY);
    std::vector<std::shared_ptr<ReplyChannel>> replies;
    {
        ConnectionHandle handle(queue);
        for (uint8_t market = 0; market < 3; ++market) {
            replies.push_back(std::make_shared<ReplyChannel>(rt.executor(), 1));
            ASSERT_TRUE(handle.offer(std::make_shared<Request>(build_security_count_packet(market), replies.back())));
        }
        ConnectionTask::start(std::move(*socket), queue, std::chrono::seconds(2));
    }
    // Answered in queue order: the counts of markets 0, 1 and 2.
    const uint16_t expected[] = {2105, 1908, 301};
    for (size_t i = 0; i < 3; ++i) {
        auto body = rt.block_on(await_reply(replies[i]));
        ASSERT_TRUE(body.ok()) << body.error().display();
        EXPECT_EQ(body->at(0) | (body->at(1) << 8), expected[i]);
    }
    EXPECT_TRUE(eventually([&] { return mock.open_connections() == 0; }));
}

TEST(AsyncRateLimiter, ConcurrentCallersLeaveOneIntervalApart) {
    AsyncRuntime rt(3);
    AsyncRateLimiter limiter(rt.executor());
    EXPECT_EQ(limiter.interval(), std::chrono::milliseconds(20));
    limiter.set_interval(std::chrono::milliseconds(-5));
    EXPECT_EQ(limiter.interval().count(), 0);
    limiter.set_interval(std::chrono::milliseconds(30));
    std::mutex mu;
    std::vector<Clock::time_point> stamps;
    auto one = [&]() -> asio::awaitable<void> {
        co_await limiter.wait();
        std::lock_guard g(mu);
        stamps.push_back(Clock::now());
    };
    const auto before = Clock::now();
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) callers.emplace_back([&] { (void)rt.block_on(one()); });
    for (auto& t : callers) t.join();
    ASSERT_EQ(stamps.size(), 4u);
    // The first leaves at once, each later one at least an interval after the one before.
    EXPECT_GE(*std::max_element(stamps.begin(), stamps.end()) - before, std::chrono::milliseconds(90));
}
