#include "async/client.hpp"

namespace quotix::net {

std::unique_ptr<AsyncTdxHqClient> AsyncTdxHqClient::with_pool_size(AsyncRuntime& runtime, uint64_t pool_size,
                                                                   AsyncClientSeams seams) {
    return std::make_unique<AsyncTdxHqClient>(runtime.context(), pool_size, seams);
}

AsyncTdxHqClient::AsyncTdxHqClient(std::shared_ptr<RuntimeContext> ctx, uint64_t pool_size, AsyncClientSeams seams)
    : ctx_(std::move(ctx)),
      seams_(seams),
      pool_size_(pool_size == 0 ? 1 : static_cast<size_t>(pool_size)),
      pool_(std::make_shared<AsyncPool>(ctx_->get_executor())),
      rate_limiter_(ctx_->get_executor()),
      count_mu_(ctx_->get_executor()),
      list_mu_(ctx_->get_executor()),
      heartbeat_mu_(ctx_->get_executor()) {}

AsyncTdxHqClient::~AsyncTdxHqClient() {
    // Closing the stop channel ends the heartbeat at its next wait; it then drops its share of
    // the pool, and the last share closes every queue.
    if (heartbeat_stop_) heartbeat_stop_->close();
}

}  // namespace quotix::net
