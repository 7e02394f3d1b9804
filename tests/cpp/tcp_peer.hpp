// A raw TCP peer on 127.0.0.1 for transport tests: it accepts connections and does only what the
// test tells it (send bytes, close), so socket-level behaviour can be provoked exactly.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace quotix::testing {

class TcpPeer {
public:
    // backlog_only: listen without ever accepting (lets a test fill the accept queue).
    explicit TcpPeer(bool backlog_only = false, int backlog = 16) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, backlog);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (!backlog_only) thread_ = std::thread([this] { accept_loop(); });
    }
    ~TcpPeer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int c : conns_)
            if (c >= 0) ::close(c);
        ::close(fd_);
    }

    uint16_t port() const { return port_; }
    size_t accepted() {
        std::lock_guard lock(mu_);
        return conns_.size();
    }
    // Waits until at least n connections were accepted (bounded).
    bool wait_accepted(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (accepted() < n) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    void send_to(size_t i, const std::vector<uint8_t>& bytes) {
        std::lock_guard lock(mu_);
        ::send(conns_.at(i), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void close(size_t i) {
        std::lock_guard lock(mu_);
        ::close(conns_.at(i));
        conns_.at(i) = -1;
    }
    // What every connection accepted from now on is sent: `at_once` straight away, then
    // `trickled` one byte every `interval` (a peer slow enough to outlast any deadline while
    // each single read still gets a byte in time).
    void script(std::vector<uint8_t> at_once, std::vector<uint8_t> trickled, std::chrono::milliseconds interval) {
        std::lock_guard lock(mu_);
        at_once_ = std::move(at_once);
        trickled_ = std::move(trickled);
        interval_ = interval;
    }
    // A port on which nothing listens (bound, then released).
    static uint16_t closed_port() { return TcpPeer(true).port(); }

private:
    void accept_loop() {
        struct Trickle {
            size_t conn, sent;
            std::chrono::steady_clock::time_point next;
        };
        std::vector<Trickle> trickles;
        while (!stop_) {
            {
                std::lock_guard lock(mu_);
                for (Trickle& t : trickles) {
                    if (t.sent == trickled_.size() || conns_[t.conn] < 0 || std::chrono::steady_clock::now() < t.next) continue;
                    ::send(conns_[t.conn], &trickled_[t.sent++], 1, MSG_NOSIGNAL);
                    t.next += interval_;
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::lock_guard lock(mu_);
            conns_.push_back(c);
            if (!at_once_.empty()) ::send(c, at_once_.data(), at_once_.size(), MSG_NOSIGNAL);
            if (!trickled_.empty()) trickles.push_back({conns_.size() - 1, 0, std::chrono::steady_clock::now() + interval_});
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::vector<int> conns_;
    std::vector<uint8_t> at_once_, trickled_;
    std::chrono::milliseconds interval_{0};
};

}  // namespace quotix::testing
