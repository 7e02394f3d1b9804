#include <cstring>

#include "async/client.hpp"
#include "core/error_codes.hpp"
#include "protocol/coefficient.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"
#include "shared/query_rules.hpp"

namespace quotix::net {

using asio::awaitable;

awaitable<Result<std::vector<IndexBar>>> AsyncTdxHqClient::get_index_bars(uint8_t category, uint8_t market,
                                                                          std::string code, uint32_t start,
                                                                          uint16_t count, uint8_t /*fq*/) {
    if (auto s = check_start(start); !s) co_return std::move(s).error();
    co_return co_await request(build_security_bars_packet(category, market, code, start, count, 0),
                               index_bars_decoder(category));
}

awaitable<Result<std::vector<XdXrInfo>>> AsyncTdxHqClient::get_xdxr_info(uint8_t market, std::string code) {
    co_return co_await request(build_xdxr_info_packet(market, code), parse_xdxr_info);
}

awaitable<Result<FinanceInfo>> AsyncTdxHqClient::get_finance_info(uint8_t market, std::string code) {
    co_return co_await request(build_finance_info_packet(market, code), finance_decoder(market, code));
}

awaitable<Result<uint16_t>> AsyncTdxHqClient::get_security_count(uint8_t market) {
    {
        auto guard = co_await count_mu_.lock();
        auto it = count_cache_.find(market);
        if (it != count_cache_.end() && it->second.valid(std::chrono::steady_clock::now())) {
            co_return it->second.value;
        }
    }
    auto count = co_await request(build_security_count_packet(market), parse_security_count);
    if (!count) co_return count;
    {
        auto guard = co_await count_mu_.lock();
        count_cache_.insert_or_assign(market, CacheEntry<uint16_t>{*count, std::chrono::steady_clock::now() + seams_.cache_ttl});
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
    auto list = co_await request(build_security_list_packet(market, start), parse_security_list);
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
    co_return co_await request(build_security_quotes_packet(kept), parse_security_quotes);
}

awaitable<Result<std::vector<MinuteTimePrice>>> AsyncTdxHqClient::get_history_minute_time_data(uint8_t market,
                                                                                               std::string code,
                                                                                               uint32_t date) {
    co_return co_await request(build_history_minute_time_data_packet(market, code, date),
                               minute_time_decoder(market, code));
}

awaitable<Result<std::vector<MinuteTimePrice>>> AsyncTdxHqClient::get_minute_time_data(uint8_t market,
                                                                                       std::string code) {
    co_return co_await get_history_minute_time_data(market, std::move(code), today_yyyymmdd());
}

awaitable<Result<std::vector<TickData>>> AsyncTdxHqClient::get_transaction_data(uint8_t market, std::string code,
                                                                                uint16_t start, uint16_t count) {
    co_return co_await request(build_transaction_data_packet(market, code, start, count),
                               live_ticks_decoder(get_security_coefficient(market, code)));
}

awaitable<Result<std::vector<TickData>>> AsyncTdxHqClient::get_history_transaction_data(
    uint8_t market, std::string code, uint16_t start, uint16_t count, uint32_t date) {
    co_return co_await request(build_history_transaction_data_packet(market, code, start, count, date),
                               history_ticks_decoder(get_security_coefficient(market, code)));
}

}  // namespace quotix::net
