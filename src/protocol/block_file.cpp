#include "protocol/block_file.hpp"

#include <string>

#include "protocol/encoding.hpp"
#include "protocol/text.hpp"

namespace quotix {

namespace {

constexpr size_t kHeaderSize = 384;
constexpr size_t kFirstBlock = 386;
constexpr size_t kSlotSize = 2813;
constexpr size_t kBlockHeader = 13;
constexpr size_t kCodeSize = 7;
constexpr size_t kMaxCodes = 400;
constexpr uint16_t kStockBlock = 2;

struct BlockView {
    std::string name;
    uint16_t type = 0;
    uint16_t count = 0;
    std::vector<std::string> codes;  // only read for type-2 blocks
};

// Walks the type-2 blocks of the file; `visit` is called once per such block.
template <class Visit>
Status walk_blocks(std::span<const uint8_t> file, Visit&& visit) {
    if (file.size() < kFirstBlock) return TdxError::invalid_data("Block file too small");
    const uint16_t blocks = read_u16_le(file.data() + kHeaderSize);
    for (uint64_t k = 0; k < blocks; ++k) {
        const uint64_t start = kFirstBlock + kSlotSize * k;
        // At most 386 + 2813 x 65535 + 13 + 7 x 400: no sum here comes near overflowing.
        if (file.size() < start + kBlockHeader)
            return TdxError::invalid_data("Truncated block header");
        const uint16_t count = read_u16_le(file.data() + start + 9);
        const uint16_t type = read_u16_le(file.data() + start + 11);
        if (type != kStockBlock) continue;
        // More codes than the slot holds would read the next block's bytes as codes.
        if (count > kMaxCodes) return TdxError::invalid_data("Too many stock codes in block");
        BlockView block;
        block.name = decode_name_text(file.subspan(start, 9));
        block.type = type;
        block.count = count;
        block.codes.reserve(count);
        for (uint64_t j = 0; j < count; ++j) {
            const uint64_t at = start + kBlockHeader + kCodeSize * j;
            if (file.size() < at + kCodeSize)
                return TdxError::invalid_data("Truncated stock code");
            block.codes.push_back(decode_name_text(file.subspan(at, kCodeSize)));
        }
        visit(std::move(block));
    }
    return ok_status();
}

}  // namespace

Result<std::vector<BlockRecord>> parse_block(std::span<const uint8_t> file) {
    std::vector<BlockRecord> rows;
    Status st = walk_blocks(file, [&](BlockView&& b) {
        for (size_t j = 0; j < b.codes.size(); ++j)
            rows.push_back(BlockRecord{b.name, b.type, static_cast<uint16_t>(j), std::move(b.codes[j])});
    });
    if (!st) return std::move(st).error();
    return rows;
}

Result<std::vector<BlockGroup>> parse_block_groups(std::span<const uint8_t> file) {
    std::vector<BlockGroup> groups;
    Status st = walk_blocks(file, [&](BlockView&& b) {
        BlockGroup g;
        g.blockname = std::move(b.name);
        for (size_t j = 0; j < b.codes.size(); ++j) {
            if (j) g.code_list.push_back(',');
            g.code_list += b.codes[j];
        }
        g.block_type = b.type;
        g.stock_count = b.count;
        groups.push_back(std::move(g));
    });
    if (!st) return std::move(st).error();
    return groups;
}

}  // namespace quotix
