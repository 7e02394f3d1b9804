// Helpers for tests that drive the clients against the loopback mock: server tables made of the
// mock's ports, a log-level guard that captures standard error, and hex text.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "logging.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"

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

}  // namespace quotix::test
