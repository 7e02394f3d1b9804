// Shared pieces of the asynchronous client tests: a runtime with a client of short timings.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "async/client.hpp"
#include "async/runtime.hpp"
#include "client_fixture.hpp"

namespace quotix::testing {

using namespace std::chrono_literals;

// Retry pauses short enough for failure tests.
inline net::AsyncClientSeams fast_seams(std::chrono::milliseconds cache_ttl = 30s) {
    net::AsyncClientSeams s;
    s.retry_delays = {0.001, 0.001, 0.001, 0.001};
    s.cache_ttl = cache_ttl;
    return s;
}

// Whether `r` failed with the coded error `code`.
template <class R>
bool failed_with(const R& r, uint32_t code) {
    return !r.ok() && r.error().display().rfind("[E" + std::to_string(code) + "] ", 0) == 0;
}

struct AsyncHarness {
    explicit AsyncHarness(uint64_t pool_size = 1, net::AsyncClientSeams seams = fast_seams(), size_t threads = 2)
        : rt(threads), client(net::AsyncTdxHqClient::with_pool_size(rt, pool_size, seams)) {}

    template <class T>
    auto run(asio::awaitable<T> op) {
        return rt.block_on(std::move(op));
    }
    // Generous by default so that a loaded machine never fails a connect.
    Status connect(uint16_t port, double timeout = 2.0) { return run(client->connect("127.0.0.1", port, timeout)); }
    size_t connections() { return run(client->connection_count()).value(); }

    // Declared first: the runtime goes before the client, as with the Python owner.
    net::AsyncRuntime rt;
    std::unique_ptr<net::AsyncTdxHqClient> client;
};

}  // namespace quotix::testing
