// Many callers on one client while its pool is reconnected, dropped and faulted, its heartbeat
// restarted every few milliseconds, and its runtime shut down under them. Meant for the
// ThreadSanitizer build as much as for a failing assertion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "async_fixture.hpp"
#include "protocol/packet.hpp"
#include "tcp_peer.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using quotix::test::MockServer;
using Clock = std::chrono::steady_clock;

TEST(AsyncStress, EveryCallEndsWithItsOwnAnswerOrAnError) {
    MockServer mock;
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = std::chrono::milliseconds(1);
    seams.heartbeat_timeout = std::chrono::milliseconds(20);
    auto h = std::make_unique<AsyncHarness>(4, seams, 4);
    h->client->rate_limiter().set_interval(std::chrono::nanoseconds(0));
    const double limit = 0.2;
    ASSERT_TRUE(h->connect(mock.port(), limit).ok());

    const uint16_t counts[] = {2105, 1908, 301};
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0}, answered{0}, wrong{0};
    std::atomic<int64_t> longest_ms{0};
    auto caller = [&](int seed) {
        for (int i = seed; !stop; ++i) {
            const uint8_t market = static_cast<uint8_t>(i % 3);
            const auto t0 = Clock::now();
            auto body = h->rt.block_on(h->client->send_and_recv(build_security_count_packet(market)));
            const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
            for (int64_t seen = longest_ms; ms > seen && !longest_ms.compare_exchange_weak(seen, ms);) {
            }
            ++calls;
            if (!body.ok()) continue;
            ++answered;
            if (body->size() < 2 || (body->at(0) | body->at(1) << 8) != counts[market]) ++wrong;
        }
    };
    // Reconnects (each restarting the heartbeat), disconnects and failed connects.
    const uint16_t refused = TcpPeer::closed_port();
    auto churn = [&] {
        for (int i = 0; !stop; ++i) {
            switch (i % 6) {
                case 0: (void)h->rt.block_on(h->client->disconnect()); break;
                case 1: (void)h->rt.block_on(h->client->connect("127.0.0.1", refused, limit)); break;
                default: (void)h->rt.block_on(h->client->connect("127.0.0.1", mock.port(), limit)); break;
            }
            (void)h->rt.block_on(h->client->connection_count());
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    };
    // Heartbeats stopped and started again and again, each stop racing the sleep it ends.
    auto restarts = [&] {
        while (!stop) {
            (void)h->rt.block_on(h->client->start_heartbeat());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };
    // The next count request, a beat's or a caller's, goes wrong in one of several ways.
    auto faults = [&] {
        const nlohmann::json kinds[] = {
            {{"action", "twice"}},
            {{"action", "delay"}, {"seconds", 0.5}},
            {{"action", "close"}, {"when", "inside_header"}},
            {{"action", "close"}, {"when", "after_body"}},
            {{"action", "partial"}, {"when", "inside_body"}, {"then", "finish"}, {"seconds", 0.02}},
            {{"action", "garbage"}},
            {{"action", "zero_body"}},
        };
        for (size_t i = 0; !stop; ++i) {
            nlohmann::json f = kinds[i % std::size(kinds)];
            f["cmd"] = "count";
            f["nth"] = 1;
            mock.set_fault(f);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    };

    std::vector<std::future<void>> running;
    for (int i = 0; i < 4; ++i) running.push_back(std::async(std::launch::async, caller, i));
    running.push_back(std::async(std::launch::async, churn));
    running.push_back(std::async(std::launch::async, restarts));
    running.push_back(std::async(std::launch::async, faults));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    // Shut down under the callers: whatever is in flight must end too.
    h->rt.shutdown();
    stop = true;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (auto& r : running) {
        if (r.wait_until(deadline) != std::future_status::ready) {
            // A call that never returns would hang the suite: report and end the run.
            std::fprintf(stderr, "an asynchronous call did not return after the runtime shut down\n");
            std::abort();
        }
    }
    h.reset();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answered.load(), 20) << calls.load() << " calls";
    // Retries, time-outs and the connects' hold on the pool add up to a few seconds at most.
    EXPECT_LT(longest_ms.load(), 20000);
}
