// One pooled connection of the asynchronous client: opening it (TCP connect, TCP_NODELAY, setup
// exchange) and the task that alone uses its socket, serving queued requests one at a time.
#pragma once

#include "net/asio_config.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "error.hpp"
#include "net/async_primitives.hpp"

namespace quotix::net {

struct ConnectionTask {
    // Connect, nodelay and the three setup exchanges, each bounded by `limit`. A connect that
    // runs out of time is coded 2002 with "ip:port"; a failed one is `Connection`
    // "connect ip:port: why".
    static asio::awaitable<Result<asio::ip::tcp::socket>> connect(std::string ip, uint16_t port,
                                                                  std::chrono::nanoseconds limit);

    // One exchange: write `data`, read the header and exactly zip_size body bytes, inflate when
    // the sizes differ, all before `limit` runs out. An empty body is coded 2003 unless
    // `allow_empty` (setup replies).
    static asio::awaitable<Result<Bytes>> exchange(asio::ip::tcp::socket& socket, std::span<const uint8_t> data,
                                                   std::chrono::nanoseconds limit, bool allow_empty);

    // Serves `rx` in queue order until the queue is closed or ends. After a failed exchange that may
    // have left bytes in flight (a write, read or time-out failure) the socket is closed and
    // every later request is answered with an error without touching the network.
    static asio::awaitable<void> run(asio::ip::tcp::socket socket, std::shared_ptr<RequestQueue> rx,
                                     std::chrono::nanoseconds limit);
};

// The connection must not be used again after this error: part of a reply may still be on its
// way. Errors decided after the whole reply was read (an empty body, a corrupt zlib stream)
// leave it in step.
bool breaks_connection(const TdxError& e);

}  // namespace quotix::net
