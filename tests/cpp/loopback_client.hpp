// Helpers for tests that drive the clients against the loopback mock: server tables made of the
// mock's ports, a log-level guard that captures standard error, and hex text.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "logging.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"
#include "net/smart_client.hpp"

namespace quotix::test {

// Tables of the mock's quote ports only, so no walk can ever reach a public server; short
// time-outs keep failing cases quick.
inline net::ClientSeams loopback_seams(const MockServer& mock) {
    net::ClientSeams s;
    s.primary_servers.clear();
    s.all_known_servers.clear();
    for (size_t i = 0; i < mock.ports().size(); ++i) {
        net::ServerEntry e{"mock" + std::to_string(i), MockServer::host(), mock.port(i)};
        s.primary_servers.push_back(e);
        s.all_known_servers.push_back(e);
    }
    s.heartbeat_interval = std::chrono::milliseconds(60000);
    s.pool_timeout_s = 2.0;
    s.reconnect_timeout_s = 2.0;
    return s;
}

// Sets the log level for the test's life and collects what is written to standard error.
class CapturedLog {
public:
    explicit CapturedLog(uint8_t level = 4) : saved_(logging::LEVEL.load()) {
        logging::LEVEL = level;
        ::testing::internal::CaptureStderr();
    }
    ~CapturedLog() {
        if (!taken_) ::testing::internal::GetCapturedStderr();
        logging::LEVEL = saved_;
    }
    // Everything written since construction; ends the capture.
    const std::string& text() {
        if (!taken_) {
            text_ = ::testing::internal::GetCapturedStderr();
            taken_ = true;
        }
        return text_;
    }
    bool has(const std::string& line) { return text().find(line) != std::string::npos; }
    size_t count(const std::string& needle) {
        size_t n = 0;
        for (size_t at = text().find(needle); at != std::string::npos; at = text_.find(needle, at + 1)) ++n;
        return n;
    }

private:
    uint8_t saved_;
    bool taken_ = false;
    std::string text_;
};

inline std::string hex(const std::vector<uint8_t>& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

// Points HOME at a fresh directory (USERPROFILE unset) for its life, so no test touches the
// user's server cache file.
class ScratchHome {
public:
    ScratchHome() : home_(saved("HOME")), profile_(saved("USERPROFILE")) {
        path_ = std::filesystem::temp_directory_path() /
                ("quotix-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        ::setenv("HOME", path_.c_str(), 1);
        ::unsetenv("USERPROFILE");
    }
    ~ScratchHome() {
        restore("HOME", home_);
        restore("USERPROFILE", profile_);
        std::filesystem::remove_all(path_);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path cache_file() const { return path_ / ".quotix" / "server_cache.json"; }
    std::string cache_text() const {
        std::ifstream in(cache_file(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    static std::optional<std::string> saved(const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& v) {
        if (v) ::setenv(name, v->c_str(), 1);
        else ::unsetenv(name);
    }
    std::optional<std::string> home_, profile_;
    std::filesystem::path path_;
};

// A pooled client connected to server 0 of a three-server mock shared by the suite; each test
// starts with clean counters and no faults.
class ConnectedClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mock_ = new MockServer(3); }
    static void TearDownTestSuite() {
        delete mock_;
        mock_ = nullptr;
    }
    void SetUp() override {
        mock_->reset();
        client_ = std::make_unique<net::TdxHqClient>(loopback_seams(*mock_));
        ASSERT_TRUE(client_->connect_internal(MockServer::host(), mock_->port(0), 2.0, false).ok());
        mock_->reset();
    }
    void TearDown() override { client_->disconnect(); }

    static inline MockServer* mock_ = nullptr;
    std::unique_ptr<net::TdxHqClient> client_;
};

inline constexpr uint64_t kSmartNow = 1700000000;

// A smart client over one mock of three servers shared by the suite, its cache clock fixed at
// kSmartNow and its cache file in a scratch home.
class SmartTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mock_ = new MockServer(3); }
    static void TearDownTestSuite() {
        delete mock_;
        mock_ = nullptr;
    }
    void SetUp() override {
        for (int i = 0; i < 3; ++i) mock_->listen(i, true);
        mock_->reset();
        net::ServerCache cache;
        cache.set_clock([] { return kSmartNow; });
        smart_ = std::make_unique<net::TdxSmartClient>(loopback_seams(*mock_), std::move(cache));
    }
    void TearDown() override { smart_->client.disconnect(); }

    // Connects the client to server i, takes it as the selected one and forgets the handshake.
    void select(size_t i) {
        ASSERT_TRUE(smart_->client.connect_internal(MockServer::host(), mock_->port(i), 2.0, false).ok());
        smart_->set_selected_server(net::SelectedServer{MockServer::host(), mock_->port(i), "mock" + std::to_string(i)});
        mock_->reset();
    }
    std::string key(size_t i) const { return net::ServerCache::stats_key(MockServer::host(), mock_->port(i)); }
    std::string switched_to(size_t i) const {
        return "[I] smart  switched to server: 127.0.0.1:" + std::to_string(mock_->port(i)) + "\n";
    }

    static inline MockServer* mock_ = nullptr;
    ScratchHome home_;
    std::unique_ptr<net::TdxSmartClient> smart_;
};

}  // namespace quotix::test
