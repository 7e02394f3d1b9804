#include "shared/fq_context.hpp"

#include <algorithm>

#include "protocol/adjuster.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"

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

std::vector<uint8_t> FqContextPages::packet() const {
    return build_security_bars_packet(category_, market_, code_, static_cast<uint32_t>(offset_),
                                      FQ_CONTEXT_PAGE_SIZE, 0);
}

void FqContextPages::take(std::vector<SecurityBar> page) {
    if (page.empty()) {
        done_ = true;
        return;
    }
    done_ = bar_date(page.front()) < earliest_;
    page.insert(page.end(), std::make_move_iterator(context_.begin()), std::make_move_iterator(context_.end()));
    context_ = std::move(page);
    --pages_left_;
    offset_ += FQ_CONTEXT_PAGE_SIZE;
}

Result<std::vector<SecurityBar>> fetch_fq_context(const RequestFn& send, uint8_t category,
                                                  uint8_t market, std::string_view code,
                                                  uint32_t first_offset, uint32_t earliest,
                                                  size_t max_pages) {
    FqContextPages walk(category, market, code, first_offset, earliest, max_pages);
    while (!walk.done()) {
        auto page = request_decoded(send, walk.packet(), security_bars_decoder(category));
        if (!page) return std::move(page).error();
        walk.take(std::move(*page));
    }
    return std::move(walk.context());
}

Result<FqInputs> fetch_fq_inputs(std::span<const SecurityBar> bars, uint8_t category,
                                 uint8_t market, std::string_view code, uint32_t window_end,
                                 size_t max_pages, const RequestFn& send) {
    FqInputs in;
    auto events = request_decoded(send, build_xdxr_info_packet(market, code), parse_xdxr_info);
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
