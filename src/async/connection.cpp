#include "async/connection.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

#include "core/error_codes.hpp"
#include "protocol/packet.hpp"
#include "protocol/response.hpp"

namespace quotix::net {

using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

NameLookup system_resolve(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    NameLookup out;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        out.error = rc == EAI_SYSTEM ? std::generic_category().message(errno) : ::gai_strerror(rc);
        return out;
    }
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
        tcp::endpoint ep;
        std::memcpy(ep.data(), a->ai_addr, a->ai_addrlen);
        ep.resize(a->ai_addrlen);
        out.endpoints.push_back(ep);
    }
    ::freeaddrinfo(list);
    if (out.endpoints.empty()) out.error = "no address for the name";
    return out;
}

namespace {

// The system's resolver cannot be cancelled, and its thread may outlive the connect, the client
// and the runtime. So the lookup shares nothing with asio: it leaves its answer here, and the
// connect looks for it every few milliseconds until its own deadline.
struct PendingLookup {
    std::mutex mu;
    std::optional<NameLookup> answer;
};

constexpr auto LOOKUP_POLL = std::chrono::milliseconds(5);

// The endpoints of ip:port found before `deadline`; none when the deadline came first.
awaitable<std::optional<NameLookup>> find_endpoints(const std::string& ip, uint16_t port, const NameResolver& resolve,
                                                    Clock::time_point deadline) {
    asio::error_code ec;
    const auto numeric = asio::ip::make_address(ip, ec);
    if (!ec) co_return NameLookup{{tcp::endpoint(numeric, port)}, {}};
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, resolve, ip, port] {
            NameLookup found = resolve(ip, port);
            std::lock_guard lock(pending->mu);
            pending->answer = std::move(found);
        }).detach();
    } catch (const std::system_error& e) {
        co_return NameLookup{{}, e.what()};
    }
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (;;) {
        {
            std::lock_guard lock(pending->mu);
            if (pending->answer) co_return std::move(*pending->answer);
        }
        const auto now = Clock::now();
        if (now >= deadline) co_return std::nullopt;
        timer.expires_at(std::min(deadline, now + LOOKUP_POLL));
        co_await timer.async_wait(as_tuple_awaitable);
    }
}

// Everything below reads or writes against one deadline; the timer that loses the race is
// cancelled by the group.
awaitable<Result<Bytes>> recv_exact(tcp::socket& socket, size_t n, Clock::time_point deadline) {
    Bytes buf(n);
    if (n == 0) co_return buf;
    asio::steady_timer timer(socket.get_executor(), deadline);
    auto r = co_await (asio::async_read(socket, asio::buffer(buf), as_tuple_awaitable) ||
                       timer.async_wait(as_tuple_awaitable));
    if (r.index() == 1) co_return TdxError::connection("recv: timed out");
    auto [ec, got] = std::get<0>(r);
    (void)got;
    if (ec == asio::error::eof) co_return TdxError::disconnected();
    if (ec) co_return TdxError::connection("recv: " + ec.message());
    co_return buf;
}

awaitable<Status> send_all(tcp::socket& socket, std::span<const uint8_t> data, Clock::time_point deadline) {
    asio::steady_timer timer(socket.get_executor(), deadline);
    auto r = co_await (asio::async_write(socket, asio::buffer(data.data(), data.size()), as_tuple_awaitable) ||
                       timer.async_wait(as_tuple_awaitable));
    if (r.index() == 1) co_return TdxError::connection("send: timed out");
    auto [ec, sent] = std::get<0>(r);
    (void)sent;
    if (ec) co_return TdxError::connection("send: " + ec.message());
    co_return ok_status();
}

// What an idle connection has received since its last reply: nothing, bytes that no request
// asked for (a reply sent twice, or one that came after its request gave up), or the peer's end.
std::optional<TdxError> unrequested_input(tcp::socket& socket) {
    pollfd p{socket.native_handle(), POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return std::nullopt;
    asio::error_code ec;
    if (socket.available(ec) > 0 && !ec) return TdxError::connection("recv: unrequested data pending");
    return TdxError::disconnected();
}

// One request: its exchange, and only on a connection in step before and after it.
awaitable<Result<Bytes>> serve(tcp::socket& socket, const Bytes& data, std::chrono::nanoseconds limit) {
    if (auto stale = unrequested_input(socket)) co_return std::move(*stale);
    auto result = co_await ConnectionTask::exchange(socket, data, limit, false);
    if (result.ok() || !breaks_connection(result.error())) {
        // More bytes than the reply announced: the reply just read may be a stale one.
        asio::error_code ec;
        if (socket.available(ec) > 0) co_return TdxError::connection("recv: data beyond the reply");
    }
    co_return result;
}

// What ended an idle wait: a request, the queue's end, or the socket (input, or a failed wait).
struct IdleEnd {
    std::shared_ptr<Request> request;
    bool ended = false;
    asio::error_code wait_error;
};

// Waits for the next request while watching the socket, so that a connection the peer closes or
// writes to unasked leaves the pool before a request lands on it.
awaitable<IdleEnd> wait_idle(tcp::socket& socket, RequestQueue& rx) {
    using namespace asio::experimental;
    auto [order, rec, req, wec] =
        co_await make_parallel_group(rx.channel().async_receive(deferred),
                                     socket.async_wait(tcp::socket::wait_read, deferred))
            .async_wait(wait_for_one(), asio::use_awaitable);
    (void)order;
    IdleEnd end;
    // Both may have completed; a request taken is never dropped.
    if (!rec) {
        end.request = std::move(req);
        end.ended = end.request == nullptr;
    } else if (rec != error::channel_cancelled && rec != asio::error::operation_aborted) {
        end.ended = true;
    }
    if (wec != asio::error::operation_aborted) end.wait_error = wec;
    co_return end;
}

void close_socket(tcp::socket& socket) {
    asio::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

}  // namespace

bool breaks_connection(const TdxError& e) {
    switch (e.kind()) {
        case TdxError::Kind::Connection:
        case TdxError::Kind::Disconnected:
        case TdxError::Kind::ConnectionTimeout:
        case TdxError::Kind::Io:
            return true;
        default:
            return false;
    }
}

awaitable<Result<Bytes>> ConnectionTask::exchange(tcp::socket& socket, std::span<const uint8_t> data,
                                                  std::chrono::nanoseconds limit, bool allow_empty) {
    const auto deadline = Clock::now() + limit;
    auto sent = co_await send_all(socket, data, deadline);
    if (!sent) co_return std::move(sent).error();
    auto raw = co_await recv_exact(socket, RESPONSE_HEADER_SIZE, deadline);
    if (!raw) co_return std::move(raw).error();
    auto header = ResponseHeader::parse(*raw);
    if (!header) co_return std::move(header).error();
    auto body = co_await recv_exact(socket, header->zip_size, deadline);
    if (!body) co_return std::move(body).error();
    if (body->empty() && !allow_empty) co_return TdxError::coded(codes::DISCONNECTED, "empty response body");
    if (!header->is_compressed()) co_return std::move(*body);
    co_return decompress_zlib(*body, header->unzip_size);
}

awaitable<Result<tcp::socket>> ConnectionTask::connect(std::string ip, uint16_t port, std::chrono::nanoseconds limit,
                                                       NameResolver resolve) {
    auto ex = co_await asio::this_coro::executor;
    const std::string addr = ip + ":" + std::to_string(port);
    const auto deadline = Clock::now() + limit;
    tcp::socket socket(ex);
    {
        auto found = co_await find_endpoints(ip, port, resolve, deadline);
        if (!found) co_return TdxError::coded(codes::CONNECTION_TIMEOUT, addr);
        if (!found->error.empty()) co_return TdxError::connection("connect " + addr + ": " + found->error);
        asio::steady_timer timer(ex, deadline);
        auto r = co_await (asio::async_connect(socket, found->endpoints, as_tuple_awaitable) ||
                           timer.async_wait(as_tuple_awaitable));
        if (r.index() == 1) co_return TdxError::coded(codes::CONNECTION_TIMEOUT, addr);
        if (auto ec = std::get<0>(std::get<0>(r))) {
            co_return TdxError::connection("connect " + addr + ": " + ec.message());
        }
    }
    asio::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    if (ec) co_return TdxError::connection("set_nodelay: " + ec.message());
    for (const auto& packet : SETUP_PACKETS) {
        auto reply = co_await exchange(socket, packet, limit, true);
        if (!reply) co_return std::move(reply).error();
    }
    co_return std::move(socket);
}

awaitable<Result<tcp::socket>> ConnectionTask::connect(ConnectionTarget target) {
    co_return co_await connect(std::move(target.ip), target.port, target.limit, std::move(target.resolve));
}

awaitable<void> ConnectionTask::run(tcp::socket socket, std::shared_ptr<RequestQueue> rx, ConnectionTarget target) {
    for (;;) {
        bool ended = false;
        auto req = rx->try_next(ended);
        if (!req && !ended) {
            auto idle = co_await wait_idle(socket, *rx);
            if (idle.ended) break;
            req = std::move(idle.request);
            if (!req) {
                // Woken by the socket alone: the peer's end, bytes nobody asked for, or a wait
                // the socket cannot do.
                auto why = unrequested_input(socket);
                if (!why && idle.wait_error) why = TdxError::connection("recv: " + idle.wait_error.message());
                if (!why) continue;
                close_socket(socket);
                rx->shut(*why);
                co_return;
            }
        }
        if (ended) break;
        auto result = co_await serve(socket, req->data(), target.limit);
        if (result.ok()) {
            // A reply that is not the answer asked for: this request's own answer is still on its
            // way, so the stream is out of step. The caller hears at once; the requests queued
            // behind it wait for the new connection.
            if (Status st = req->check(*result); !st) {
                close_socket(socket);
                req->answer(std::move(st).error());
                req.reset();
                auto reopened = co_await connect(target);
                if (!reopened) {
                    rx->shut(reopened.error());
                    co_return;
                }
                socket = std::move(*reopened);
                continue;
            }
        }
        if (!result.ok() && breaks_connection(result.error())) {
            close_socket(socket);
            // Out of the pool before the caller hears of it, so that its retry finds only live
            // connections.
            rx->shut(TdxError::connection("connection closed after a failed exchange"));
            req->answer(std::move(result));
            co_return;
        }
        req->answer(std::move(result));
    }
    rx->shut(TdxError::disconnected());
}

void ConnectionTask::start(tcp::socket socket, std::shared_ptr<RequestQueue> rx, ConnectionTarget target) {
    auto ex = socket.get_executor();
    asio::co_spawn(ex, run(std::move(socket), rx, std::move(target)), [rx](std::exception_ptr e) {
        // Nothing in the task throws but exhaustion of memory; even then nobody may be left
        // waiting in its queue.
        if (e) rx->shut(TdxError::io("connection task failed"));
    });
}

}  // namespace quotix::net
