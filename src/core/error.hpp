// The one error type of the library, and Result<T>: every fallible operation returns a value or a
// TdxError; nothing in the core throws.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "core/error_codes.hpp"

namespace quotix {

class TdxError {
public:
    // Variant numbers 0 to 10, in this order.
    enum class Kind : uint8_t {
        Io,
        Parse,
        InvalidData,
        FileNotFound,
        Connection,
        ConnectionTimeout,
        SetupFailed,
        ResponseParse,
        Disconnected,
        RetryExhausted,
        Coded,
    };

    static TdxError io(std::string description) { return TdxError(Kind::Io, std::move(description)); }
    // An I/O error from an errno value, described the way the OS describes it.
    static TdxError io_errno(int err);
    static TdxError parse(std::string t) { return TdxError(Kind::Parse, std::move(t)); }
    static TdxError invalid_data(std::string t) { return TdxError(Kind::InvalidData, std::move(t)); }
    static TdxError file_not_found(std::string t) { return TdxError(Kind::FileNotFound, std::move(t)); }
    static TdxError connection(std::string t) { return TdxError(Kind::Connection, std::move(t)); }
    static TdxError connection_timeout() { return TdxError(Kind::ConnectionTimeout, {}); }
    static TdxError setup_failed(std::string t) { return TdxError(Kind::SetupFailed, std::move(t)); }
    static TdxError response_parse(std::string t) { return TdxError(Kind::ResponseParse, std::move(t)); }
    static TdxError disconnected() { return TdxError(Kind::Disconnected, {}); }
    static TdxError retry_exhausted(uint64_t attempts) {
        TdxError e(Kind::RetryExhausted, {});
        e.count_ = attempts;
        return e;
    }
    static TdxError coded(uint32_t code, std::string message) {
        TdxError e(Kind::Coded, {});
        e.coded_ = CodedError{ErrorCode(code), std::move(message)};
        return e;
    }

    Kind kind() const { return kind_; }
    // The text payload (empty for unit variants, RetryExhausted and Coded).
    const std::string& text() const { return text_; }

    // The display text shown to users and carried by Python exceptions.
    std::string display() const;
    // Variant name with its payload, for diagnostics.
    std::string debug() const;

private:
    TdxError(Kind k, std::string t) : kind_(k), text_(std::move(t)) {}

    Kind kind_;
    std::string text_;
    uint64_t count_ = 0;
    CodedError coded_;
};

// Either a value or a TdxError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(TdxError err) : v_(std::in_place_index<1>, std::move(err)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const TdxError& error() const& { return std::get<1>(v_); }
    TdxError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, TdxError> v_;
};

// The system's description of an errno value and its number: "No such file or directory (os error 2)".
std::string errno_text(int err);

// Success without a value.
struct Ok {};
using Status = Result<Ok>;
inline Status ok_status() { return Status(Ok{}); }

}  // namespace quotix

// Propagates an error out of a function that returns a Result or a TdxError-constructible type.
#define QTX_TRY(expr)                                             \
    do {                                                          \
        auto&& qtx_try_r_ = (expr);                               \
        if (!qtx_try_r_.ok()) return std::move(qtx_try_r_).error(); \
    } while (0)
