// Reading whole files: failures are I/O errors carrying the system's text and number, and each file
// parser gives what its in-memory twin gives for the same bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "reader/daily_bar.hpp"
#include "reader/financial.hpp"
#include "reader/min_bar.hpp"
#include "reader/read_file.hpp"
#include "reader_fixture.hpp"

using namespace quotix;
using namespace quotix::reader;
using namespace fixture;

namespace {

template <class R>
std::string outcome(const R& r) {
    if (!r.ok()) return r.error().display();
    std::string s = std::to_string(r->size()) + " records";
    if constexpr (requires { r->front().date; }) {
        for (const auto& rec : *r) s += " " + rec.date + " " + std::to_string(rec.open);
    } else {
        for (const auto& rec : *r) s += " " + rec.code + " " + std::to_string(rec.fields.size());
    }
    return s;
}

struct Parser {
    const char* label;  // in the size message; none for the financial file
    std::function<std::string(const std::string&)> file;
    std::function<std::string(const Bytes&)> bytes;
};
const Parser kParsers[] = {
    {"Daily bar", [](auto& p) { return outcome(parse_daily_bar_file(p, 0.01)); },
     [](auto& b) { return outcome(parse_daily_bar(b, 0.01)); }},
    {"Min bar", [](auto& p) { return outcome(parse_min_bar_file(p)); }, [](auto& b) { return outcome(parse_min_bar(b)); }},
    {"LC min bar", [](auto& p) { return outcome(parse_lc_min_bar_file(p)); },
     [](auto& b) { return outcome(parse_lc_min_bar(b)); }},
    {nullptr, [](auto& p) { return outcome(parse_financial_file(p)); }, [](auto& b) { return outcome(parse_financial(b)); }},
};

}  // namespace

TEST(ReaderFile, FileParsersMatchTheirByteParsers) {
    Bytes two_records;
    // A decimal and a packed date.
    for (uint32_t v : {20240315u, 1234u, 1250u, 1200u, 1240u, 0u, 500u, 0u, (20u << 11) + 315, 1u, 2u, 3u, 4u, 0u, 6u, 0u})
        put_u32(two_records, v);
    for (const Bytes& content : {two_records, Bytes{}, Bytes(two_records.begin(), two_records.end() - 1)}) {
        TempFile f(content);
        for (const Parser& p : kParsers) EXPECT_EQ(p.file(f.path()), p.bytes(content)) << content.size();
    }
    EXPECT_EQ(kParsers[0].bytes(two_records), "2 records 2024-03-15 12.340000 2024-03-15 0.010000");
}

TEST(ReaderFile, FailuresAreIoErrors) {
    const auto missing = std::filesystem::temp_directory_path() / ("quotix-missing-" + std::to_string(::getpid())) / "x.day";
    for (const Parser& p : kParsers) EXPECT_EQ(p.file(missing.string()), "IO error: No such file or directory (os error 2)");
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

TEST(ReaderFile, BarFilesOfPartRecords) {
    for (const Parser& p : kParsers) {
        if (!p.label) continue;
        EXPECT_EQ(p.bytes({}), "0 records");
        for (size_t n : {1u, 31u, 33u, 63u})
            EXPECT_EQ(p.bytes(Bytes(n, 0)),
                      std::string("Invalid data: ") + p.label + " file size " + std::to_string(n) + " is not a multiple of 32");
    }
    for (size_t n : {0u, 1u, 19u}) EXPECT_EQ(kParsers[3].bytes(Bytes(n, 0)), "Invalid data: Financial file too small for header");
}
