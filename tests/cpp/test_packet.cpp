#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hex_util.hpp"
#include "net/packet.hpp"

using namespace quotix::net;
using quotix::testing::concat;
using quotix::testing::hex;

namespace {
std::vector<uint8_t> zeros(size_t n) { return std::vector<uint8_t>(n, 0); }
std::vector<uint8_t> as_vec(std::span<const uint8_t> s) { return std::vector<uint8_t>(s.begin(), s.end()); }
}  // namespace

TEST(RequestPackets, ByteForByte) {
    const std::vector<std::pair<uint8_t, std::string>> two = {{0, "000001"}, {1, "600000"}}, none;
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> cases[] = {
        {build_security_bars_packet(9, 1, "600000", 0, 800, 1),
         concat(hex("0c 01 08 64 01 01 1c 00 1c 00 2d 05 01 00 36 30 30 30 30 30 09 00 01 00 00 00 20 03"), zeros(10))},
        {build_security_count_packet(0), hex("0c 0c 18 6c 00 01 08 00 08 00 4e 04 00 00 75 c7 33 01")},
        {build_security_count_packet(2), hex("0c 0c 18 6c 00 01 08 00 08 00 4e 04 02 00 75 c7 33 01")},
        {build_security_list_packet(1, 2000), hex("0c 01 18 64 01 01 06 00 06 00 50 04 01 00 d0 07")},
        {build_security_quotes_packet(two), hex("0c 01 20 63 00 02 1a 00 1a 00 3e 05 05 00 00 00 00 00 00 00 02 00"
                                                " 00 30 30 30 30 30 31 01 36 30 30 30 30 30")},
        {build_security_quotes_packet(none), hex("0c 01 20 63 00 02 0c 00 0c 00 3e 05 05 00 00 00 00 00 00 00 00 00")},
        {build_transaction_data_packet(0, "000001", 65537, 2000),
         hex("0c 17 08 01 01 01 0e 00 0e 00 c5 0f 00 00 30 30 30 30 30 31 01 00 d0 07")},
        {build_history_transaction_data_packet(1, "600000", 10, 2000, 20240131),
         hex("0c 01 30 01 00 01 12 00 12 00 b5 0f 03 d7 34 01 01 00 36 30 30 30 30 30 0a 00 d0 07")},
        {build_history_minute_time_data_packet(1, "600000", 20240131),
         hex("0c 01 30 00 01 01 0d 00 0d 00 b4 0f 03 d7 34 01 01 36 30 30 30 30 30")},
        {build_xdxr_info_packet(1, "600000"), hex("0c 1f 18 76 00 01 0b 00 0b 00 0f 00 01 00 01 36 30 30 30 30 30")},
        {build_finance_info_packet(0, "000001"), hex("0c 1f 18 76 00 01 0b 00 0b 00 10 00 01 00 00 30 30 30 30 30 31")},
        {build_block_info_meta_packet("block_zs.dat"),
         concat(hex("0c 39 18 69 00 01 2a 00 2a 00 c5 02 62 6c 6f 63 6b 5f 7a 73 2e 64 61 74"), zeros(28))},
        {build_block_info_packet(30000, 60000, "block.dat"),
         concat(hex("0c 37 18 6a 00 01 6e 00 6e 00 b9 06 30 75 00 00 60 ea 00 00 62 6c 6f 63 6b 2e 64 61 74"), zeros(91))},
        {as_vec(SETUP_PACKETS[0]), hex("0c 02 18 93 00 01 03 00 03 00 0d 00 01")},
        {as_vec(SETUP_PACKETS[1]), hex("0c 02 18 94 00 01 03 00 03 00 0d 00 02")},
        {as_vec(SETUP_PACKETS[2]), hex("0c 03 18 99 00 01 20 00 20 00 db 0f d5 d0 c9 cc d6 a4 a8 af 00 00 00 8f c2 25 40"
                                       " 13 00 00 d5 00 c9 cc bd f0 d7 ea 00 00 00 02")},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST(RequestPackets, BarsFieldsStartCodeAndFq) {
    auto p = build_security_bars_packet(4, 0, "000001", 65536, 10, 0);
    ASSERT_EQ(p.size(), 38u);
    EXPECT_EQ(p[24], 0x00);  // only the low 16 bits of start are sent
    EXPECT_EQ(p[25], 0x00);
    EXPECT_EQ(build_security_bars_packet(4, 0, "000001", 65537, 10, 0)[24], 0x01);
    // fq lands in the flag field, category before it.
    p = build_security_bars_packet(11, 2, "430047", 0, 1, 2);
    EXPECT_EQ(p[12], 0x02);
    EXPECT_EQ(p[20], 11);
    EXPECT_EQ(p[22], 2);
    // A short code is padded with NULs, a long one cut without spilling into the category.
    p = build_security_bars_packet(9, 1, "6000", 0, 800, 1);
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + 14, p.begin() + 20), hex("36 30 30 30 00 00"));
    p = build_security_bars_packet(9, 1, "60000012", 0, 800, 1);
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + 14, p.begin() + 21), hex("36 30 30 30 30 30 09"));
}

TEST(RequestPackets, LongFileNamesAreCutAtTheField) {
    // Cut at 40 bytes even inside a multi-byte character.
    auto p = build_block_info_meta_packet(std::string(39, 'a') + "\xe4\xb8\xad");
    ASSERT_EQ(p.size(), 52u);
    EXPECT_EQ(p[50], 'a');
    EXPECT_EQ(p[51], 0xe4);
    p = build_block_info_packet(0, 30000, std::string(120, 'z'));
    ASSERT_EQ(p.size(), 120u);
    EXPECT_EQ(p[119], 'z');
}
