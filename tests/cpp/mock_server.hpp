// Launcher of the loopback mock quote server (tests/mock_server/server.py). It runs as a child
// process, since a server inside the test process would share its blocking calls, and listens on
// 127.0.0.1 only. Helper-side failures throw std::runtime_error, which GoogleTest reports.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
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

    // One control call: sends {"op": op, ...fields} and returns the reply object; a reply with
    // "ok": false throws. Tests may poll the counters from another thread while a client call runs.
    nlohmann::json call(const std::string& op, nlohmann::json fields = nlohmann::json::object()) {
        fields["op"] = op;
        const std::string line = fields.dump() + "\n";
        nlohmann::json reply;
        {
            std::lock_guard<std::mutex> lock(ctl_mutex_);
            if (ctl_fd_ < 0) throw std::runtime_error("mock server is stopped");
            for (size_t done = 0; done < line.size();) {
                const ssize_t n = ::send(ctl_fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
                if (n <= 0 && errno != EINTR) throw std::runtime_error("mock control channel write failed");
                done += n > 0 ? static_cast<size_t>(n) : 0;
            }
            reply = nlohmann::json::parse(read_line(ctl_fd_, ctl_buf_, 10000));
        }
        if (!reply.value("ok", false))
            throw std::runtime_error("mock control '" + op + "' failed: " + reply.value("error", std::string("?")));
        return reply;
    }

    // Adds a fault (see README: action, cmd, server, nth, skip, times and the action's
    // parameters); returns its id.
    int set_fault(const nlohmann::json& params) { return call("set_fault", {{"fault", params}})["id"].get<int>(); }
    void clear_faults() { call("clear_faults"); }
    void clear_fault(int id) { call("clear_faults", {{"id", id}}); }

    // {"servers": [{accepted, handshakes, open, requests: {name: n}, requests_total}], "total": {...}}
    nlohmann::json counters() { return call("counters"); }
    // Requests of one kind ("bars", "count", "setup1", ...; empty: all kinds), on one server
    // (index) or on all (-1).
    int requests(const std::string& cmd = "", int server = -1) {
        nlohmann::json c = pick(counters(), server);
        return cmd.empty() ? c["requests_total"].get<int>() : c["requests"].value(cmd, 0);
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

    // Ends the process (a grace of 3 s, then SIGKILL); the destructor calls it too.
    void stop() {
        if (ctl_fd_ >= 0) {
            try {
                call("stop");
            } catch (...) {
            }
            ::close(ctl_fd_);
        }
        for (int fd : {stdin_fd_, stdout_fd_})
            if (fd >= 0) ::close(fd);
        ctl_fd_ = stdin_fd_ = stdout_fd_ = -1;
        if (pid_ <= 0) return;
        bool reaped = false;
        for (int i = 0; i < 600 && !(reaped = ::waitpid(pid_, nullptr, WNOHANG) != 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!reaped && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1, stdout_fd_ = -1, ctl_fd_ = -1;
    std::string ctl_buf_;
    std::mutex ctl_mutex_;
    std::vector<uint16_t> ports_;
    uint16_t control_port_ = 0;

    static nlohmann::json pick(const nlohmann::json& c, int server) {
        return server < 0 ? c["total"] : c["servers"].at(static_cast<size_t>(server));
    }

    void start(int servers, const nlohmann::json& config) {
        // Close-on-exec keeps our ends out of this and any other child, so the server sees
        // end-of-file on stdin as soon as this object goes away.
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        const bool verbose = std::getenv("QUOTIX_MOCK_VERBOSE") != nullptr;
        nlohmann::json cfg = config;
        if (verbose) cfg["verbose"] = true;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        if (!verbose) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::string script = std::string(QUOTIX_SOURCE_DIR) + "/tests/mock_server/server.py";
        std::string n = std::to_string(servers), cfg_text = cfg.dump();
        std::vector<char*> argv = {const_cast<char*>("python3"), script.data(), const_cast<char*>("--servers"),
                                   n.data(), const_cast<char*>("--config"), cfg_text.data(), nullptr};
        const int rc = ::posix_spawnp(&pid_, "python3", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        stdin_fd_ = in[1];
        stdout_fd_ = out[0];
        if (rc != 0) pid_ = -1;
        std::string buf;
        nlohmann::json info;
        try {
            if (rc != 0) throw std::runtime_error("cannot start python3");
            info = nlohmann::json::parse(read_line(stdout_fd_, buf, 15000));
        } catch (...) {
            stop();
            throw;
        }
        for (auto& p : info["ports"]) ports_.push_back(p.get<uint16_t>());
        control_port_ = info["control"].get<uint16_t>();
        ctl_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(control_port_);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(ctl_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            stop();
            throw std::runtime_error("cannot connect to the mock control port");
        }
    }

    // Reads one '\n'-terminated line from fd, keeping any surplus in buf.
    static std::string read_line(int fd, std::string& buf, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (size_t nl; (nl = buf.find('\n')) == std::string::npos;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw std::runtime_error("mock server did not answer in time");
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char tmp[4096];
            const ssize_t n = ::read(fd, tmp, sizeof tmp);
            if (n == 0 || (n < 0 && errno != EINTR)) throw std::runtime_error("mock server closed its output");
            if (n > 0) buf.append(tmp, static_cast<size_t>(n));
        }
        const size_t nl = buf.find('\n');
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return line;
    }
};

}  // namespace quotix::test
