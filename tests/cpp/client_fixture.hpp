// Shared pieces of the pooled-client tests: loopback server tables for the client's seams, log
// capture and small polling helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"

namespace quotix::testing {

inline net::ServerEntry loopback(const std::string& name, uint16_t port) { return {name, "127.0.0.1", port}; }

// Short times so that failures and beats happen within a test's budget.
inline net::ClientSeams loopback_seams(std::vector<net::ServerEntry> primary, std::vector<net::ServerEntry> all = {},
                                       std::chrono::milliseconds heartbeat = std::chrono::milliseconds(10000)) {
    net::ClientSeams s;
    s.primary_servers = std::move(primary);
    s.all_known_servers = std::move(all);
    s.heartbeat_interval = heartbeat;
    s.pool_timeout_s = 0.5;
    s.reconnect_timeout_s = 0.5;
    return s;
}

// Raises the log level for one test and captures standard error.
class LogCapture {
public:
    explicit LogCapture(uint8_t level = 3) : saved_(logging::LEVEL.load()) {
        logging::LEVEL.store(level);
        ::testing::internal::CaptureStderr();
    }
    ~LogCapture() {
        if (!taken_) ::testing::internal::GetCapturedStderr();
        logging::LEVEL.store(saved_);
    }
    std::string take() {
        taken_ = true;
        return ::testing::internal::GetCapturedStderr();
    }

private:
    uint8_t saved_;
    bool taken_ = false;
};

inline size_t count_of(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) ++n;
    return n;
}

// Polls `cond` until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// One mock for a whole suite, since each launch costs a process start; every test begins with
// clean counters, no faults, every port listening and compression on "auto".
template <int N>
class SharedMock : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mock_ = new test::MockServer(N); }
    static void TearDownTestSuite() {
        delete mock_;
        mock_ = nullptr;
    }
    void SetUp() override {
        for (int i = 0; i < N; ++i) mock_->listen(i, true);
        mock_->set_compress("auto");
        mock_->reset();
    }
    static inline test::MockServer* mock_ = nullptr;
};

inline double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace quotix::testing
