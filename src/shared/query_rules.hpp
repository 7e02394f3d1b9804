// Argument rules the query paths of the clients share.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace quotix::net {

inline constexpr size_t MAX_QUOTE_BATCH = 60;

// Exactly six bytes beginning "88": a block (sector) code, which the general clients refuse.
bool is_block_code(std::string_view code);
// Coded 1101 "code={}" when `code` is a block code.
Status refuse_block_code(std::string_view code);

// Requests carry start in 16 bits; a larger start would silently ask for other bars, so it is
// coded 1003 "start={}" before anything is sent.
Status check_start(uint32_t start);

// The first 60 pairs, with a W line under `tag` when more were given.
std::vector<std::pair<uint8_t, std::string>> limit_quote_batch(
    std::span<const std::pair<uint8_t, std::string>> stocks, const char* tag);

}  // namespace quotix::net
