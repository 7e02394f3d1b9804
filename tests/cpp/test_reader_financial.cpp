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

TEST(ReaderFinancial, ShortHeaders) {
    for (size_t n : {0u, 1u, 19u}) {
        auto r = parse_financial(Bytes(n, 0));
        ASSERT_FALSE(r.ok()) << n;
        EXPECT_EQ(r.error().kind(), TdxError::Kind::InvalidData);
        EXPECT_EQ(r.error().display(), "Invalid data: Financial file too small for header");
    }
    // A header alone that promises five entries: none fits.
    auto r = parse_financial(header(20231231, 5, 8));
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
}

TEST(ReaderFinancial, RecordsInDirectoryOrder) {
    Bytes b = header(20231231, 3, 8);
    put_entry(b, "600519", 53);
    put_entry(b, "000001", 61);
    put_entry(b, "600519", 53);  // a second entry on the same record
    ASSERT_EQ(b.size(), 53u);
    put_f32(b, 0.1f);
    put_f32(b, 2.5f);
    put_f32(b, -1.0f);
    put_f32(b, 1e30f);
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0].code, "600519");
    EXPECT_EQ((*r)[0].report_date, 20231231u);
    EXPECT_EQ((*r)[0].fields, (std::vector<float>{0.1f, 2.5f}));
    EXPECT_EQ(static_cast<double>((*r)[0].fields[0]), 0.100000001490116119384765625);
    EXPECT_EQ((*r)[1].code, "000001");
    EXPECT_EQ((*r)[1].fields, (std::vector<float>{-1.0f, 1e30f}));
    EXPECT_EQ((*r)[2].code, "600519");
    EXPECT_EQ((*r)[2].fields, (*r)[0].fields);
}

TEST(ReaderFinancial, ZeroCountReadsNothingMore) {
    Bytes b = header(1, 0, 0xFFFFFFFF);
    put_entry(b, "600519", 0xFFFFFFFF);
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
}

TEST(ReaderFinancial, CountBeyondDirectoryRoom) {
    Bytes b = header(7, 3, 4);
    put_entry(b, "000001", 0);
    put_entry(b, "000002", 4);
    b.resize(b.size() + 10);  // not a whole third entry
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[1].code, "000002");
    // Offsets count from the start of the file, so these records are header bytes.
    EXPECT_EQ((*r)[0].fields.size(), 1u);
    EXPECT_EQ((*r)[1].fields.size(), 1u);
}

TEST(ReaderFinancial, RecordSizesAndBounds) {
    // Size 0: empty records, except where the offset lies beyond the end.
    Bytes z = header(1, 3, 0);
    put_entry(z, "000001", 0);
    put_entry(z, "000002", 53);  // exactly the end
    put_entry(z, "000003", 54);
    auto rz = parse_financial(z);
    ASSERT_TRUE(rz.ok());
    ASSERT_EQ(rz->size(), 2u);
    EXPECT_TRUE((*rz)[0].fields.empty());
    EXPECT_EQ((*rz)[1].code, "000002");

    // Size 10: two floats, the last two bytes ignored; the record needs offset + 8 bytes.
    Bytes t = header(1, 3, 10);
    put_entry(t, "000001", 53);
    put_entry(t, "000002", 54);  // runs one byte past the end: dropped
    put_entry(t, "000003", 53);
    put_f32(t, 1.5f);
    put_f32(t, 2.5f);
    auto rt = parse_financial(t);
    ASSERT_TRUE(rt.ok());
    ASSERT_EQ(rt->size(), 2u);
    EXPECT_EQ((*rt)[0].fields, (std::vector<float>{1.5f, 2.5f}));
    EXPECT_EQ((*rt)[1].code, "000003");

    // Offsets near 2^32 must not wrap around.
    Bytes w = header(1, 1, 8);
    put_entry(w, "000001", 0xFFFFFFFC);
    auto rw = parse_financial(w);
    ASSERT_TRUE(rw.ok());
    EXPECT_TRUE(rw->empty());
}

TEST(ReaderFinancial, CodeBytes) {
    Bytes b = header(1, 6, 0);
    put_entry(b, std::string_view("12345\0", 6), 0);
    put_entry(b, std::string_view("\0\0\0\0\0\0", 6), 0);
    put_entry(b, "60\xFF" "519", 0);
    put_entry(b, std::string_view("\0" "00001", 6), 0);
    put_entry(b, "\xE4\xB8\xAD" "\xE4\xB8" "1", 0);  // one whole character, then a cut-short one
    put_entry(b, "\xED\xA0\x80" "abc", 0);         // an encoded surrogate
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 6u);
    EXPECT_EQ((*r)[0].code, "12345");
    EXPECT_EQ((*r)[1].code, "");
    EXPECT_EQ((*r)[2].code, "60\xEF\xBF\xBD" "519");
    EXPECT_EQ((*r)[3].code, std::string("\0" "00001", 6));
    EXPECT_EQ((*r)[4].code, "\xE4\xB8\xAD\xEF\xBF\xBD" "1");
    EXPECT_EQ((*r)[5].code, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "abc");
}

TEST(ReaderFinancial, OverlappingRecordsCannotOutgrowTheFile) {
    // 100 entries all pointing at one record that spans the whole directory: a real file never
    // does this, and decoding each copy would multiply the file's size a hundred times.
    const uint32_t size = 1100;
    Bytes b = header(1, 100, size);
    for (int i = 0; i < 100; ++i) put_entry(b, "000001", 20);
    auto r = parse_financial(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].fields.size(), size / 4);
}

TEST(ReaderFinancial, FromPath) {
    Bytes b = header(20231231, 1, 4);
    put_entry(b, "600519", 31);
    put_f32(b, 3.25f);
    TempFile f(b);
    auto r = parse_financial_file(f.path());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].code, "600519");
    EXPECT_EQ((*r)[0].fields, std::vector<float>{3.25f});

    TempFile cut(Bytes(b.begin(), b.begin() + 19));
    auto c = parse_financial_file(cut.path());
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().display(), "Invalid data: Financial file too small for header");
}
