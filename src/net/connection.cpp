#include "net/connection.hpp"
#include "shared/timeout.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

namespace quotix::net {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or `deadline` passes: 1 ready, 0 deadline passed, -1
// failed (errno set). Each poll is given only the time left.
int poll_until(int fd, short events, Clock::time_point deadline) {
    using namespace std::chrono;
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= nanoseconds::zero()) return 0;
        const auto ms = std::min<int64_t>(ceil<milliseconds>(left).count(), INT32_MAX);
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(ms));
        if (rc != 0) return rc < 0 ? -1 : 1;
    }
}

// Waits for a non-blocking connect to finish; returns 0 or the errno that ended it.
int finish_connect(int fd, std::chrono::nanoseconds limit) {
    const auto deadline = Clock::now() + limit;
    int rc;
    while ((rc = poll_until(fd, POLLOUT, deadline)) < 0 && errno == EINTR) {
    }
    if (rc < 0) return errno;
    if (rc == 0) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

// Opens and connects one socket for `ai`; returns the fd or -1 with `err` set.
int connect_one(const addrinfo* ai, std::chrono::nanoseconds limit, int& err) {
#if defined(SOCK_CLOEXEC) && defined(SOCK_NONBLOCK)
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
        err = errno;
        return -1;
    }
#else
    int fd = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
#endif
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    // A non-blocking connect never waits, so no signal can interrupt it: the wait, and its
    // interruptions, are finish_connect's.
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = errno == EINPROGRESS ? finish_connect(fd, limit) : errno;
        if (err != 0) {
            ::close(fd);
            return -1;
        }
    }
    // Back to blocking I/O: the write time-out bounds every later write; reads wait in poll for
    // the time their exchange has left.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        err = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Result<TcpConnection> TcpConnection::connect(std::string_view host, uint16_t port, double timeout_s) {
    using namespace std::chrono;
    const std::string addr = std::string(host) + ":" + std::to_string(port);
    if (std::isnan(timeout_s) || timeout_s < 0) {
        return TdxError::connection("Failed to connect to " + addr + ": invalid timeout " + format_seconds(timeout_s));
    }
    const auto timeout = timeout_duration(timeout_s);
    // A zero time-out still gets a short connect so that the zero is reported where the socket
    // option refuses it.
    const auto connect_limit = std::max<nanoseconds>(timeout, milliseconds(1));

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string host_s(host);
    const std::string port_s = std::to_string(port);
    if (int rc = ::getaddrinfo(host_s.c_str(), port_s.c_str(), &hints, &list); rc != 0) {
        std::string why = rc == EAI_SYSTEM ? errno_text(errno) : ::gai_strerror(rc);
        return TdxError::connection("Failed to connect to " + addr + ": failed to lookup address information: " + why);
    }
    int fd = -1;
    int last_err = 0;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = connect_one(ai, connect_limit, last_err);
    }
    const bool had_address = list != nullptr;
    ::freeaddrinfo(list);
    if (fd < 0) {
        std::string why = had_address ? errno_text(last_err) : "could not resolve to any addresses";
        return TdxError::connection("Failed to connect to " + addr + ": " + why);
    }
    // The socket option cannot hold less than a microsecond; the exchange deadline follows it.
    auto us = duration_cast<microseconds>(timeout);
    if (us.count() == 0) us = microseconds(1);
    TcpConnection conn(fd, us);

    if (timeout.count() == 0) return TdxError::connection("set_read_timeout: cannot set a 0 duration timeout");
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(us.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us.count() % 1000000);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        return TdxError::connection("set_read_timeout: " + errno_text(errno));
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        return TdxError::connection("set_write_timeout: " + errno_text(errno));
    }
    return conn;
}

TcpConnection::~TcpConnection() {
    if (fd_ >= 0) ::close(fd_);
}

ByteStream::Deadline TcpConnection::exchange_deadline() const { return Clock::now() + read_timeout_; }

Status TcpConnection::send(std::span<const uint8_t> data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd_, data.data() + done, data.size() - done, SEND_FLAGS);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            return TdxError::connection("send failed: " + errno_text(errno));
        }
        if (n == 0) {
            failed_ = true;
            return TdxError::connection("send failed: failed to write whole buffer");
        }
        done += static_cast<size_t>(n);
    }
    return ok_status();
}

Result<std::vector<uint8_t>> TcpConnection::recv(size_t n, Deadline deadline) {
    auto fail = [this](int err) {
        failed_ = true;
        return TdxError::connection("recv failed: " + errno_text(err));
    };
    std::vector<uint8_t> buf(n);
    size_t done = 0;
    while (done < n) {
        const int ready = poll_until(fd_, POLLIN, deadline);
        // A deadline that passes reports what an expired socket read time-out reports.
        if (ready <= 0) return fail(ready == 0 ? EAGAIN : errno);
        const ssize_t got = ::recv(fd_, buf.data() + done, n - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got == 0) {
            failed_ = true;
            return TdxError::disconnected();
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return fail(errno);
        }
    }
    return buf;
}

bool TcpConnection::is_reusable() const {
    if (failed_) return false;
    // The socket is a TCP one from connect, so a peer address means the peer is still there
    // (a reset connection has none).
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    // Anything readable on an idle connection is either stale reply bytes or the peer's FIN. A
    // poll that does not wait is never interrupted.
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

void TcpConnection::shutdown_both() { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace quotix::net
