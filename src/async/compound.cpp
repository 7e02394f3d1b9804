#include "async/compound.hpp"

#include <algorithm>
#include <iterator>

#include "core/error_codes.hpp"
#include "protocol/adjuster.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"

namespace quotix::net {

using asio::awaitable;

namespace {

constexpr uint16_t BARS_PAGE_SIZE = 800;

}  // namespace

awaitable<Status> connect_to_first(AsyncTdxHqClient& client, std::vector<ServerEntry> servers,
                                   std::optional<double> timeout) {
    for (const auto& s : servers) {
        Status st = co_await client.connect(s.ip, s.port, timeout);
        if (st) co_return st;
    }
    co_return TdxError::coded(codes::CONNECTION_FAILED, "all servers unreachable");
}

namespace {

// Pages of 800 from the newest bar back, until `count` bars came or a page is short or empty;
// each older page goes in front, so the result is oldest first. `decoder(category)` makes each
// page's decoder.
template <class Bar, class MakeDecoder>
awaitable<Result<std::vector<Bar>>> fetch_pages(AsyncTdxHqClient& client, uint8_t category, uint8_t market,
                                                const std::string& code, uint16_t count, uint8_t flag,
                                                MakeDecoder decoder, uint32_t& next_start) {
    std::vector<Bar> gathered;
    uint32_t remaining = count;
    uint32_t start = 0;
    while (remaining > 0) {
        const auto page_size = static_cast<uint16_t>(std::min<uint32_t>(remaining, BARS_PAGE_SIZE));
        auto page = co_await client.request(build_security_bars_packet(category, market, code, start, page_size, flag),
                                            decoder(category));
        if (!page) co_return std::move(page).error();
        if (page->empty()) break;
        const auto got = static_cast<uint32_t>(page->size());
        page->insert(page->end(), std::make_move_iterator(gathered.begin()), std::make_move_iterator(gathered.end()));
        gathered = std::move(*page);
        remaining -= std::min(got, remaining);
        start += got;
        if (got < page_size) break;
    }
    next_start = start;
    co_return gathered;
}

}  // namespace

awaitable<Result<std::vector<SecurityBar>>> get_security_bars_all(AsyncTdxHqClient& client, uint8_t category,
                                                                  uint8_t market, std::string code,
                                                                  uint16_t count, uint8_t fq) {
    uint32_t start = 0;
    // The flag field carries the caller's fq, as a single page would; the prices are adjusted
    // here, once, over the whole history.
    auto pages = co_await fetch_pages<SecurityBar>(
        client, category, market, code, count, fq,
        security_bars_decoder, start);
    if (!pages) co_return std::move(pages).error();
    std::vector<SecurityBar> gathered = std::move(*pages);
    if (fq == 0 || gathered.empty()) co_return gathered;

    auto events = co_await client.get_xdxr_info(market, code);
    if (!events) co_return std::move(events).error();
    auto context = co_await client.fetch_context_bars_for_adjust(category, market, code, start, gathered, *events);
    if (!context) co_return std::move(context).error();
    adjust_security_bars(gathered, *context, *events, fq == 2 ? 2 : 1);
    co_return gathered;
}

awaitable<Result<std::vector<IndexBar>>> get_index_bars_all(AsyncTdxHqClient& client, uint8_t category,
                                                            uint8_t market, std::string code, uint16_t count) {
    uint32_t start = 0;
    co_return co_await fetch_pages<IndexBar>(
        client, category, market, code, count, 0,
        index_bars_decoder, start);
}

awaitable<Result<std::vector<FinanceInfo>>> get_finance_infos(AsyncTdxHqClient& client,
                                                              std::vector<std::pair<uint8_t, std::string>> stocks) {
    std::vector<FinanceInfo> infos;
    infos.reserve(stocks.size());
    for (auto& [market, code] : stocks) {
        auto info = co_await client.get_finance_info(market, std::move(code));
        if (!info) co_return std::move(info).error();
        infos.push_back(std::move(*info));
    }
    co_return infos;
}

}  // namespace quotix::net
