// The mock launcher itself: its quote ports answer the set-up packets, the control calls see the
// traffic, faults reach one server only, and the destructor reaps the process.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "mock_server.hpp"

namespace {

using quotix::test::MockServer;
using Bytes = std::vector<uint8_t>;

const std::vector<Bytes> kSetup = {
    {0x0c, 0x02, 0x18, 0x93, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0d, 0x00, 0x01},
    {0x0c, 0x02, 0x18, 0x94, 0x00, 0x01, 0x03, 0x00, 0x03, 0x00, 0x0d, 0x00, 0x02},
    {0x0c, 0x03, 0x18, 0x99, 0x00, 0x01, 0x20, 0x00, 0x20, 0x00, 0xdb, 0x0f, 0xd5, 0xd0,
     0xc9, 0xcc, 0xd6, 0xa4, 0xa8, 0xaf, 0x00, 0x00, 0x00, 0x8f, 0xc2, 0x25, 0x40, 0x13,
     0x00, 0x00, 0xd5, 0x00, 0xc9, 0xcc, 0xbd, 0xf0, 0xd7, 0xea, 0x00, 0x00, 0x00, 0x02},
};
// Security count of market 1 (Shanghai) on 20170613.
const Bytes kCountSh = {0x0c, 0x0c, 0x18, 0x6c, 0x00, 0x01, 0x08, 0x00, 0x08,
                        0x00, 0x4e, 0x04, 0x01, 0x00, 0x75, 0xc7, 0x33, 0x01};

struct RawConn {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    explicit RawConn(uint16_t port) {
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~RawConn() { ::close(fd); }
    bool read(size_t n, Bytes& out) const {
        out.assign(n, 0);
        for (size_t got = 0; got < n;) {
            ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // Sends p and reads one reply (16-byte header, then zip_size bytes); returns the body and
    // whether it came uncompressed.
    bool exchange(const Bytes& p, Bytes& body, bool& plain) const {
        Bytes head;
        if (::send(fd, p.data(), p.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(p.size())) return false;
        if (!read(16, head)) return false;
        const size_t zip = head[12] | (head[13] << 8), unzip = head[14] | (head[15] << 8);
        plain = zip == unzip;
        return read(zip, body) && zip > 0;
    }
};

TEST(MockServer, AnswersSetupAndCountFaultsOneServerAndIsReaped) {
    pid_t pid;
    {
        MockServer mock(2);
        pid = mock.pid();
        ASSERT_EQ(mock.ports().size(), 2u);
        mock.set_fault({{"action", "refuse"}, {"server", 0}});
        {
            RawConn refused(mock.port(0));
            Bytes buf;
            EXPECT_FALSE(refused.read(1, buf));  // closed on accept
        }
        RawConn conn(mock.port(1));
        Bytes body;
        bool plain = false;
        for (const auto& p : kSetup) ASSERT_TRUE(conn.exchange(p, body, plain));
        ASSERT_TRUE(conn.exchange(kCountSh, body, plain));
        ASSERT_TRUE(plain);
        ASSERT_EQ(body.size(), 2u);
        EXPECT_EQ(body[0] | (body[1] << 8), 1908);

        EXPECT_EQ(mock.handshakes(1), 1);
        EXPECT_EQ(mock.requests("setup1", 1), 1);
        EXPECT_EQ(mock.requests("", 0), 0);
        auto log = mock.request_log("count");
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0]["args"]["market"], 1);
        EXPECT_EQ(log[0]["args"]["date"], 20170613);
    }
    // Already reaped: the pid is no longer a child of this process.
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
