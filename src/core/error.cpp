#include "core/error.hpp"

#include <system_error>

#include "core/text_escape.hpp"

namespace quotix {

std::string errno_text(int err) {
    // The standard library's own strerror_r call: the GNU and the XSI (macOS) forms of it differ
    // in their return type, so calling it directly builds on one C library only.
    return std::generic_category().message(err) + " (os error " + std::to_string(err) + ")";
}

TdxError TdxError::io_errno(int err) { return io(errno_text(err)); }

// Each switch names every kind, so a kind added later is flagged where its text is missing; the
// coded form is the one left after it.
std::string TdxError::display() const {
    switch (kind_) {
        case Kind::Io: return "IO error: " + text_;
        case Kind::Parse: return "Parse error: " + text_;
        case Kind::InvalidData: return "Invalid data: " + text_;
        case Kind::FileNotFound: return "File not found: " + text_;
        case Kind::Connection: return "Connection error: " + text_;
        case Kind::ConnectionTimeout: return "Connection timeout";
        case Kind::SetupFailed: return "Setup handshake failed: " + text_;
        case Kind::ResponseParse: return "Response parse error: " + text_;
        case Kind::Disconnected: return "Server disconnected";
        case Kind::RetryExhausted: return "Retry exhausted after " + std::to_string(count_) + " attempts";
        case Kind::Coded: break;
    }
    return coded_.format();
}

std::string TdxError::debug() const {
    switch (kind_) {
        case Kind::Io: return "Io(" + util::debug_quote(text_) + ")";
        case Kind::Parse: return "Parse(" + util::debug_quote(text_) + ")";
        case Kind::InvalidData: return "InvalidData(" + util::debug_quote(text_) + ")";
        case Kind::FileNotFound: return "FileNotFound(" + util::debug_quote(text_) + ")";
        case Kind::Connection: return "Connection(" + util::debug_quote(text_) + ")";
        case Kind::ConnectionTimeout: return "ConnectionTimeout";
        case Kind::SetupFailed: return "SetupFailed(" + util::debug_quote(text_) + ")";
        case Kind::ResponseParse: return "ResponseParse(" + util::debug_quote(text_) + ")";
        case Kind::Disconnected: return "Disconnected";
        case Kind::RetryExhausted: return "RetryExhausted(" + std::to_string(count_) + ")";
        case Kind::Coded: break;
    }
    return "Coded(" + coded_.debug() + ")";
}

}  // namespace quotix
