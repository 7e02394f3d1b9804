#include <cstring>

#include "async/client.hpp"
#include "core/error_codes.hpp"
#include "protocol/coefficient.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/query_rules.hpp"

namespace quotix::net {

using asio::awaitable;

awaitable<Result<std::vector<IndexBar>>> AsyncTdxHqClient::get_index_bars(uint8_t category, uint8_t market,
                                                                          std::string code, uint32_t start,
                                                                          uint16_t count, uint8_t /*fq*/) {
    if (auto s = check_start(start); !s) co_return std::move(s).error();
    auto body = co_await send_and_recv(build_security_bars_packet(category, market, code, start, count, 0));
    if (!body) co_return std::move(body).error();
    co_return parse_index_bars(*body, category);
}

awaitable<Result<std::vector<XdXrInfo>>> AsyncTdxHqClient::get_xdxr_info(uint8_t market, std::string code) {
    auto body = co_await send_and_recv(build_xdxr_info_packet(market, code));
    if (!body) co_return std::move(body).error();
    co_return parse_xdxr_info(*body);
}

awaitable<Result<FinanceInfo>> AsyncTdxHqClient::get_finance_info(uint8_t market, std::string code) {
    auto body = co_await send_and_recv(build_finance_info_packet(market, code));
    if (!body) co_return std::move(body).error();
    co_return parse_finance_info(*body, market, code);
}

awaitable<Result<uint16_t>> AsyncTdxHqClient::get_security_count(uint8_t market) {
    {
        auto guard = co_await count_mu_.lock();
        auto it = count_cache_.find(market);
        if (it != count_cache_.end() && it->second.valid(std::chrono::steady_clock::now())) {
            co_return it->second.value;
        }
    }
    auto body = co_await send_and_recv(build_security_count_packet(market));
    if (!body) co_return std::move(body).error();
    if (body->size() < 2) co_return TdxError::coded(codes::RESPONSE_LENGTH_MISMATCH, "body too short for count");
    const uint16_t count = static_cast<uint16_t>((*body)[0] | ((*body)[1] << 8));
    {
        auto guard = co_await count_mu_.lock();
        count_cache_.insert_or_assign(market, CacheEntry<uint16_t>{count, std::chrono::steady_clock::now() + seams_.cache_ttl});
    }
    co_return count;
}

awaitable<Result<std::vector<SecurityInfo>>> AsyncTdxHqClient::get_security_list(uint8_t market, uint16_t start) {
    if (start == 0) {
        auto guard = co_await list_mu_.lock();
        auto it = list_cache_.find(market);
        if (it != list_cache_.end() && it->second.valid(std::chrono::steady_clock::now())) {
            co_return std::vector<SecurityInfo>(it->second.value);
        }
    }
    auto body = co_await send_and_recv(build_security_list_packet(market, start));
    if (!body) co_return std::move(body).error();
    auto list = parse_security_list(*body);
    if (!list) co_return std::move(list).error();
    if (start == 0) {
        auto guard = co_await list_mu_.lock();
        list_cache_.insert_or_assign(
            market, CacheEntry<std::vector<SecurityInfo>>{*list, std::chrono::steady_clock::now() + seams_.cache_ttl});
    }
    co_return std::move(*list);
}

awaitable<Result<std::vector<SecurityQuote>>> AsyncTdxHqClient::get_security_quotes(
    std::vector<std::pair<uint8_t, std::string>> pairs) {
    // Cut (with its warning) before anything is sent.
    auto kept = limit_quote_batch(pairs, "async_hq");
    auto body = co_await send_and_recv(build_security_quotes_packet(kept));
    if (!body) co_return std::move(body).error();
    co_return parse_security_quotes(*body);
}

awaitable<Result<std::vector<MinuteTimePrice>>> AsyncTdxHqClient::get_history_minute_time_data(uint8_t market,
                                                                                               std::string code,
                                                                                               uint32_t date) {
    auto body = co_await send_and_recv(build_history_minute_time_data_packet(market, code, date));
    if (!body) co_return std::move(body).error();
    co_return parse_history_minute_time_data(*body, market, code);
}

awaitable<Result<std::vector<MinuteTimePrice>>> AsyncTdxHqClient::get_minute_time_data(uint8_t market,
                                                                                       std::string code) {
    co_return co_await get_history_minute_time_data(market, std::move(code), today_yyyymmdd());
}

awaitable<Result<std::vector<TickData>>> AsyncTdxHqClient::get_transaction_data(uint8_t market, std::string code,
                                                                                uint16_t start, uint16_t count) {
    auto body = co_await send_and_recv(build_transaction_data_packet(market, code, start, count));
    if (!body) co_return std::move(body).error();
    co_return parse_transaction_data_with_coefficient(*body, get_security_coefficient(market, code));
}

awaitable<Result<std::vector<TickData>>> AsyncTdxHqClient::get_history_transaction_data(
    uint8_t market, std::string code, uint16_t start, uint16_t count, uint32_t date) {
    auto body = co_await send_and_recv(build_history_transaction_data_packet(market, code, start, count, date));
    if (!body) co_return std::move(body).error();
    co_return parse_history_transaction_data_with_coefficient(*body, get_security_coefficient(market, code));
}

}  // namespace quotix::net
