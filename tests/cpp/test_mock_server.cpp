// Checks that the mock-server launcher works: the process starts, its quote
// ports answer the set-up packets, and the control calls see the traffic.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mock_server.hpp"

namespace {

using quotix::test::MockServer;

const std::vector<std::vector<uint8_t>> kSetup = {
    {0x0c, 0x02, 0x18, 0x93, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0d, 0x00, 0x01},
    {0x0c, 0x02, 0x18, 0x94, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0d, 0x00, 0x02},
    {0x0c, 0x03, 0x18, 0x99, 0x00, 0x01, 0x20, 0x00, 0x20, 0x00, 0xdb, 0x0f, 0xd5, 0xd0,
     0xc9, 0xcc, 0xd6, 0xa4, 0xa8, 0xaf, 0x00, 0x00, 0x00, 0x8f, 0xc2, 0x25, 0x40, 0x13,
     0x00, 0x00, 0xd5, 0x00, 0xc9, 0xcc, 0xbd, 0xf0, 0xd7, 0xea, 0x00, 0x00, 0x00, 0x02},
};

// Security count of market 1 (Shanghai): 18 bytes, u16 market, u32 20170613.
const std::vector<uint8_t> kCountSh = {0x0c, 0x0c, 0x18, 0x6c, 0x00, 0x01, 0x08, 0x00, 0x08,
                                       0x00, 0x4e, 0x04, 0x01, 0x00, 0x75, 0xc7, 0x33, 0x01};

struct RawConn {
    int fd = -1;
    explicit RawConn(uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawConn() {
        if (fd >= 0) ::close(fd);
    }
    bool send(const std::vector<uint8_t>& p) const {
        return ::send(fd, p.data(), p.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(p.size());
    }
    // Reads exactly n bytes; false on end of stream, error or time-out.
    bool read(size_t n, std::vector<uint8_t>& out) const {
        out.assign(n, 0);
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // One reply: 16-byte header, then zip_size body bytes.
    bool reply(uint16_t& zip_size, uint16_t& unzip_size, std::vector<uint8_t>& body) const {
        std::vector<uint8_t> head;
        if (!read(16, head)) return false;
        zip_size = static_cast<uint16_t>(head[12] | (head[13] << 8));
        unzip_size = static_cast<uint16_t>(head[14] | (head[15] << 8));
        return read(zip_size, body);
    }
};

TEST(MockServer, AnswersTheSetupPacketsAndCountsThem) {
    MockServer mock;
    ASSERT_EQ(mock.ports().size(), 1u);
    RawConn conn(mock.port());
    ASSERT_GE(conn.fd, 0);
    for (const auto& p : kSetup) {
        ASSERT_TRUE(conn.send(p));
        uint16_t zip = 0, unzip = 0;
        std::vector<uint8_t> body;
        ASSERT_TRUE(conn.reply(zip, unzip, body));
        EXPECT_GT(zip, 0);
    }
    // Security count of Shanghai: 1908 entries (README data set).
    ASSERT_TRUE(conn.send(kCountSh));
    uint16_t zip = 0, unzip = 0;
    std::vector<uint8_t> body;
    ASSERT_TRUE(conn.reply(zip, unzip, body));
    ASSERT_EQ(zip, unzip);
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(body[0] | (body[1] << 8), 1908);

    EXPECT_EQ(mock.handshakes(), 1);
    EXPECT_EQ(mock.accepted(0), 1);
    EXPECT_EQ(mock.requests("setup1"), 1);
    EXPECT_EQ(mock.requests("count"), 1);
    auto log = mock.request_log("count");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["args"]["market"], 1);
    EXPECT_EQ(log[0]["args"]["date"], 20170613);
}

TEST(MockServer, RefusesConnectionsOnOneServerOnly) {
    MockServer mock(2);
    ASSERT_EQ(mock.ports().size(), 2u);
    mock.set_fault({{"action", "refuse"}, {"server", 0}});
    {
        RawConn conn(mock.port(0));
        ASSERT_GE(conn.fd, 0);
        std::vector<uint8_t> buf;
        EXPECT_FALSE(conn.read(1, buf));  // closed on accept
    }
    RawConn ok(mock.port(1));
    ASSERT_TRUE(ok.send(kSetup[0]));
    uint16_t zip = 0, unzip = 0;
    std::vector<uint8_t> body;
    EXPECT_TRUE(ok.reply(zip, unzip, body));
    EXPECT_EQ(mock.requests("setup1", 1), 1);
    EXPECT_EQ(mock.requests("", 0), 0);
}

TEST(MockServer, DestructorEndsTheProcess) {
    pid_t pid;
    {
        MockServer mock;
        pid = mock.pid();
        ASSERT_GT(pid, 0);
    }
    // Already reaped: the pid is no longer a child of this process.
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
