#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/text.hpp"

using namespace quotix;

namespace {

std::vector<uint8_t> unhex(const std::string& h) {
    std::vector<uint8_t> v;
    if (h == "-") return v;
    for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return v;
}

std::string unhex_str(const std::string& h) {
    auto v = unhex(h);
    return std::string(v.begin(), v.end());
}

std::string vector_path(const char* name) { return std::string(QUOTIX_SOURCE_DIR) + "/tests/cpp/vectors/" + name; }

}  // namespace

// Vectors produced once by a browser-standard decoder (tests/cpp/vectors/gen_text_vectors.js).
TEST(TextVectors, MatchReferenceDecoder) {
    std::ifstream in(vector_path("text_vectors.txt"));
    ASSERT_TRUE(in) << "missing vector file";
    const std::map<std::string, std::function<std::string(TextBytes)>> decoders = {
        {"gbk", decode_gbk},           {"utf8", decode_utf8_lossy},     {"utf16le", decode_utf16le},
        {"utf16be", decode_utf16be},   {"sniff", decode_bom_or_gbk},    {"name", decode_name_text},
    };
    std::string line;
    size_t checked = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string kind, input, expected;
        ls >> kind >> input >> expected;
        auto it = decoders.find(kind);
        ASSERT_NE(it, decoders.end()) << line;
        auto bytes = unhex(input);
        EXPECT_EQ(it->second(bytes), unhex_str(expected)) << kind << " " << input;
        ++checked;
    }
    EXPECT_GT(checked, 2000u);
}

TEST(TextVectors, GbkMappingTable) {
    std::ifstream in(vector_path("gbk_table.txt"));
    ASSERT_TRUE(in) << "missing vector file";
    std::string input, expected;
    size_t checked = 0, mismatches = 0;
    while (in >> input >> expected) {
        auto bytes = unhex(input);
        if (decode_gbk(bytes) != unhex_str(expected) && ++mismatches <= 20) ADD_FAILURE() << input;
        ++checked;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(checked, 29000u);
}

TEST(TextDecoders, NamesOfReplies) {
    const std::vector<uint8_t> gbk = {0xc6, 0xbd, 0xb0, 0xb2, 0xd2, 0xf8, 0xd0, 0xd0};
    EXPECT_EQ(decode_name_text(gbk), "平安银行");
    const std::vector<uint8_t> bom = {0xef, 0xbb, 0xbf, 0x41, 0x42, 0x00, 0x00, 0x00};
    EXPECT_EQ(decode_name_text(bom), "AB");
    const std::vector<uint8_t> le = {0xff, 0xfe, 0x60, 0x4f, 0x7d, 0x59, 0x00, 0x00};
    EXPECT_EQ(decode_name_text(le), "你好");
    const std::vector<uint8_t> be = {0xfe, 0xff, 0x4f, 0x60, 0x00};  // odd tail byte
    EXPECT_EQ(decode_name_text(be), "你\xef\xbf\xbd");
    const std::vector<uint8_t> euro = {0x80, 0x41};
    EXPECT_EQ(decode_name_text(euro), "€A");
    const std::vector<uint8_t> four = {0x81, 0x39, 0xee, 0x39};
    EXPECT_EQ(decode_name_text(four), "\xe3\x90\x80");  // U+3400
}

TEST(TextDecoders, CodesOfReplies) {
    const std::vector<uint8_t> trailing = {0x30, 0x30, 0x30, 0x30, 0x31, 0x00};
    EXPECT_EQ(decode_reply_code(trailing), "00001");
    const std::vector<uint8_t> leading = {0x00, 0x30, 0x30, 0x30, 0x30, 0x31};
    EXPECT_EQ(decode_reply_code(leading), std::string("\0" "00001", 6));
    // Codes never sniff: a UTF-8 mark stays as U+FEFF, and GBK bytes are invalid UTF-8.
    const std::vector<uint8_t> marked = {0xef, 0xbb, 0xbf, 0x31};
    EXPECT_EQ(decode_reply_code(marked), "\xef\xbb\xbf" "1");
    const std::vector<uint8_t> gbk = {0xc4, 0xe3, 0x31};
    EXPECT_EQ(decode_reply_code(gbk), "\xef\xbf\xbd\xef\xbf\xbd" "1");
}

TEST(TextDecoders, AllNulAndEmpty) {
    const std::vector<uint8_t> nuls(8, 0);
    EXPECT_EQ(decode_name_text(nuls), "");
    EXPECT_EQ(decode_reply_code(nuls), "");
    EXPECT_EQ(decode_name_text({}), "");
    // NULs inside the text stay; only trailing ones go.
    const std::vector<uint8_t> inner = {0x41, 0x00, 0x42, 0x00};
    EXPECT_EQ(decode_name_text(inner), std::string("A\0B", 3));
}
