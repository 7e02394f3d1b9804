// Shared pieces of the client tests: loopback tables, one mock per suite, a raw peer, log capture.
#pragma once

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/logging.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"
#include "net/connection.hpp"

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
    s.pool_timeout_s = s.reconnect_timeout_s = timeout_s;
    return s;
}

// Every quote port of the mock, named mock0, mock1, ..., as both tables.
inline net::ClientSeams mock_seams(const MockServer& mock) {
    std::vector<net::ServerEntry> rows;
    for (size_t i = 0; i < mock.ports().size(); ++i) rows.push_back(loopback("mock" + std::to_string(i), mock.port(i)));
    return loopback_seams(rows, rows);
}

// Thirty back-to-back calls of three kinds in turn (finance, count, quotes), each of its own
// security or market, over a server 30 ms away whose third reply comes again 15 ms later: the
// copy arrives while the fourth call waits. `answer(call)` makes call i of the client under test.
struct MixedCall {
    int kind;  // 0 finance, 1 count, 2 quotes
    uint8_t market;
    std::string code;
};
inline std::vector<MixedCall> mixed_calls() {
    std::vector<MixedCall> calls;
    for (int i = 0; i < 30; ++i)
        calls.push_back({i % 3, static_cast<uint8_t>(i % 3 == 1 ? i / 3 % 3 : 1), std::to_string(600100 + i)});
    return calls;
}
inline void send_third_reply_again_late(MockServer& mock) {
    mock.set_fault({{"action", "twice"}, {"seconds", 0.015}, {"nth", 3}});
    mock.set_fault({{"action", "delay"}, {"seconds", 0.03}});
}
// "own" when a call's answer is its own, "failed" when it failed, "another's" otherwise; counts of
// each market are given (the mock's list sizes differ).
inline std::string judge(const MixedCall& c, const Result<FinanceInfo>* finance, const Result<uint16_t>* count,
                         const Result<std::vector<SecurityQuote>>* quotes, const std::vector<uint16_t>& counts) {
    bool ok = false, own = false;
    if (finance) ok = finance->ok(), own = ok && (*finance)->liutongguben == 1000000 + std::stoi(c.code) % 1000;
    if (count) ok = count->ok(), own = ok && **count == counts.at(c.market);
    if (quotes) ok = quotes->ok(), own = ok && (*quotes)->size() == 1 && (*quotes)->front().code == c.code;
    return !ok ? "failed" : own ? "own" : "another's";
}

// The start of each request of one kind, in arrival order.
inline std::vector<int> starts(MockServer& mock, const std::string& cmd = "bars") {
    std::vector<int> s;
    for (const auto& e : mock.request_log(cmd)) s.push_back(e["args"]["start"].get<int>());
    return s;
}

// A socket listening on 127.0.0.1 at a free port, which it names.
inline int listener(int backlog, uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = test::loopback_addr(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(fd, backlog);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// A raw TCP peer for socket-level faults: it accepts connections one after another and sends each
// `at_once` straight away, then `trickled` one byte every `interval`, and nothing else. After
// `accepts` connections it stops listening, so later connects are refused.
class TcpPeer {
public:
    explicit TcpPeer(std::vector<uint8_t> at_once = {}, std::vector<uint8_t> trickled = {},
                     std::chrono::milliseconds interval = {}, int accepts = INT_MAX)
        : at_once_(std::move(at_once)), trickled_(std::move(trickled)), interval_(interval), accepts_(accepts) {}
    ~TcpPeer() {
        stop_ = true;
        thread_.join();
        for (int fd : conns_) ::close(fd);
        if (fd_ >= 0) ::close(fd_);
    }
    uint16_t port() const { return port_; }
    // A port on which nothing listens (bound, then released).
    static uint16_t closed_port() {
        uint16_t port;
        ::close(listener(1, port));
        return port;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (fd_ < 0 || ::poll(&p, 1, 10) <= 0) {
                if (fd_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            const int c = conns_.emplace_back(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
            if (static_cast<int>(conns_.size()) >= accepts_) ::close(std::exchange(fd_, -1));
            ::send(c, at_once_.data(), at_once_.size(), MSG_NOSIGNAL);
            for (size_t i = 0; i < trickled_.size() && !stop_; ++i) {
                std::this_thread::sleep_for(interval_);
                ::send(c, &trickled_[i], 1, MSG_NOSIGNAL);
            }
        }
    }

    const std::vector<uint8_t> at_once_, trickled_;
    const std::chrono::milliseconds interval_;
    const int accepts_;
    uint16_t port_ = 0;
    int fd_ = listener(16, port_);  // -1 once it stopped listening
    std::atomic<bool> stop_{false};
    std::vector<int> conns_;  // the serving thread's own until it is joined
    std::thread thread_{[this] { serve(); }};  // last: it starts once every other member is ready
};

// A connected pair on the loopback: `conn` and the peer's accepted socket, `peer` (closed with it).
struct ConnectedPair {
    explicit ConnectedPair(double timeout_s) {
        uint16_t port;
        const int fd = listener(1, port);
        conn.emplace(net::TcpConnection::connect("127.0.0.1", port, timeout_s).value());
        peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(fd);
    }
    ~ConnectedPair() { ::close(peer); }
    // Closes the peer's socket with a reset rather than an orderly end.
    void reset_peer() {
        linger l{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(std::exchange(peer, -1));
    }
    std::optional<net::TcpConnection> conn;
    int peer = -1;
};

// Interrupts the calling thread's blocking calls: SIGUSR1, whose handler does nothing and restarts
// no call, every `every` until destroyed or `limit` signals are sent. Nothing else may block on
// this thread meanwhile (the mock's control channel would take the interruption as an error).
class Interrupter {
public:
    explicit Interrupter(std::chrono::milliseconds every = std::chrono::milliseconds(5), int limit = INT_MAX) {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        ::sigemptyset(&sa.sa_mask);
        ::sigaction(SIGUSR1, &sa, nullptr);  // kept afterwards: a late signal must not end the process
        thread_ = std::thread([this, target = ::pthread_self(), every, limit] {
            for (int i = 0; i < limit && !stop_; ++i) {
                std::this_thread::sleep_for(every);
                ::pthread_kill(target, SIGUSR1);
            }
        });
    }
    ~Interrupter() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Lowers the open-file limit to the descriptors in use for its life: no socket can be made, and
// no name lookup either (it would read files first), so nothing can leave the machine.
class NoFreeDescriptors {
public:
    NoFreeDescriptors() {
        const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowest_free);
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit now = saved_;
        now.rlim_cur = static_cast<rlim_t>(lowest_free);
        ::setrlimit(RLIMIT_NOFILE, &now);
    }
    ~NoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

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
    const auto end = std::chrono::steady_clock::now() + limit;
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

// One mock per suite (a launch is a process start); each test begins clean, every port listening.
template <int N>
class SharedMock : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mock_ = new MockServer(N); }
    static void TearDownTestSuite() { delete mock_; }
    void SetUp() override {
        for (int i = 0; i < N; ++i) mock_->listen(i, true);
        mock_->reset();
    }
    static inline MockServer* mock_ = nullptr;
    MockServer& mock = *mock_;  // the suite's mock is up before any of its tests is made
};

// Points HOME at a fresh directory (USERPROFILE unset) for its life: no test touches the user's cache.
class ScratchHome {
public:
    ScratchHome() {
        std::filesystem::create_directories(path_);
        ::setenv("HOME", path_.c_str(), 1);
        ::unsetenv("USERPROFILE");
    }
    ~ScratchHome() {
        ::setenv("HOME", home_.c_str(), 1);
        std::filesystem::remove_all(path_);
    }
    std::filesystem::path cache_file() const { return path_ / ".quotix" / "server_cache.json"; }
    std::string cache_text() const {
        std::ifstream f(cache_file(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

private:
    std::string home_ = std::getenv("HOME") ? std::getenv("HOME") : "";
    std::filesystem::path path_ = std::filesystem::temp_directory_path() / ("quotix-test-" + std::to_string(::getpid()));
};

}  // namespace quotix::testing
