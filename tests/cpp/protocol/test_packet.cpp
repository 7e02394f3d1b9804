// Request packets byte for byte: numbers little-endian, codes and file names NUL-padded and cut at
// their field, starts sent as their low 16 bits.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hex_util.hpp"
#include "protocol/packet.hpp"

using namespace quotix::net;
using quotix::testing::hex;

TEST(RequestPackets, ByteForByte) {
    const std::vector<std::pair<uint8_t, std::string>> two = {{0, "000001"}, {1, "600000"}};
    const std::pair<std::vector<uint8_t>, const char*> cases[] = {
        {build_security_bars_packet(9, 1, "60000012", 0, 800, 1),
         "0c 01 08 64 01 01 1c 00 1c 00 2d 05 01 00 36 30 30 30 30 30 09 00 01 00 00 00 20 03 00*10"},
        {build_security_bars_packet(11, 2, "6000", 65537, 1, 2),
         "0c 01 08 64 01 01 1c 00 1c 00 2d 05 02 00 36 30 30 30 00 00 0b 00 02 00 01 00 01 00 00*10"},
        {build_security_count_packet(2), "0c 0c 18 6c 00 01 08 00 08 00 4e 04 02 00 75 c7 33 01"},
        {build_security_list_packet(1, 2000), "0c 01 18 64 01 01 06 00 06 00 50 04 01 00 d0 07"},
        {build_security_quotes_packet(two),
         "0c 01 20 63 00 02 1a 00 1a 00 3e 05 05 00 00 00 00 00 00 00 02 00 00 30 30 30 30 30 31 01 36 30 30 30 30 30"},
        {build_transaction_data_packet(0, "000001", 65537, 2000),
         "0c 17 08 01 01 01 0e 00 0e 00 c5 0f 00 00 30 30 30 30 30 31 01 00 d0 07"},
        {build_history_transaction_data_packet(1, "600000", 10, 2000, 20240131),
         "0c 01 30 01 00 01 12 00 12 00 b5 0f 03 d7 34 01 01 00 36 30 30 30 30 30 0a 00 d0 07"},
        {build_history_minute_time_data_packet(1, "600000", 20240131),
         "0c 01 30 00 01 01 0d 00 0d 00 b4 0f 03 d7 34 01 01 36 30 30 30 30 30"},
        {build_xdxr_info_packet(1, "600000"), "0c 1f 18 76 00 01 0b 00 0b 00 0f 00 01 00 01 36 30 30 30 30 30"},
        {build_finance_info_packet(0, "000001"), "0c 1f 18 76 00 01 0b 00 0b 00 10 00 01 00 00 30 30 30 30 30 31"},
        {build_block_info_meta_packet("block_zs.dat"),
         "0c 39 18 69 00 01 2a 00 2a 00 c5 02 62 6c 6f 63 6b 5f 7a 73 2e 64 61 74 00*28"},
        // Cut at 40 bytes even inside a multi-byte character.
        {build_block_info_meta_packet(std::string(39, 'a') + "\xe4\xb8\xad"),
         "0c 39 18 69 00 01 2a 00 2a 00 c5 02 61*39 e4"},
        {build_block_info_packet(30000, 60000, "block.dat"),
         "0c 37 18 6a 00 01 6e 00 6e 00 b9 06 30 75 00 00 60 ea 00 00 62 6c 6f 63 6b 2e 64 61 74 00*91"},
    };
    for (const auto& [packet, bytes] : cases) EXPECT_EQ(packet, hex(bytes)) << bytes;
}
