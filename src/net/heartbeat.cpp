// The heartbeat thread, and stopping it.
#include <pthread.h>
#include <signal.h>

#include <system_error>

#include "core/logging.hpp"
#include "net/client.hpp"
#include "protocol/handshake.hpp"
#include "protocol/packet.hpp"
#include "protocol/response.hpp"

namespace quotix::net {

namespace {

// What the thread shares with its client, and its own copies of the rest.
struct HeartbeatContext {
    std::shared_ptr<StopSignal> stop;
    std::shared_ptr<std::atomic<bool>> connected;
    std::shared_ptr<SharedServer> current_server;
    std::shared_ptr<ConnectionPool> pool;
    std::vector<ServerEntry> primary_servers;
    double reconnect_timeout_s;
    std::chrono::milliseconds interval;
};

// After a failed beat: the first primary row other than `failed` that connects and handshakes
// becomes the current server.
void reconnect_walk(HeartbeatContext& ctx, const ServerAddr& failed) {
    for (const auto& row : ctx.primary_servers) {
        // Stopping must not wait for a walk over every row.
        if (ctx.stop->is_set()) return;
        if (row.ip == failed.first && row.port == failed.second) continue;
        auto conn = TcpConnection::connect(row.ip, row.port, ctx.reconnect_timeout_s);
        if (!conn) continue;
        if (!perform_handshake(*conn).ok()) continue;
        ctx.pool->push(std::move(*conn), row.ip, row.port);
        ctx.current_server->set(ServerAddr(row.ip, row.port));
        ctx.connected->store(true);
        QTX_LOG('I', "hq", "heartbeat reconnect to " << row.name << " (" << row.ip << ")");
        return;
    }
    QTX_LOG('E', "hq", "heartbeat reconnect failed, all PRIMARY servers unreachable");
}

// The server of this beat is lost: the client is marked disconnected, the pool emptied and the
// primary rows walked.
void fail_beat(HeartbeatContext& ctx, const ServerAddr& server) {
    ctx.connected->store(false);
    ctx.pool->close_all();
    QTX_LOG('W', "hq", "heartbeat failed, pool cleared, attempting reconnect...");
    reconnect_walk(ctx, server);
}

void run_heartbeat(HeartbeatContext ctx) {
    // Signals belong to the application's threads, never to this one.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    const Bytes packet = build_security_count_packet(0);
    while (!ctx.stop->is_set()) {
        if (ctx.stop->wait_for(ctx.interval)) return;

        const auto current = ctx.current_server->get();
        const ServerAddr server = server_or_first_primary(current, ctx.primary_servers);
        CheckoutTrace trace;
        auto guard = ctx.pool->checkout(server.first, server.second, &trace);
        if (!guard) {
            // A full pool says nothing about the server. A server that cannot be reached is lost,
            // however the client came to have no open connection to it: calls in progress may
            // have dropped the dead ones first, and only a failed beat moves the client away.
            // Unless a call's reconnect has meanwhile moved the client: the verdict is then on a
            // server it has left, and must not empty the new server's pool.
            if (!trace.exhausted && ctx.current_server->get() == current) fail_beat(ctx, server);
            continue;
        }
        // The reply is read to keep the stream in step, and otherwise ignored; a beat that
        // misses its deadline fails like any other.
        if (round_trip(guard->conn(), packet).ok()) continue;
        guard->discard();
        fail_beat(ctx, server);
    }
}

}  // namespace

void TdxHqClient::start_heartbeat_locked(double reconnect_timeout_s) {
    auto stop = std::make_shared<StopSignal>();
    HeartbeatContext ctx{stop, connected_, current_server_, pool_, seams_.primary_servers, reconnect_timeout_s,
                         seams_.heartbeat_interval};
    // The thread is born with every signal blocked, so none is ever delivered to it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::optional<std::thread> thread;
    try {
        thread.emplace(run_heartbeat, std::move(ctx));
    } catch (const std::system_error& e) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        // The connection is in place and usable; only the keep-alive is missing.
        QTX_LOG('E', "hq", "heartbeat thread could not be started: " << e.what());
        return;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    {
        std::lock_guard lock(heartbeat_stop_mu_);
        heartbeat_stop_ = std::move(stop);
    }
    std::lock_guard lock(heartbeat_handle_mu_);
    heartbeat_handle_ = std::move(thread);
}

void TdxHqClient::stop_heartbeat_locked() {
    {
        std::lock_guard lock(heartbeat_stop_mu_);
        if (heartbeat_stop_) heartbeat_stop_->set();
        heartbeat_stop_.reset();
    }
    std::lock_guard lock(heartbeat_handle_mu_);
    if (heartbeat_handle_) {
        heartbeat_handle_->join();  // a stored handle is always of a started, unjoined thread
        heartbeat_handle_.reset();
    }
}

void TdxHqClient::stop_heartbeat() {
    std::lock_guard control(heartbeat_control_mu_);
    stop_heartbeat_locked();
}

bool TdxHqClient::heartbeat_running() const {
    std::lock_guard lock(heartbeat_handle_mu_);
    return heartbeat_handle_.has_value();
}

void TdxHqClient::disconnect() {
    stop_heartbeat();
    {
        std::lock_guard lock(pool_mu_);
        pool_->close_all();
    }
    connected_->store(false);
    QTX_LOG('I', "hq", "disconnected");
}

}  // namespace quotix::net
