#include "net/async_connection.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include <tuple>
#include <utility>
#include <variant>

#include "error_codes.hpp"
#include "net/packet.hpp"
#include "net/response.hpp"

namespace quotix::net {

using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

namespace {

awaitable<asio::error_code> resolve_and_connect(tcp::socket& socket, std::string ip, std::string port) {
    auto ex = co_await asio::this_coro::executor;
    tcp::resolver resolver(ex);
    auto [rec, endpoints] = co_await resolver.async_resolve(ip, port, as_tuple_awaitable);
    if (rec) co_return rec;
    auto [cec, ep] = co_await asio::async_connect(socket, endpoints, as_tuple_awaitable);
    (void)ep;
    co_return cec;
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

awaitable<Result<tcp::socket>> ConnectionTask::connect(std::string ip, uint16_t port, std::chrono::nanoseconds limit) {
    auto ex = co_await asio::this_coro::executor;
    const std::string addr = ip + ":" + std::to_string(port);
    tcp::socket socket(ex);
    {
        asio::steady_timer timer(ex, Clock::now() + limit);
        auto r = co_await (resolve_and_connect(socket, ip, std::to_string(port)) ||
                           timer.async_wait(as_tuple_awaitable));
        if (r.index() == 1) co_return TdxError::coded(codes::CONNECTION_TIMEOUT, addr);
        if (auto ec = std::get<0>(r)) co_return TdxError::connection("connect " + addr + ": " + ec.message());
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

awaitable<void> ConnectionTask::run(tcp::socket socket, std::shared_ptr<RequestQueue> rx, std::chrono::nanoseconds limit) {
    bool broken = false;
    for (;;) {
        auto [ec, req] = co_await rx->async_receive(as_tuple_awaitable);
        // Closed, or the end marker its dropped handle queued behind the last request.
        if (ec || !req) break;
        if (broken) {
            req->answer(TdxError::connection("connection closed after a failed exchange"));
            continue;
        }
        auto result = co_await exchange(socket, req->data(), limit, false);
        if (!result.ok() && breaks_connection(result.error())) {
            broken = true;
            asio::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        }
        req->answer(std::move(result));
    }
}

}  // namespace quotix::net
