// Security bars of the pooled client: the server switch on empty daily-and-longer results, price
// adjustment with XDXR events and context pages, and whole histories page by page.
#include "core/constants.hpp"
#include "net/client.hpp"
#include "net/kline_switch.hpp"
#include "protocol/adjuster.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"
#include "shared/fq_context.hpp"
#include "shared/query_rules.hpp"

namespace quotix::net {

namespace {

// Pages of get_security_bars_all and of the factor report's context.
constexpr uint16_t BARS_PAGE_SIZE = 800;
constexpr size_t FACTOR_REPORT_MAX_PAGES = 30;

}  // namespace

RequestFn TdxHqClient::general_requester() {
    return [this](const Bytes& packet, const ReplyCheck& check) {
        return send_and_recv_limited(packet, rate_limiter_, check);
    };
}

Result<std::vector<SecurityBar>> TdxHqClient::security_bars_unadjusted(uint8_t category,
                                                                       uint8_t market,
                                                                       std::string_view code,
                                                                       uint32_t start,
                                                                       uint16_t count, uint8_t fq) {
    QTX_TRY(refuse_block_code(code));
    QTX_TRY(check_start(start));
    return bars_switching_on_empty<SecurityBar>(
        category, code, "bars", "K-line",
        [&] {
            return request(build_security_bars_packet(category, market, code, start, count, fq),
                           daily_rate_limiter_, security_bars_decoder(category));
        },
        [this] { reconnect_to_another_server(); });
}

Result<std::vector<SecurityBar>> TdxHqClient::get_security_bars(uint8_t category, uint8_t market,
                                                                std::string_view code,
                                                                uint32_t start, uint16_t count,
                                                                uint8_t fq) {
    auto bars = security_bars_unadjusted(category, market, code, start, count, fq);
    if (!bars) return bars;
    QTX_TRY(adjust_window(*bars, fq, category, market, code, start + count, fq_context_tier(),
                          general_requester()));
    return bars;
}

Result<std::vector<SecurityBar>> TdxHqClient::get_security_bars_all(uint8_t category,
                                                                    uint8_t market,
                                                                    std::string_view code,
                                                                    uint16_t count, uint8_t fq) {
    std::vector<SecurityBar> gathered;
    if (count == 0) return gathered;
    uint32_t position = 0;
    uint32_t remaining = count;
    while (true) {
        const uint16_t page_size =
            static_cast<uint16_t>(std::min<uint32_t>(remaining, BARS_PAGE_SIZE));
        auto page = security_bars_unadjusted(category, market, code, position, page_size, fq);
        if (!page) return std::move(page).error();
        if (page->empty()) break;
        const size_t got = page->size();
        page->insert(page->end(), std::make_move_iterator(gathered.begin()),
                     std::make_move_iterator(gathered.end()));
        gathered = std::move(*page);
        if (got < page_size) break;
        position += static_cast<uint32_t>(got);
        if (remaining <= got) break;
        remaining -= static_cast<uint32_t>(got);
    }
    // One adjustment over the whole history: adjusting page by page would scale each page by only
    // the events it can see, and the prices would jump at every page boundary.
    QTX_TRY(adjust_window(gathered, fq, category, market, code,
                          static_cast<uint32_t>(gathered.size()), fq_context_tier(),
                          general_requester()));
    return gathered;
}

Result<FqFactorReport> TdxHqClient::calc_fq_factors(uint8_t market, std::string_view code,
                                                    uint32_t start, uint16_t count) {
    auto bars = security_bars_unadjusted(static_cast<uint8_t>(KLINE_DAILY), market, code, start, count, 0);
    if (!bars) return std::move(bars).error();
    auto in = fetch_fq_inputs(*bars, static_cast<uint8_t>(KLINE_DAILY), market, code, start + count,
                              FACTOR_REPORT_MAX_PAGES, general_requester());
    if (!in) return std::move(in).error();
    return quotix::calc_fq_factors(*bars, in->context, in->events);
}

}  // namespace quotix::net
