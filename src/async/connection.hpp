// One pooled connection of the asynchronous client: opening it (TCP connect, TCP_NODELAY, setup
// exchange) and the task that alone uses its socket, serving queued requests one at a time.
#pragma once

#include "async/asio_config.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "async/primitives.hpp"
#include "core/error.hpp"

namespace quotix::net {

// The addresses of a host name, or why there are none (`error` not empty).
struct NameLookup {
    std::vector<asio::ip::tcp::endpoint> endpoints;
    std::string error;
};
// Blocks until the name is resolved or the lookup fails; it need not be cancellable.
using NameResolver = std::function<NameLookup(const std::string& host, uint16_t port)>;
// The system's resolver (getaddrinfo).
NameLookup system_resolve(const std::string& host, uint16_t port);

// Where a pooled connection goes and the bound of each of its waits: what opens it, and what
// opens it again in its slot.
struct ConnectionTarget {
    std::string ip;
    uint16_t port = 0;
    std::chrono::nanoseconds limit{};
    NameResolver resolve = system_resolve;
};

struct ConnectionTask {
    // Connect, nodelay and the three setup exchanges. The TCP connect, name resolution included,
    // ends by `limit`: a numeric address is used as it is, a name is looked up on a thread of its
    // own, which the connect stops waiting for when time runs out. A connect that runs out of
    // time is coded 2002 with "ip:port"; a failed one is `Connection` "connect ip:port: why".
    // Each setup exchange is bounded by `limit` too.
    //
    // The socket is bound to the calling coroutine's executor, which must be a strand of this
    // connection's own: the time-outs here and in the task race a timer against a socket
    // operation, and the two branches of such a race must never run at once.
    static asio::awaitable<Result<asio::ip::tcp::socket>> connect(std::string ip, uint16_t port,
                                                                  std::chrono::nanoseconds limit,
                                                                  NameResolver resolve = system_resolve);
    // The same, to `target`.
    static asio::awaitable<Result<asio::ip::tcp::socket>> connect(ConnectionTarget target);

    // One exchange: write `data`, read the header and exactly zip_size body bytes, inflate when
    // the sizes differ, all before `limit` runs out. An empty body is coded 2003 unless
    // `allow_empty` (setup replies).
    static asio::awaitable<Result<Bytes>> exchange(asio::ip::tcp::socket& socket, std::span<const uint8_t> data,
                                                   std::chrono::nanoseconds limit, bool allow_empty);

    // Serves `rx` in queue order until its handle finishes it. Each request gets only a reply
    // that can be its own: bytes that arrive while no request is out, or beyond a reply, put the
    // connection out of step. Such bytes, the peer's end while idle, or a failed exchange that
    // may have left bytes in flight close the connection: the queue is shut (the connection
    // leaves the pool and what is still queued fails) and the task ends. A reply its request's
    // check refuses closes the connection too, but the server did answer: a new connection to
    // `target` takes the slot before it serves again, and only when that one cannot be opened is
    // the queue shut.
    static asio::awaitable<void> run(asio::ip::tcp::socket socket, std::shared_ptr<RequestQueue> rx,
                                     ConnectionTarget target);

    // Runs `run` detached on the socket's own executor (the strand it was opened on).
    static void start(asio::ip::tcp::socket socket, std::shared_ptr<RequestQueue> rx, ConnectionTarget target);
};

// The connection must not be used again after this error: part of a reply may still be on its
// way. Errors decided after the whole reply was read (an empty body, a corrupt zlib stream)
// leave it in step.
bool breaks_connection(const TdxError& e);

}  // namespace quotix::net
