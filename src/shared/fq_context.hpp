// What every bar query with price adjustment shares, whichever transport carries its requests:
// the XDXR events, the older "context" bars an event before the window needs for its close, and
// the adjustment of the gathered window in one pass.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "protocol/types.hpp"
#include "shared/reply_check.hpp"

namespace quotix::net {

// Adjustment context tiers: 2400, 4800 or 7200 bars of history for price adjustment.
inline constexpr uint8_t FQ_CONTEXT_LOW = 0;
inline constexpr uint8_t FQ_CONTEXT_MID = 1;
inline constexpr uint8_t FQ_CONTEXT_HIGH = 2;

// Bars per context page: the protocol's largest page.
inline constexpr uint16_t FQ_CONTEXT_PAGE_SIZE = 800;

// 3 pages for tier 0, 9 for tier 2, 6 for any other value.
size_t fq_context_max_pages(uint8_t tier);

// year x 10000 + month x 100 + day
uint32_t bar_date(const SecurityBar& bar);

// The earliest date among the category-1 (ex-rights and ex-dividend) events, if any.
std::optional<uint32_t> earliest_ex_rights_date(std::span<const XdXrInfo> events);

// Context is needed when some category-1 event falls on or before the first bar's date: such an
// event takes the close of the last bar before it, which the window does not hold.
bool needs_fq_context(std::span<const SecurityBar> bars, std::optional<uint32_t> earliest);

// The walk over context pages, apart from how a request travels, so the blocking and the
// asynchronous clients step it alike: while `!done()`, send `packet()`, decode its reply as
// security bars of the walk's category (as the reply's check; an undecodable page is an error:
// adjusting with a partial context would silently give wrong prices) and hand the page to
// `take`. Pages of 800 older bars are gathered oldest first, from `first_offset` (the position
// just past the window) back by 800, until a page begins before `earliest`, a page comes back
// empty, `max_pages` pages are held, or the next offset no longer fits the request's 16 bits.
class FqContextPages {
public:
    FqContextPages(uint8_t category, uint8_t market, std::string_view code, uint64_t first_offset,
                   uint32_t earliest, size_t max_pages)
        : category_(category), market_(market), code_(code), offset_(first_offset), earliest_(earliest),
          pages_left_(max_pages) {}

    bool done() const { return done_ || pages_left_ == 0 || offset_ > 0xFFFF; }
    std::vector<uint8_t> packet() const;
    void take(std::vector<SecurityBar> page);
    std::vector<SecurityBar>& context() { return context_; }

private:
    uint8_t category_, market_;
    std::string_view code_;
    uint64_t offset_;  // 64 bits: the step past 65535 must not wrap
    uint32_t earliest_;
    size_t pages_left_;
    bool done_ = false;
    std::vector<SecurityBar> context_;
};

// The whole walk through `send`; a failed request fails it.
Result<std::vector<SecurityBar>> fetch_fq_context(const RequestFn& send, uint8_t category,
                                                  uint8_t market, std::string_view code,
                                                  uint32_t first_offset, uint32_t earliest,
                                                  size_t max_pages);
// Adjusts `bars` (oldest first, the window that ends `window_end` bars back from the newest) in
// place: fetches the XDXR events and, when needed, the context through `send`, then adjusts the
// whole window at once. fq 0 or an empty window sends nothing.
Status adjust_window(std::vector<SecurityBar>& bars, uint8_t fq, uint8_t category, uint8_t market,
                     std::string_view code, uint32_t window_end, uint8_t tier,
                     const RequestFn& send);

// Events and context for the factor report: the same fetching without adjusting anything.
struct FqInputs {
    std::vector<XdXrInfo> events;
    std::vector<SecurityBar> context;
};
Result<FqInputs> fetch_fq_inputs(std::span<const SecurityBar> bars, uint8_t category,
                                 uint8_t market, std::string_view code, uint32_t window_end,
                                 size_t max_pages, const RequestFn& send);

}  // namespace quotix::net
