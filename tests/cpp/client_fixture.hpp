// Shared pieces of the client tests: loopback server tables for the client's seams, one mock per
// suite, log capture, a scratch home for the smart client's cache file and polling helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"

namespace quotix::testing {

using test::MockServer;

inline net::ServerEntry loopback(const std::string& name, uint16_t port) { return {name, "127.0.0.1", port}; }

// Loopback tables only, so no walk can reach a public server; a short beat on request.
inline net::ClientSeams loopback_seams(std::vector<net::ServerEntry> primary, std::vector<net::ServerEntry> all = {},
                                       std::chrono::milliseconds heartbeat = std::chrono::milliseconds(10000),
                                       double timeout_s = 2.0) {
    net::ClientSeams s;
    s.primary_servers = std::move(primary);
    s.all_known_servers = std::move(all);
    s.heartbeat_interval = heartbeat;
    s.pool_timeout_s = timeout_s;
    s.reconnect_timeout_s = timeout_s;
    return s;
}

// Every quote port of the mock, named mock0, mock1, ..., as both tables.
inline net::ClientSeams mock_seams(const MockServer& mock) {
    std::vector<net::ServerEntry> rows;
    for (size_t i = 0; i < mock.ports().size(); ++i) rows.push_back(loopback("mock" + std::to_string(i), mock.port(i)));
    return loopback_seams(rows, rows);
}

// Sets the log level for one test and captures standard error.
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

inline double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// "ok", or the error's display.
template <class T>
std::string outcome(const Result<T>& r) {
    return r.ok() ? "ok" : r.error().display();
}

// One mock for a whole suite, since each launch costs a process start; every test begins with
// clean counters, no faults, every port listening and compression on "auto".
template <int N>
class SharedMock : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mock_ = new MockServer(N); }
    static void TearDownTestSuite() {
        delete mock_;
        mock_ = nullptr;
    }
    void SetUp() override {
        for (int i = 0; i < N; ++i) mock_->listen(i, true);
        mock_->set_compress("auto");
        mock_->reset();
    }
    static inline MockServer* mock_ = nullptr;
};

// Points HOME at a fresh directory (USERPROFILE unset) for its life, so no test touches the
// user's server cache file.
class ScratchHome {
public:
    ScratchHome() {
        for (const char* name : {"HOME", "USERPROFILE"})
            if (const char* v = std::getenv(name)) saved_.emplace_back(name, v);
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        ::setenv("HOME", path_.c_str(), 1);
        ::unsetenv("USERPROFILE");
    }
    ~ScratchHome() {
        ::unsetenv("HOME");
        ::unsetenv("USERPROFILE");
        for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
        std::filesystem::remove_all(path_);
    }
    std::filesystem::path cache_file() const { return path_ / ".quotix" / "server_cache.json"; }
    std::string cache_text() const {
        std::ostringstream s;
        s << std::ifstream(cache_file(), std::ios::binary).rdbuf();
        return s.str();
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
    std::filesystem::path path_ = std::filesystem::temp_directory_path() / ("quotix-test-" + std::to_string(::getpid()));
};

}  // namespace quotix::testing
