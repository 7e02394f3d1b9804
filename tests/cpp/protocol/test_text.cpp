#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "hex_util.hpp"
#include "protocol/text.hpp"

using namespace quotix;
using quotix::testing::hex;

namespace {

std::string as_text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
std::string vector_path(const char* name) { return std::string(QUOTIX_SOURCE_DIR) + "/tests/cpp/vectors/" + name; }

// UTF-8 of one code point.
std::string utf8(uint32_t cp) {
    const int tail = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    std::string s(1, char(tail == 0 ? cp : ((0xff << (7 - tail)) & 0xff) | (cp >> (6 * tail))));
    for (int i = tail - 1; i >= 0; --i) s += char(0x80 | ((cp >> (6 * i)) & 0x3f));
    return s;
}

}  // namespace

// Vectors produced once by a browser-standard decoder (tests/cpp/vectors/gen_text_vectors.js).
TEST(TextVectors, MatchReferenceDecoder) {
    std::ifstream in(vector_path("text_vectors.txt"));
    ASSERT_TRUE(in) << "missing vector file";
    const std::map<std::string, std::function<std::string(TextBytes)>> decoders = {
        {"gbk", decode_gbk},         {"utf8", decode_utf8_lossy},  {"utf16le", decode_utf16le},
        {"utf16be", decode_utf16be}, {"sniff", decode_bom_or_gbk}, {"name", decode_name_text},
    };
    size_t checked = 0;
    for (std::string line, kind, input, expected; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream(line) >> kind >> input >> expected;
        auto it = decoders.find(kind);
        ASSERT_NE(it, decoders.end()) << line;
        EXPECT_EQ(it->second(hex(input)), as_text(hex(expected))) << line;  // "-" is no bytes
        ++checked;
    }
    EXPECT_GT(checked, 450u);
}

// Every two-byte GBK pair and a spread of four-byte sequences: 8-byte records of the input
// (zero-padded to 4) and the expected code point.
TEST(TextVectors, GbkMappingTable) {
    gzFile in = gzopen(vector_path("gbk_table.bin.gz").c_str(), "rb");
    ASSERT_NE(in, nullptr) << "missing vector file";
    uint8_t r[8];
    size_t checked = 0, mismatches = 0;
    while (gzread(in, r, 8) == 8) {
        const size_t len = r[2] ? 4 : 2;
        const uint32_t cp = r[4] | r[5] << 8 | r[6] << 16 | uint32_t(r[7]) << 24;
        if (decode_gbk(std::vector<uint8_t>(r, r + len)) != utf8(cp) && ++mismatches <= 20)
            ADD_FAILURE() << std::hex << int(r[0]) << " " << int(r[1]) << " " << int(r[2]) << " " << int(r[3]);
        ++checked;
    }
    gzclose(in);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(checked, 29582u);
}
