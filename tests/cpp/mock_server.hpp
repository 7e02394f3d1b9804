// Launcher of the loopback mock quote server (tests/mock_server/server.py), a child process so that
// it never shares the tests' blocking calls. Helper-side failures throw std::runtime_error.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace quotix::test {

inline sockaddr_in loopback_addr(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One '\n'-ended line from fd: the server never writes past the line that is awaited.
inline std::string read_line(int fd) {
    std::string line;
    char buf[65536];
    while (line.empty() || line.back() != '\n') {
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = ::poll(&p, 1, 15000) > 0 ? ::read(fd, buf, sizeof buf) : -1;
        if (n <= 0) throw std::runtime_error("mock server did not answer");
        line.append(buf, static_cast<size_t>(n));
    }
    return line;
}

class MockServer {
public:
    explicit MockServer(int servers = 1) {
        // Close-on-exec keeps our pipe ends out of every child: the server's stdin ends with us.
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::string script = QUOTIX_SOURCE_DIR "/tests/mock_server/server.py", n = std::to_string(servers);
        char* argv[] = {const_cast<char*>("python3"), script.data(), const_cast<char*>("--servers"), n.data(), nullptr};
        if (::posix_spawnp(&pid_, "python3", &fa, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        fds_ = {in[1], out[0], ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        try {
            const auto info = nlohmann::json::parse(read_line(out[0]));  // {"ports": [...], "control": P}
            for (const auto& p : info["ports"]) ports_.push_back(p.get<uint16_t>());
            const sockaddr_in a = loopback_addr(info["control"].get<uint16_t>());
            if (::connect(fds_[2], reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
                throw std::runtime_error("cannot connect to the mock control port");
        } catch (...) {
            stop();
            throw;
        }
    }
    ~MockServer() { stop(); }
    MockServer(const MockServer&) = delete;
    MockServer& operator=(const MockServer&) = delete;

    uint16_t port(size_t i = 0) const { return ports_.at(i); }
    const std::vector<uint16_t>& ports() const { return ports_; }

    // One control call (tests/mock_server/README.md): a reply with "ok": false throws.
    nlohmann::json call(const std::string& op, nlohmann::json fields = nlohmann::json::object()) {
        fields["op"] = op;
        const std::string line = fields.dump() + "\n";
        if (::send(fds_[2], line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("mock control channel write failed");
        auto reply = nlohmann::json::parse(read_line(fds_[2]));
        if (!reply.value("ok", false)) throw std::runtime_error("mock control '" + op + "' failed: " + reply.dump());
        return reply;
    }
    void set_fault(const nlohmann::json& fault) { call("set_fault", {{"fault", fault}}); }
    // Clears the counters, the request log and every fault.
    void reset() { call("reset"); }
    // A port that is off refuses connections; `drop` also closes its open ones (the server went
    // away).
    void listen(int server, bool on, bool drop = false) {
        call("listen", {{"server", server}, {"on", on}, {"drop", drop}});
    }

    // Counters of one server (index) or of all (-1); requests of one kind ("bars", ...) or all ("").
    int requests(const std::string& cmd = "", int server = -1) {
        const auto c = counters(server);
        return cmd.empty() ? c["requests_total"].get<int>() : c["requests"].value(cmd, 0);
    }
    int accepted(int server = -1) { return counters(server)["accepted"].get<int>(); }
    int handshakes(int server = -1) { return counters(server)["handshakes"].get<int>(); }
    int open_connections(int server = -1) { return counters(server)["open"].get<int>(); }
    // Decoded requests in arrival order: [{server, conn, cmd, args, raw, mono}].
    nlohmann::json request_log(const std::string& cmd = "") {
        return call("log", cmd.empty() ? nlohmann::json::object() : nlohmann::json{{"cmd", cmd}})["entries"];
    }

private:
    nlohmann::json counters(int server) {
        const auto c = call("counters");
        return server < 0 ? c["total"] : c["servers"].at(static_cast<size_t>(server));
    }
    // The mock keeps nothing worth a graceful end.
    void stop() {
        for (int fd : fds_) ::close(fd);
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }

    pid_t pid_ = -1;
    std::vector<int> fds_;  // the server's stdin and stdout, the control connection
    std::vector<uint16_t> ports_;
};

}  // namespace quotix::test
