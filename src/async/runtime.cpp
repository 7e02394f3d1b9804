#include "async/runtime.hpp"

namespace quotix::net {

AsyncRuntime::AsyncRuntime(size_t threads) : ctx_(std::make_shared<RuntimeContext>()) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    work_.emplace(ctx_->get_executor());
    workers_.reserve(threads);
    // Threads already started are stopped and joined if a later one cannot be created.
    struct Unwind {
        AsyncRuntime* rt;
        bool armed = true;
        ~Unwind() {
            if (armed) rt->shutdown();
        }
    } unwind{this};
    for (size_t i = 0; i < threads; ++i) {
        workers_.emplace_back([ctx = ctx_] {
            // Tasks catch their own errors; an exception here would be a bug in a handler, and
            // one lost worker must not end the process.
            for (;;) {
                try {
                    ctx->run();
                    return;
                } catch (...) {
                }
            }
        });
    }
    unwind.armed = false;
}

AsyncRuntime::~AsyncRuntime() { shutdown(); }

Result<std::unique_ptr<AsyncRuntime>> AsyncRuntime::create(size_t threads) {
    try {
        return std::make_unique<AsyncRuntime>(threads);
    } catch (const std::exception& e) {
        return TdxError::io(std::string("cannot create the async runtime: ") + e.what());
    }
}

void AsyncRuntime::shutdown() {
    {
        std::lock_guard lock(state_mu_);
        if (shut_down_.exchange(true)) return;
    }
    work_.reset();
    ctx_->stop();
    for (auto& t : workers_) t.join();
    workers_.clear();
    // With no thread left running handlers, destroy every pending task now: their sockets close
    // and every block_on still waiting sees its promise broken.
    ctx_->shutdown_services();
}

}  // namespace quotix::net
