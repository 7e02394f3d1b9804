// Byte-by-byte builders for local data file fixtures, and temporary files to read them back.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fixture {

using Bytes = std::vector<uint8_t>;

inline void put_u16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void put_u32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void put_f32(Bytes& b, float v) { put_u32(b, std::bit_cast<uint32_t>(v)); }
inline void put_bytes(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

// Prices, amount and volume of a bar record, for one-line comparisons.
template <class Bar>
std::vector<double> values(const Bar& r) {
    return {r.open, r.high, r.low, r.close, r.amount, r.volume};
}
inline void expect_values(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "value " << i;
}

// A file under the system temporary directory, removed again when the test ends.
class TempFile {
public:
    explicit TempFile(const Bytes& content) {
        static int serial = 0;
        path_ = (std::filesystem::temp_directory_path() /
                 ("quotix-reader-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".dat"))
                    .string();
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace fixture
