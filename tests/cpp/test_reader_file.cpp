// Reading whole files: failures are I/O errors carrying the system's text and number.
#include <gtest/gtest.h>

#include <filesystem>

#include "reader/daily_bar.hpp"
#include "reader/financial.hpp"
#include "reader/min_bar.hpp"
#include "reader/read_file.hpp"
#include "reader_fixture.hpp"

using namespace quotix;
using namespace quotix::reader;
using namespace fixture;

TEST(ReaderFile, MissingPathIsAnIoErrorForEveryParser) {
    const std::string path = missing_path();
    const std::string want = "IO error: No such file or directory (os error 2)";
    auto d = parse_daily_bar_file(path, 0.01);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind(), TdxError::Kind::Io);
    EXPECT_EQ(d.error().display(), want);
    auto m = parse_min_bar_file(path);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().display(), want);
    auto l = parse_lc_min_bar_file(path);
    ASSERT_FALSE(l.ok());
    EXPECT_EQ(l.error().display(), want);
    auto f = parse_financial_file(path);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().display(), want);
}

TEST(ReaderFile, DirectoryAndNulPath) {
    auto dir = read_file_bytes(std::filesystem::temp_directory_path().string());
    ASSERT_FALSE(dir.ok());
    EXPECT_EQ(dir.error().display(), "IO error: Is a directory (os error 21)");
    auto nul = read_file_bytes(std::string("/tmp/a\0b", 8));
    ASSERT_FALSE(nul.ok());
    EXPECT_EQ(nul.error().kind(), TdxError::Kind::Io);
    EXPECT_EQ(nul.error().display(), "IO error: file name contained an unexpected NUL byte");
}

TEST(ReaderFile, ReadsEveryByteOfLargerFiles) {
    Bytes b(300 * 1024 + 7);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 31 + 7);
    TempFile f(b);
    auto r = read_file_bytes(f.path());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, b);
}
