#include "async/client.hpp"
#include "core/error_codes.hpp"
#include "protocol/adjuster.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"
#include "shared/fq_context.hpp"
#include "shared/query_rules.hpp"

namespace quotix::net {

using asio::awaitable;

awaitable<Result<std::vector<SecurityBar>>> AsyncTdxHqClient::get_security_bars(uint8_t category, uint8_t market,
                                                                                std::string code, uint32_t start,
                                                                                uint16_t count, uint8_t fq) {
    // The request carries start in 16 bits; a larger one would silently ask for other bars.
    if (auto s = check_start(start); !s) co_return std::move(s).error();
    auto bars = co_await request(build_security_bars_packet(category, market, code, start, count, fq),
                                 security_bars_decoder(category));
    if (!bars || fq == 0) co_return bars;

    auto events = co_await get_xdxr_info(market, code);
    // Without events the bars cannot be adjusted; handing them back as if they were would be
    // wrong prices reported as success. With no bar there is nothing to get wrong.
    if (!events) {
        if (bars->empty()) co_return bars;
        co_return std::move(events).error();
    }
    auto context = co_await fetch_context_bars_for_adjust(category, market, code,
                                                          uint64_t{start} + count, *bars, *events);
    if (!context) co_return std::move(context).error();
    adjust_security_bars(*bars, *context, *events, fq == 2 ? 2 : 1);
    co_return bars;
}

awaitable<Result<std::vector<SecurityBar>>> AsyncTdxHqClient::fetch_context_bars_for_adjust(
    uint8_t category, uint8_t market, std::string code, uint64_t first_offset,
    const std::vector<SecurityBar>& bars, const std::vector<XdXrInfo>& events) {
    // An event on the first bar's own date also needs the close of the bar before it.
    const auto earliest = earliest_ex_rights_date(events);
    if (!needs_fq_context(bars, earliest)) co_return std::vector<SecurityBar>{};
    FqContextPages walk(category, market, code, first_offset, *earliest, fq_context_max_pages(fq_context_tier()));
    while (!walk.done()) {
        auto page = co_await request(walk.packet(), security_bars_decoder(category));
        if (!page) co_return std::move(page).error();
        walk.take(std::move(*page));
    }
    co_return std::move(walk.context());
}

}  // namespace quotix::net
