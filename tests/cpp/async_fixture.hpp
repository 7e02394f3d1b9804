// Shared pieces of the asynchronous client tests: a small runtime, a client with short timings
// and a connect to the loopback mock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "async/client.hpp"
#include "async/runtime.hpp"
#include "client_fixture.hpp"
#include "hex_util.hpp"
#include "mock_server.hpp"

namespace quotix::testing {

// Retry pauses short enough for failure tests; the real schedule has a test of its own.
inline net::AsyncClientSeams fast_seams() {
    net::AsyncClientSeams s;
    s.retry_delays = {0.001, 0.001, 0.001, 0.001};
    return s;
}

struct AsyncHarness {
    explicit AsyncHarness(uint64_t pool_size = 1, net::AsyncClientSeams seams = fast_seams(), size_t threads = 2)
        : rt(threads), client(net::AsyncTdxHqClient::with_pool_size(rt, pool_size, seams)) {}

    // Generous by default so that a loaded machine never fails a connect; tests of the bounds
    // give their own.
    Status connect(uint16_t port, double timeout = 2.0) {
        return rt.block_on(client->connect("127.0.0.1", port, timeout));
    }
    size_t connections() { return rt.block_on(client->connection_count()).value(); }

    // Declared first: the runtime goes before the client, as with the Python owner.
    net::AsyncRuntime rt;
    std::unique_ptr<net::AsyncTdxHqClient> client;
};

// The raw bytes of the logged request `i` of one kind.
inline std::vector<uint8_t> raw_request(test::MockServer& mock, const std::string& cmd, size_t i = 0) {
    auto log = mock.request_log(cmd);
    if (log.size() <= i) return {};
    return hex(log.at(i)["raw"].get<std::string>());
}

}  // namespace quotix::testing
