#include "error_codes.hpp"
#include "net/async_client.hpp"
#include "net/packet.hpp"
#include "protocol/adjuster.hpp"
#include "protocol/parsers.hpp"

namespace quotix::net {

using asio::awaitable;

namespace {

uint32_t date_key(uint32_t y, uint32_t m, uint32_t d) { return y * 10000 + m * 100 + d; }

size_t max_context_pages(uint8_t tier) {
    switch (tier) {
        case FQ_CONTEXT_LOW: return 3;
        case FQ_CONTEXT_HIGH: return 9;
        default: return 6;
    }
}

}  // namespace

awaitable<Result<std::vector<SecurityBar>>> AsyncTdxHqClient::get_security_bars(uint8_t category, uint8_t market,
                                                                                std::string code, uint32_t start,
                                                                                uint16_t count, uint8_t fq) {
    // The request carries start in 16 bits; a larger one would silently ask for other bars.
    if (start > 0xFFFF) co_return TdxError::coded(codes::ARGUMENT_OUT_OF_RANGE, "start=" + std::to_string(start));
    auto body = co_await send_and_recv(build_security_bars_packet(category, market, code, start, count, fq));
    if (!body) co_return std::move(body).error();
    auto bars = parse_security_bars(*body, category);
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
    std::vector<SecurityBar> context;
    if (bars.empty()) co_return context;
    std::optional<uint32_t> earliest;
    for (const auto& e : events) {
        if (e.category != 1) continue;
        const uint32_t d = date_key(e.year, e.month, e.day);
        if (!earliest || d < *earliest) earliest = d;
    }
    // An event on the first bar's own date also needs the close of the bar before it.
    if (!earliest || date_key(bars.front().year, bars.front().month, bars.front().day) < *earliest) {
        co_return context;
    }
    const size_t limit = max_context_pages(fq_context_tier());
    // The first page is the one just older than the caller's window, so no bar between the two
    // is skipped; offsets past 16 bits cannot be asked for.
    uint64_t offset = first_offset;
    for (size_t pages = 0; pages < limit && offset <= 0xFFFF; ++pages, offset += CONTEXT_PAGE_SIZE) {
        auto body = co_await send_and_recv(build_security_bars_packet(category, market, code,
                                                                      static_cast<uint32_t>(offset),
                                                                      CONTEXT_PAGE_SIZE, 0));
        // A missing page would adjust with the wrong close: report it rather than degrade.
        if (!body) co_return std::move(body).error();
        auto page = parse_security_bars(*body, category);
        if (!page) co_return std::move(page).error();
        if (page->empty()) break;
        const auto& f = page->front();
        const bool reaches_back = date_key(f.year, f.month, f.day) < *earliest;
        page->insert(page->end(), std::make_move_iterator(context.begin()), std::make_move_iterator(context.end()));
        context = std::move(*page);
        if (reaches_back) break;
    }
    co_return context;
}

}  // namespace quotix::net
