// The smart client's retrying queries: attempts on top of the pooled client's own retries, with
// server moves decided by the kind of failure.
#include <functional>

#include "core/error_codes.hpp"
#include "core/logging.hpp"
#include "net/smart_client.hpp"

namespace quotix::net {

namespace {

// What differs between the bar and the quote loop.
struct LoopKind {
    const char* noun;           // "bars" / "quotes", in the success line
    const char* empty_text;     // the empty-answer warning after "attempt a/n: "
    bool show_error_text;       // whether the error warning carries the error's text
    bool failed_move_is_error;  // after an empty answer: return the move's error, or give up
};

constexpr LoopKind BARS{"bars", "empty response, triggering health check", true, true};
constexpr LoopKind QUOTES{"quotes", "empty quotes, triggering health check", false, false};

template <class T>
Result<std::vector<T>> retry_loop(TdxSmartClient& smart, const LoopKind& kind,
                                  const std::function<Result<std::vector<T>>()>& query) {
    const uint32_t n = smart.max_retries;
    std::optional<TdxError> last_error;
    for (uint32_t a = 1; a <= n; ++a) {
        Result<std::vector<T>> r = query();
        if (!r) {
            if (kind.show_error_text)
                QTX_LOG('W', "smart", "attempt " << a << "/" << n << ": error: " << r.error().display()
                                                 << ", trying next server");
            else
                QTX_LOG('W', "smart", "attempt " << a << "/" << n << ": error, trying next server");
            last_error = r.error();
            // With nowhere to go the remembered error is the better report than "no alternative".
            if (!smart.try_next_server()) return *last_error;
            continue;
        }
        if (r->empty()) {
            QTX_LOG('W', "smart", "attempt " << a << "/" << n << ": " << kind.empty_text);
            if (smart.lazy_health_check()) continue;
            QTX_LOG('W', "smart", "health check failed, trying next server...");
            Status moved = smart.try_next_server();
            if (moved) continue;
            if (kind.failed_move_is_error) return moved.error();
            break;
        }
        if (a > 1) QTX_LOG('I', "smart", "got " << r->size() << " " << kind.noun << " after " << (a - 1) << " retries");
        return r;
    }
    if (last_error) return *last_error;
    return TdxError::coded(codes::RETRY_EXHAUSTED, "max retry reached");
}

}  // namespace

Result<std::vector<SecurityBar>> TdxSmartClient::get_security_bars(uint8_t category, uint8_t market,
                                                                   std::string_view code,
                                                                   uint32_t start, uint16_t count,
                                                                   uint8_t fq) {
    return retry_loop<SecurityBar>(*this, BARS, [&] {
        return client.get_security_bars(category, market, code, start, count, fq);
    });
}

Result<std::vector<SecurityQuote>> TdxSmartClient::get_security_quotes(
    std::span<const std::pair<uint8_t, std::string>> stocks) {
    return retry_loop<SecurityQuote>(*this, QUOTES, [&] { return client.get_security_quotes(stocks); });
}

}  // namespace quotix::net
