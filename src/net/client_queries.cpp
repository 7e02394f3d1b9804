// The pooled client's data queries other than security bars: one packet, one limiter, one parser
// each, plus the per-market caches, the quote batch limit, the block-code refusal and the server
// switch of empty index bars.
#include "core/error_codes.hpp"
#include "net/block_download.hpp"
#include "net/client.hpp"
#include "net/kline_switch.hpp"
#include "protocol/block_file.hpp"
#include "protocol/coefficient.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"
#include "shared/query_rules.hpp"

namespace quotix::net {

Result<std::vector<XdXrInfo>> TdxHqClient::get_xdxr_info(uint8_t market, std::string_view code) {
    return request(build_xdxr_info_packet(market, code), rate_limiter_, parse_xdxr_info);
}

Result<FinanceInfo> TdxHqClient::get_finance_info(uint8_t market, std::string_view code) {
    return request(build_finance_info_packet(market, code), rate_limiter_,
                   finance_decoder(market, std::string(code)));
}

Result<std::vector<SecurityInfo>> TdxHqClient::get_security_list(uint8_t market, uint32_t start) {
    QTX_TRY(check_start(start));
    auto fetch = [&] {
        return request(build_security_list_packet(market, static_cast<uint16_t>(start)), rate_limiter_,
                       parse_security_list);
    };
    if (start != 0) return fetch();
    {
        std::lock_guard lock(list_cache_mu_);
        auto it = list_cache_.find(market);
        if (it != list_cache_.end() && it->second.valid(std::chrono::steady_clock::now()))
            return it->second.value;
    }
    auto list = fetch();
    if (!list) return list;
    std::lock_guard lock(list_cache_mu_);
    list_cache_[market] = CacheEntry<std::vector<SecurityInfo>>{*list, cache_expiry_from_now()};
    return list;
}

Result<uint16_t> TdxHqClient::get_security_count(uint8_t market) {
    {
        std::lock_guard lock(count_cache_mu_);
        auto it = count_cache_.find(market);
        if (it != count_cache_.end() && it->second.valid(std::chrono::steady_clock::now()))
            return it->second.value;
    }
    auto count = request(build_security_count_packet(market), rate_limiter_, parse_security_count);
    if (!count) return count;
    std::lock_guard lock(count_cache_mu_);
    count_cache_[market] = CacheEntry<uint16_t>{*count, cache_expiry_from_now()};
    return count;
}

Result<std::vector<SecurityQuote>> TdxHqClient::get_security_quotes(
    std::span<const std::pair<uint8_t, std::string>> stocks) {
    const auto kept = limit_quote_batch(stocks, "hq");
    for (const auto& [market, code] : kept) QTX_TRY(refuse_block_code(code));
    return request(build_security_quotes_packet(kept), rate_limiter_, parse_security_quotes);
}

Result<std::vector<IndexBar>> TdxHqClient::get_index_bars(uint8_t category, uint8_t market,
                                                          std::string_view code, uint32_t start,
                                                          uint16_t count) {
    QTX_TRY(refuse_block_code(code));
    QTX_TRY(check_start(start));
    return bars_switching_on_empty<IndexBar>(
        category, code, "index bars", "index K-line",
        [&] {
            return request(build_security_bars_packet(category, market, code, start, count, 0),
                           daily_rate_limiter_, index_bars_decoder(category));
        },
        [this] { reconnect_to_another_server(); });
}

Result<std::vector<MinuteTimePrice>> TdxHqClient::get_history_minute_time_data(
    uint8_t market, std::string_view code, uint32_t date) {
    return request(build_history_minute_time_data_packet(market, code, date), minute_rate_limiter_,
                   minute_time_decoder(market, std::string(code)));
}

Result<std::vector<TickData>> TdxHqClient::get_transaction_data(uint8_t market, std::string_view code,
                                                                uint32_t start, uint16_t count) {
    QTX_TRY(check_start(start));
    return request(build_transaction_data_packet(market, code, start, count), minute_rate_limiter_,
                   live_ticks_decoder(get_security_coefficient(market, code)));
}

Result<std::vector<TickData>> TdxHqClient::get_history_transaction_data(uint8_t market,
                                                                        std::string_view code,
                                                                        uint32_t start,
                                                                        uint16_t count,
                                                                        uint32_t date) {
    QTX_TRY(check_start(start));
    return request(build_history_transaction_data_packet(market, code, start, count, date),
                   minute_rate_limiter_, history_ticks_decoder(get_security_coefficient(market, code)));
}

Result<std::vector<BlockRecord>> TdxHqClient::get_and_parse_block_info(std::string_view file_name) {
    auto data = download_block_file(general_requester(), file_name);
    if (!data) return std::move(data).error();
    return parse_block(*data);
}

}  // namespace quotix::net
