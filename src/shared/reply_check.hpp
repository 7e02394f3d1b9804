// A reply's decoding, run while the connection that carried it is still held. The reply header
// names no request, so a reply read in place of another one (a late copy of an earlier reply)
// shows only when its body does not decode as the answer asked for. Such a refusal means the
// connection's stream is out of step with its requests: it is closed, never reused.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace quotix::net {

using ReplyCheck = std::function<Status(std::span<const uint8_t> body)>;

// What `check` says of `body`; an empty check takes every reply.
inline Status check_reply(const ReplyCheck& check, std::span<const uint8_t> body) {
    return check ? check(body) : ok_status();
}

// One request and its (inflated) reply body, through whichever path the caller uses, with the
// check its reply must pass.
using RequestFn =
    std::function<Result<std::vector<uint8_t>>(const std::vector<uint8_t>& packet, const ReplyCheck& check)>;

// The check that decodes a body with `parse` and keeps what came out, value or error, in `*slot`,
// so that the caller decodes each reply once. The slot is shared: the check may run on another
// thread and outlive a caller that stopped waiting.
template <class R, class Parse>
ReplyCheck decoding_check(std::shared_ptr<std::optional<R>> slot, Parse parse) {
    return [slot = std::move(slot), parse = std::move(parse)](std::span<const uint8_t> body) -> Status {
        slot->emplace(parse(body));
        if (!**slot) return (*slot)->error();
        return ok_status();
    };
}

// One request through `send` (packet, check) -> Result<bytes>, its reply decoded by `parse`
// (body -> Result<T>) as the check: the decoded value, or the first error met.
template <class Send, class Packet, class Parse>
auto request_decoded(Send&& send, const Packet& packet, Parse parse)
    -> std::invoke_result_t<Parse&, std::span<const uint8_t>> {
    using Decoded = std::invoke_result_t<Parse&, std::span<const uint8_t>>;
    auto slot = std::make_shared<std::optional<Decoded>>();
    auto body = send(packet, decoding_check(slot, std::move(parse)));
    if (!body) return std::move(body).error();
    return std::move(**slot);
}

}  // namespace quotix::net
