// Download of a block (sector) file from the quote server: a meta request for its size, then
// chunk requests addressed by offset. Shared by the pooled and the direct client.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "shared/fq_context.hpp"

namespace quotix::net {

inline constexpr uint32_t BLOCK_CHUNK_SIZE = 30000;

// The file's bytes: each chunk contributes exactly the bytes asked for (a reply's first 4 bytes
// are not file data, and anything past the asked bytes is dropped), so the total is the announced
// size. A chunk that brings fewer is coded 2103 "offset={} expected={} received={}": it would
// shift every later byte and turn the rest of the file into garbage rows.
Result<std::vector<uint8_t>> download_block_file(const RequestFn& send, std::string_view file_name);

}  // namespace quotix::net
