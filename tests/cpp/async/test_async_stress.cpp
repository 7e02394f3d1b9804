// Many callers on one client while its pool is reconnected, dropped and faulted, its heartbeat
// restarted every few hundred microseconds, and its runtime shut down under them. Meant for the
// ThreadSanitizer build as much as for a failing assertion.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "async_fixture.hpp"
#include "protocol/packet.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;
using Clock = std::chrono::steady_clock;

TEST(AsyncStress, EveryCallEndsWithItsOwnAnswerOrAnError) {
    test::MockServer mock(2);
    mock.listen(1, false);
    AsyncClientSeams seams = fast_seams();
    seams.heartbeat_interval = 1ms;
    seams.heartbeat_timeout = 20ms;
    auto h = std::make_unique<AsyncHarness>(4, seams, 4);
    h->client->rate_limiter().set_interval(0ms);
    const double limit = 0.2;
    ASSERT_TRUE(h->connect(mock.port(), limit).ok());

    const uint16_t counts[] = {2105, 1908, 301};
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, wrong{0}, slow{0};
    auto caller = [&](int seed) {
        for (int i = seed; !stop; ++i) {
            const auto t0 = Clock::now();
            auto body = h->run(h->client->send_and_recv(build_security_count_packet(i % 3)));
            // Retries, time-outs and the connects' hold on the pool add up to a few seconds at most.
            if (Clock::now() - t0 > 20s) ++slow;
            if (!body.ok()) continue;
            ++answered;
            if (body->size() < 2 || (body->at(0) | body->at(1) << 8) != counts[i % 3]) ++wrong;
        }
    };
    // Reconnects (each restarting the heartbeat), disconnects and failed connects; some connects
    // get a deadline of a millisecond or so, which every exchange on them then races.
    auto churn = [&] {
        for (int i = 0; !stop; ++i) {
            const double t = i % 6 == 2 ? 0.0005 * (i % 5) : limit;
            if (i % 6 == 0) (void)h->run(h->client->disconnect());
            else (void)h->run(h->client->connect("127.0.0.1", mock.port(i % 6 == 1), t));
            (void)h->run(h->client->connection_count());
            std::this_thread::sleep_for(30ms);
        }
    };
    // Heartbeats stopped and started again and again, each stop racing the sleep it ends.
    auto restarts = [&] {
        while (!stop) {
            (void)h->run(h->client->start_heartbeat());
            std::this_thread::sleep_for(200us);
        }
    };
    // The next count request, a beat's or a caller's, goes wrong in one of several ways.
    auto faults = [&] {
        const nlohmann::json kinds[] = {{{"action", "twice"}}, {{"action", "delay"}, {"seconds", 0.5}},
                                         {{"action", "close"}, {"when", "inside_header"}},
                                         {{"action", "close"}, {"when", "inside_body"}},
                                         {{"action", "corrupt_zlib"}}, {{"action", "zero_body"}}};
        for (size_t i = 0; !stop; ++i) {
            nlohmann::json f = kinds[i % std::size(kinds)];
            f.update({{"cmd", "count"}, {"nth", 1}});
            mock.set_fault(f);
            std::this_thread::sleep_for(40ms);
        }
    };

    std::vector<std::future<void>> running;
    for (int i = 0; i < 4; ++i) running.push_back(std::async(std::launch::async, caller, i));
    running.push_back(std::async(std::launch::async, churn));
    running.push_back(std::async(std::launch::async, restarts));
    running.push_back(std::async(std::launch::async, faults));
    // At least 2.5 s of it, and enough answers that the check on them means something: a slow
    // (sanitized, loaded) machine takes longer to get them.
    const auto began = Clock::now();
    while (Clock::now() - began < 2500ms || (answered < 25 && Clock::now() - began < 20s))
        std::this_thread::sleep_for(50ms);
    // Shut down under the callers: whatever is in flight must end too.
    h->rt.shutdown();
    stop = true;
    for (auto& r : running) {
        if (r.wait_for(30s) != std::future_status::ready) {
            // A call that never returns would hang the suite: report and end the run.
            std::fprintf(stderr, "an asynchronous call did not return after the runtime shut down\n");
            std::abort();
        }
        r.get();
    }
    h.reset();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answered.load(), 20);
    EXPECT_EQ(slow.load(), 0);
}
