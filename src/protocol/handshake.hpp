// The setup handshake every new connection goes through before its first request.
#pragma once

#include "core/error.hpp"
#include "protocol/stream.hpp"

namespace quotix::net {

// Sends the three setup packets in order, reading and dropping each reply (an empty reply is
// accepted; a compressed one must inflate), each within its own exchange deadline. Stops at the
// first failure and returns it unchanged.
Status perform_handshake(ByteStream& stream);

}  // namespace quotix::net
