#include "shared/fq_context.hpp"

#include <algorithm>

#include "protocol/adjuster.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"

namespace quotix::net {

size_t fq_context_max_pages(uint8_t tier) {
    switch (tier) {
        case FQ_CONTEXT_LOW: return 3;
        case FQ_CONTEXT_HIGH: return 9;
        default: return 6;
    }
}

uint32_t bar_date(const SecurityBar& bar) { return bar.year * 10000 + bar.month * 100 + bar.day; }

std::optional<uint32_t> earliest_ex_rights_date(std::span<const XdXrInfo> events) {
    std::optional<uint32_t> earliest;
    for (const auto& e : events) {
        if (e.category != 1) continue;
        const uint32_t d = e.year * 10000 + e.month * 100 + e.day;
        if (!earliest || d < *earliest) earliest = d;
    }
    return earliest;
}

bool needs_fq_context(std::span<const SecurityBar> bars, std::optional<uint32_t> earliest) {
    return !bars.empty() && earliest && bar_date(bars.front()) >= *earliest;
}

Result<std::vector<SecurityBar>> fetch_fq_context(const RequestFn& send, uint8_t category,
                                                  uint8_t market, std::string_view code,
                                                  uint32_t first_offset, uint32_t earliest,
                                                  size_t max_pages) {
    std::vector<SecurityBar> context;
    uint64_t offset = first_offset;  // 64 bits: the step past 65535 must not wrap
    size_t pages = 0;
    while (pages < max_pages && offset <= 0xFFFF) {
        auto body = send(build_security_bars_packet(category, market, code,
                                                    static_cast<uint32_t>(offset),
                                                    FQ_CONTEXT_PAGE_SIZE, 0));
        if (!body) return std::move(body).error();
        auto page = parse_security_bars(*body, category);
        if (!page) return std::move(page).error();
        if (page->empty()) break;
        const bool reaches_back = bar_date(page->front()) < earliest;
        page->insert(page->end(), std::make_move_iterator(context.begin()),
                     std::make_move_iterator(context.end()));
        context = std::move(*page);
        ++pages;
        if (reaches_back) break;
        offset += FQ_CONTEXT_PAGE_SIZE;
    }
    return context;
}

Result<FqInputs> fetch_fq_inputs(std::span<const SecurityBar> bars, uint8_t category,
                                 uint8_t market, std::string_view code, uint32_t window_end,
                                 size_t max_pages, const RequestFn& send) {
    FqInputs in;
    auto body = send(build_xdxr_info_packet(market, code));
    if (!body) return std::move(body).error();
    auto events = parse_xdxr_info(*body);
    if (!events) return std::move(events).error();
    in.events = std::move(*events);
    const auto earliest = earliest_ex_rights_date(in.events);
    if (needs_fq_context(bars, earliest)) {
        auto ctx = fetch_fq_context(send, category, market, code, window_end, *earliest, max_pages);
        if (!ctx) return std::move(ctx).error();
        in.context = std::move(*ctx);
    }
    return in;
}

Status adjust_window(std::vector<SecurityBar>& bars, uint8_t fq, uint8_t category, uint8_t market,
                     std::string_view code, uint32_t window_end, uint8_t tier,
                     const RequestFn& send) {
    if (fq == 0 || bars.empty()) return ok_status();
    auto in = fetch_fq_inputs(bars, category, market, code, window_end,
                              fq_context_max_pages(tier), send);
    if (!in) return std::move(in).error();
    adjust_security_bars(bars, in->context, in->events, fq);
    return ok_status();
}

}  // namespace quotix::net
