// Local financial files: header, directory and float records built by hand.
#include <gtest/gtest.h>

#include "reader/financial.hpp"
#include "reader_fixture.hpp"

using namespace quotix;
using namespace quotix::reader;
using namespace fixture;

namespace {

Bytes header(uint32_t report_date, uint16_t count, uint32_t record_size) {
    Bytes b;
    put_u16(b, 0xAAAA);
    put_u32(b, report_date);
    put_u16(b, count);
    put_u32(b, 0xBBBBBBBB);
    put_u32(b, record_size);
    put_u32(b, 0xCCCCCCCC);
    return b;
}

void put_entry(Bytes& b, std::string_view code6, uint32_t offset) {
    ASSERT_EQ(code6.size(), 6u);
    put_bytes(b, code6);
    b.push_back(0xEE);
    put_u32(b, offset);
}

}  // namespace

TEST(ReaderFinancial, RecordsInDirectoryOrder) {
    Bytes b = header(20231231, 3, 8);
    put_entry(b, "600519", 53);
    put_entry(b, "000001", 61);
    put_entry(b, "600519", 53);  // a second entry on the same record
    ASSERT_EQ(b.size(), 53u);
    for (float v : {0.1f, 2.5f, -1.0f, 1e30f}) put_f32(b, v);
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0].code, "600519");
    EXPECT_EQ((*r)[0].report_date, 20231231u);
    EXPECT_EQ((*r)[0].fields, (std::vector<float>{0.1f, 2.5f}));
    EXPECT_EQ((*r)[1].code, "000001");
    EXPECT_EQ((*r)[1].fields, (std::vector<float>{-1.0f, 1e30f}));
    EXPECT_EQ((*r)[2].code, "600519");
    EXPECT_EQ((*r)[2].fields, (*r)[0].fields);
}

// Which entries come back: the count, the directory room, the record size and the offsets decide.
TEST(ReaderFinancial, EntriesAndRecordBounds) {
    auto codes = [](const Bytes& b) {
        auto r = parse_financial(b);
        std::string s;
        for (const auto& rec : *r) s += rec.code + ":" + std::to_string(rec.fields.size()) + " ";
        return s;
    };
    // A header alone that promises five entries: none fits.
    EXPECT_EQ(codes(header(20231231, 5, 8)), "");
    Bytes zero = header(1, 0, 0xFFFFFFFF);
    put_entry(zero, "600519", 0xFFFFFFFF);
    EXPECT_EQ(codes(zero), "");

    // Not a whole third entry; offsets count from the start of the file, so these records are header bytes.
    Bytes room = header(7, 3, 4);
    put_entry(room, "000001", 0);
    put_entry(room, "000002", 4);
    room.resize(room.size() + 10);
    EXPECT_EQ(codes(room), "000001:1 000002:1 ");

    // Size 0: empty records, except where the offset lies beyond the end (53 is exactly the end).
    Bytes empty = header(1, 3, 0);
    put_entry(empty, "000001", 0);
    put_entry(empty, "000002", 53);
    put_entry(empty, "000003", 54);
    EXPECT_EQ(codes(empty), "000001:0 000002:0 ");

    // Size 10: two floats, the last two bytes ignored; the record needs offset + 8 bytes.
    Bytes ten = header(1, 3, 10);
    put_entry(ten, "000001", 53);
    put_entry(ten, "000002", 54);  // runs one byte past the end
    put_entry(ten, "000003", 53);
    put_f32(ten, 1.5f);
    put_f32(ten, 2.5f);
    EXPECT_EQ(codes(ten), "000001:2 000003:2 ");
    EXPECT_EQ(parse_financial(ten)->front().fields, (std::vector<float>{1.5f, 2.5f}));

    // Offsets near 2^32 must not wrap around.
    Bytes wrap = header(1, 1, 8);
    put_entry(wrap, "000001", 0xFFFFFFFC);
    EXPECT_EQ(codes(wrap), "");

    // 100 entries all pointing at one record that spans the whole directory: a real file never does
    // this, and decoding each copy would multiply the file's size a hundred times.
    Bytes overlap = header(1, 100, 1100);
    for (int i = 0; i < 100; ++i) put_entry(overlap, "000001", 20);
    EXPECT_EQ(codes(overlap), "000001:275 ");
}

TEST(ReaderFinancial, CodeBytes) {
    const std::pair<std::string_view, std::string> cases[] = {
        {std::string_view("12345\0", 6), "12345"},
        {std::string_view("\0\0\0\0\0\0", 6), ""},
        {"60\xFF" "519", "60\xEF\xBF\xBD" "519"},
        {std::string_view("\0" "00001", 6), std::string("\0" "00001", 6)},
        {"\xE4\xB8\xAD" "\xE4\xB8" "1", "\xE4\xB8\xAD\xEF\xBF\xBD" "1"},  // one whole character, then a cut-short one
        {"\xED\xA0\x80" "abc", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "abc"},  // an encoded surrogate
    };
    Bytes b = header(1, std::size(cases), 0);
    for (const auto& c : cases) put_entry(b, c.first, 0);
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ((*r)[i].code, cases[i].second) << i;
}
