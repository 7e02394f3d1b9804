#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "reader/block.hpp"

using namespace quotix;
using testutil::BodyBuilder;

namespace {

BodyBuilder file_header(uint16_t blocks) {
    BodyBuilder b;
    b.bytes.assign(386, 0);
    b.bytes[384] = static_cast<uint8_t>(blocks & 0xff);
    b.bytes[385] = static_cast<uint8_t>(blocks >> 8);
    return b;
}

// A block's header and codes, padded to its 2813-byte slot when `pad` is set.
void block(BodyBuilder& b, std::vector<uint8_t> name9, uint16_t type, const std::vector<std::string>& codes,
           bool pad = true, int announced = -1) {
    name9.resize(9, 0);
    const size_t start = b.size();
    b.bytes.insert(b.bytes.end(), name9.begin(), name9.end());
    b.u16(static_cast<uint16_t>(announced >= 0 ? announced : int(codes.size()))).u16(type);
    for (const auto& c : codes) {
        std::string field = c;
        field.resize(7, '\0');
        b.text(field);
    }
    if (pad) b.zeros(start + 2813 - b.size());
}

std::vector<uint8_t> ascii(const std::string& s) { return {s.begin(), s.end()}; }

void expect_invalid(const Result<std::vector<BlockRecord>>& r, const char* message) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TdxError::Kind::InvalidData);
    EXPECT_EQ(r.error().text(), message);
    EXPECT_EQ(r.error().display(), std::string("Invalid data: ") + message);
}

}  // namespace

TEST(BlockFile, FlatRowsAndGroups) {
    BodyBuilder f = file_header(3);
    block(f, {0xbb, 0xa6, 0xc9, 0xee, 0x33, 0x30, 0x30}, 2, {"600000", "600036"});  // 沪深300
    block(f, ascii("IDX"), 1, {"000001"});
    block(f, ascii("EMPTY"), 2, {});
    auto rows = parse_block(f);
    ASSERT_TRUE(rows.ok());
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].blockname, "沪深300");
    EXPECT_EQ((*rows)[0].block_type, 2);
    EXPECT_EQ((*rows)[0].code_index, 0);
    EXPECT_EQ((*rows)[0].code, "600000");
    EXPECT_EQ((*rows)[1].code_index, 1);
    EXPECT_EQ((*rows)[1].code, "600036");

    auto groups = parse_block_groups(f);
    ASSERT_TRUE(groups.ok());
    ASSERT_EQ(groups->size(), 2u);
    EXPECT_EQ((*groups)[0].blockname, "沪深300");
    EXPECT_EQ((*groups)[0].code_list, "600000,600036");
    EXPECT_EQ((*groups)[0].block_type, 2);
    EXPECT_EQ((*groups)[0].stock_count, 2);
    EXPECT_EQ((*groups)[1].blockname, "EMPTY");
    EXPECT_EQ((*groups)[1].code_list, "");
    EXPECT_EQ((*groups)[1].stock_count, 0);
}

TEST(BlockFile, SizesAndTruncation) {
    BodyBuilder small;
    small.zeros(385);
    expect_invalid(parse_block(small), "Block file too small");

    BodyBuilder empty = file_header(0);
    ASSERT_EQ(empty.size(), 386u);
    EXPECT_TRUE(parse_block(empty)->empty());
    EXPECT_TRUE(parse_block_groups(empty)->empty());

    BodyBuilder header_cut = file_header(1);
    header_cut.zeros(10);
    expect_invalid(parse_block(header_cut), "Truncated block header");

    // The last block needs only its header and codes, not the whole slot.
    BodyBuilder last = file_header(1);
    block(last, ascii("B"), 2, {"000001", "000002", "000003"}, false);
    ASSERT_EQ(last.size(), 386u + 13 + 21);
    EXPECT_EQ(parse_block(last)->size(), 3u);

    BodyBuilder codes_cut = file_header(1);
    block(codes_cut, ascii("B"), 2, {"000001", "000002"}, false, 3);
    expect_invalid(parse_block(codes_cut), "Truncated stock code");
    EXPECT_FALSE(parse_block_groups(codes_cut).ok());

    BodyBuilder other_type = file_header(1);
    block(other_type, ascii("B"), 1, {"000001", "000002"}, false, 3);
    EXPECT_TRUE(parse_block(other_type)->empty());

    // A failure in a later block discards the rows already read.
    BodyBuilder later = file_header(2);
    block(later, ascii("A"), 2, {"000001"});
    later.zeros(5);
    expect_invalid(parse_block(later), "Truncated block header");
}

// A member count above the slot's 400 would read the next block as codes: refused.
TEST(BlockFile, TooManyCodesInBlock) {
    BodyBuilder f = file_header(2);
    block(f, ascii("BIG"), 2, {}, false, 401);
    f.zeros(2813 - 13 + 2813);
    expect_invalid(parse_block(f), "Too many stock codes in block");
    auto g = parse_block_groups(f);
    ASSERT_FALSE(g.ok());
    EXPECT_EQ(g.error().text(), "Too many stock codes in block");

    std::vector<std::string> full(400);
    for (size_t i = 0; i < full.size(); ++i) full[i] = std::to_string(600000 + i);
    BodyBuilder ok = file_header(1);
    block(ok, ascii("FULL"), 2, full);
    ASSERT_EQ(ok.size(), 386u + 2813);
    auto rows = parse_block(ok);
    ASSERT_TRUE(rows.ok());
    ASSERT_EQ(rows->size(), 400u);
    EXPECT_EQ(rows->back().code, "600399");
    EXPECT_EQ(rows->back().code_index, 399);

    // Blocks of other types never read their codes, so their count is not checked.
    BodyBuilder other = file_header(1);
    block(other, ascii("X"), 3, {}, true, 65535);
    EXPECT_TRUE(parse_block(other)->empty());
}

TEST(BlockFile, TextFields) {
    BodyBuilder f = file_header(1);
    // GBK name padded with NULs; a UTF-8 marked code; a UTF-16LE marked code.
    block(f, {0xd2, 0xf8, 0xd0, 0xd0}, 2, {"\xef\xbb\xbf" "A1", std::string("\xff\xfe" "B\0C\0", 6)});
    auto rows = parse_block(f);
    ASSERT_TRUE(rows.ok());
    ASSERT_EQ(rows->size(), 2u);
    EXPECT_EQ((*rows)[0].blockname, "银行");
    EXPECT_EQ((*rows)[0].code, "A1");
    // Five bytes after the mark: the odd last byte is a replacement character.
    EXPECT_EQ((*rows)[1].code, "BC\xef\xbf\xbd");
}
