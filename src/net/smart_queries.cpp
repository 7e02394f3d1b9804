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

// What a call that never got a non-empty answer returns.
TdxError no_answer(const std::optional<TdxError>& last_error) {
    if (last_error) return *last_error;
    return TdxError::coded(codes::RETRY_EXHAUSTED, "max retry reached");
}

// Attempt a of n failed with `error`: moves on; the error ends the call when there is nowhere to
// go (it is the better report than "no alternative").
bool moved_after_error(TdxSmartClient& smart, const LoopKind& kind, uint32_t a, uint32_t n, const TdxError& error) {
    if (kind.show_error_text)
        QTX_LOG('W', "smart", "attempt " << a << "/" << n << ": error: " << error.display() << ", trying next server");
    else
        QTX_LOG('W', "smart", "attempt " << a << "/" << n << ": error, trying next server");
    return smart.try_next_server().ok();
}

// Attempt a of n came back empty: the health check, and a move when it fails. The error that ends
// the call when even the move fails; nothing while the attempts go on.
std::optional<TdxError> end_after_empty(TdxSmartClient& smart, const LoopKind& kind, uint32_t a, uint32_t n,
                                        const std::optional<TdxError>& last_error) {
    QTX_LOG('W', "smart", "attempt " << a << "/" << n << ": " << kind.empty_text);
    if (smart.lazy_health_check()) return std::nullopt;
    QTX_LOG('W', "smart", "health check failed, trying next server...");
    Status moved = smart.try_next_server();
    if (moved) return std::nullopt;
    return kind.failed_move_is_error ? moved.error() : no_answer(last_error);
}

// The loop itself holds no decision of its own: those above serve both kinds of record.
template <class T>
Result<std::vector<T>> retry_loop(TdxSmartClient& smart, const LoopKind& kind,
                                  const std::function<Result<std::vector<T>>()>& query) {
    const uint32_t n = smart.max_retries;
    std::optional<TdxError> last_error;
    for (uint32_t a = 1; a <= n; ++a) {
        Result<std::vector<T>> r = query();
        if (!r) {
            last_error = r.error();
            if (!moved_after_error(smart, kind, a, n, *last_error)) return *last_error;
        } else if (r->empty()) {
            if (auto end = end_after_empty(smart, kind, a, n, last_error)) return *end;
        } else {
            if (a > 1) QTX_LOG('I', "smart", "got " << r->size() << " " << kind.noun << " after " << (a - 1) << " retries");
            return r;
        }
    }
    return no_answer(last_error);
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
