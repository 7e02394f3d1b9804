// The block (sector) file format: a 384-byte header, a u16 block count, then fixed 2813-byte
// slots of a 9-byte name, u16 code count, u16 type and room for 400 seven-byte codes.
// A block file downloaded from the server holds the same bytes as a local one.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "protocol/types.hpp"

namespace quotix {

// One row per member code of every type-2 block, in file order.
Result<std::vector<BlockRecord>> parse_block(std::span<const uint8_t> file);
// One group per type-2 block (also one without codes), in file order.
Result<std::vector<BlockGroup>> parse_block_groups(std::span<const uint8_t> file);

}  // namespace quotix
