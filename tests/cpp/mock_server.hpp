// Launcher of the loopback mock quote server (tests/mock_server/server.py). It runs as a child
// process, since a server inside the test process would share its blocking calls, and listens on
// 127.0.0.1 only. Helper-side failures throw std::runtime_error, which GoogleTest reports.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#ifndef QUOTIX_SOURCE_DIR
#error "QUOTIX_SOURCE_DIR must name the source root"
#endif

extern char** environ;

namespace quotix::test {

class MockServer {
public:
    // servers: number of quote ports. config: the server's JSON configuration,
    // e.g. {"compress": "never"} (see tests/mock_server/README.md).
    explicit MockServer(int servers = 1, const nlohmann::json& config = nlohmann::json::object()) {
        start(servers, config);
    }
    ~MockServer() { stop(); }

    MockServer(const MockServer&) = delete;
    MockServer& operator=(const MockServer&) = delete;

    static constexpr const char* host() { return "127.0.0.1"; }
    uint16_t port(size_t i = 0) const { return ports_.at(i); }
    const std::vector<uint16_t>& ports() const { return ports_; }
    uint16_t control_port() const { return control_port_; }
    pid_t pid() const { return pid_; }

    // One control call: sends {"op": op, ...fields} and returns the reply
    // object; a reply with "ok": false throws.
    nlohmann::json call(const std::string& op, nlohmann::json fields = nlohmann::json::object()) {
        fields["op"] = op;
        std::string line = fields.dump() + "\n";
        nlohmann::json reply;
        {
            // Tests may poll the counters from another thread while a client call runs.
            std::lock_guard<std::mutex> lock(ctl_mutex_);
            if (ctl_fd_ < 0) throw std::runtime_error("mock server is stopped");
            send_all(ctl_fd_, line);
            reply = nlohmann::json::parse(read_line(ctl_fd_, ctl_buf_, 10000));
        }
        if (!reply.value("ok", false)) {
            throw std::runtime_error("mock control '" + op + "' failed: " + reply.value("error", std::string("?")));
        }
        return reply;
    }

    // Adds a fault (see README: action, cmd, server, nth, skip, times and the
    // action's parameters); returns its id.
    int set_fault(const nlohmann::json& params) { return call("set_fault", {{"fault", params}})["id"].get<int>(); }
    void clear_faults() { call("clear_faults"); }
    void clear_fault(int id) { call("clear_faults", {{"id", id}}); }

    // {"servers": [{accepted, handshakes, open, requests: {name: n}, requests_total}], "total": {...}}
    nlohmann::json counters() { return call("counters"); }

    // Requests of one kind ("bars", "count", "setup1", ...; empty: all kinds),
    // on one server (index) or on all (-1).
    int requests(const std::string& cmd = "", int server = -1) {
        nlohmann::json c = pick(counters(), server);
        if (cmd.empty()) return c["requests_total"].get<int>();
        return c["requests"].value(cmd, 0);
    }
    int accepted(int server = -1) { return pick(counters(), server)["accepted"].get<int>(); }
    int handshakes(int server = -1) { return pick(counters(), server)["handshakes"].get<int>(); }
    int open_connections(int server = -1) { return pick(counters(), server)["open"].get<int>(); }

    // Decoded requests in arrival order: [{server, conn, cmd, args, raw, mono}].
    nlohmann::json request_log(const std::string& cmd = "", int server = -1, long since = 0) {
        nlohmann::json f = {{"since", since}};
        if (!cmd.empty()) f["cmd"] = cmd;
        if (server >= 0) f["server"] = server;
        return call("log", f)["entries"];
    }

    // Clears counters, the request log and (by default) every fault.
    void reset(bool faults = true) { call("reset", {{"faults", faults}}); }
    // "auto" (bodies of 256 bytes or more are zlib-compressed), "always" or "never".
    void set_compress(const std::string& mode, int server = -1) {
        nlohmann::json f = {{"compress", mode}};
        if (server >= 0) f["server"] = server;
        call("options", f);
    }
    // Stops or resumes listening on one quote port (a stopped port refuses connections).
    void listen(int server, bool on) { call("listen", {{"server", server}, {"on", on}}); }

    // Ends the process; the destructor calls it too.
    void stop() {
        if (pid_ <= 0) return;
        if (ctl_fd_ >= 0) {
            try {
                call("stop");
            } catch (...) {
            }
            ::close(ctl_fd_);
            ctl_fd_ = -1;
        }
        stop_fds();
        reap(std::chrono::milliseconds(3000));
    }

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    int ctl_fd_ = -1;
    std::string ctl_buf_;
    std::mutex ctl_mutex_;
    std::vector<uint16_t> ports_;
    uint16_t control_port_ = 0;

    static nlohmann::json pick(const nlohmann::json& c, int server) {
        return server < 0 ? c["total"] : c["servers"].at(static_cast<size_t>(server));
    }

    void start(int servers, const nlohmann::json& config) {
        int in_pipe[2];
        int out_pipe[2];
        // Close-on-exec keeps our ends out of this and any other child, so the
        // server sees end-of-file on stdin as soon as this object goes away.
        if (::pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
            ::close(in_pipe[0]);
            ::close(in_pipe[1]);
            throw std::runtime_error("pipe2 failed");
        }
        const bool verbose = std::getenv("QUOTIX_MOCK_VERBOSE") != nullptr;
        nlohmann::json cfg = config;
        if (verbose) cfg["verbose"] = true;

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
        if (!verbose) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);

        std::string script = std::string(QUOTIX_SOURCE_DIR) + "/tests/mock_server/server.py";
        std::string n = std::to_string(servers);
        std::string cfg_text = cfg.dump();
        std::vector<char*> argv = {const_cast<char*>("python3"), script.data(),
                                   const_cast<char*>("--servers"), n.data(),
                                   const_cast<char*>("--config"), cfg_text.data(), nullptr};
        int rc = ::posix_spawnp(&pid_, "python3", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in_pipe[0]);
        ::close(out_pipe[1]);
        stdin_fd_ = in_pipe[1];
        stdout_fd_ = out_pipe[0];
        if (rc != 0) {
            pid_ = -1;
            stop_fds();
            throw std::runtime_error(std::string("cannot start python3: ") + std::strerror(rc));
        }
        std::string buf;
        std::string line;
        try {
            line = read_line(stdout_fd_, buf, 15000);
        } catch (...) {
            stop_fds();
            reap(std::chrono::milliseconds(0));
            throw;
        }
        nlohmann::json info = nlohmann::json::parse(line);
        for (auto& p : info["ports"]) ports_.push_back(p.get<uint16_t>());
        control_port_ = info["control"].get<uint16_t>();
        ctl_fd_ = connect_loopback(control_port_);
    }

    void stop_fds() {
        if (stdin_fd_ >= 0) ::close(stdin_fd_);
        if (stdout_fd_ >= 0) ::close(stdout_fd_);
        stdin_fd_ = stdout_fd_ = -1;
    }

    void reap(std::chrono::milliseconds grace) {
        if (pid_ <= 0) return;
        auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        while (true) {
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                pid_ = -1;
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    static int connect_loopback(uint16_t port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            throw std::runtime_error("cannot connect to the mock control port");
        }
        return fd;
    }

    static void send_all(int fd, const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("mock control channel write failed");
            done += static_cast<size_t>(n);
        }
    }

    // Reads one '\n'-terminated line from fd, keeping any surplus in buf.
    static std::string read_line(int fd, std::string& buf, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            size_t nl = buf.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw std::runtime_error("mock server did not answer in time");
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;
            char tmp[4096];
            ssize_t n = ::read(fd, tmp, sizeof tmp);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("mock server closed its output");
            buf.append(tmp, static_cast<size_t>(n));
        }
    }
};

}  // namespace quotix::test
