// Local data files built byte by byte: daily and minute bars, financial files, block files. The errors'
// texts, as Python sees them, are tested there.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "protocol/block_file.hpp"
#include "reader/daily_bar.hpp"
#include "reader/financial.hpp"
#include "reader/min_bar.hpp"
#include "reader/read_file.hpp"
#include "record_text.hpp"

using namespace quotix;
using namespace quotix::reader;
using testutil::fields;
using testutil::outcome;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes& put(Bytes& b, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.push_back(uint8_t(v >> (8 * i)));
    return b;
}
Bytes u32s(std::initializer_list<uint32_t> values, Bytes b = {}) {
    for (uint32_t v : values) put(b, v, 4);
    return b;
}
uint32_t f32(float v) { return std::bit_cast<uint32_t>(v); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A 32-byte minute record: packed date, minutes of the day, then seven 32-bit words.
Bytes min_record(uint16_t date, uint16_t minutes, std::initializer_list<uint32_t> words) {
    return u32s(words, Bytes{uint8_t(date), uint8_t(date >> 8), uint8_t(minutes), uint8_t(minutes >> 8)});
}
constexpr uint16_t MAR_15_2024 = (20 << 11) + 315;

template <class Bar>
std::string bar_text(const Bar& r) {
    return fields(r.date, r.open, r.high, r.low, r.close, r.amount, r.volume);
}
std::string financial_text(const FinancialRecord& r) {
    std::string s = r.code;
    for (float f : r.fields) s += " " + testutil::field_text(f);
    return s;
}

struct Entry { const char* code; uint32_t offset; };  // six bytes of code
Bytes financial(uint16_t count, uint32_t record_size, const std::vector<Entry>& entries, const Bytes& tail = {}) {
    Bytes b;
    put(put(put(put(put(put(b, 0xAAAA, 2), 20231231, 4), count, 2), 0xBBBBBBBB, 4), record_size, 4), 0xCCCCCCCC, 4);
    for (const Entry& e : entries) {
        b.insert(b.end(), e.code, e.code + 6);
        b.push_back(0xEE);
        put(b, e.offset, 4);
    }
    return b + tail;
}

// A block file header announcing `blocks` blocks.
Bytes block_file(uint16_t blocks) { Bytes b(384, 0); return put(b, blocks, 2); }
// One block: a 9-byte name, the count (the codes given unless `announced`), the type and 7-byte codes,
// padded to its 2813-byte slot when `pad` is set.
Bytes block(std::string name, uint16_t type, const std::vector<std::string>& codes, bool pad = true, int announced = -1) {
    name.resize(9, '\0');
    Bytes b(name.begin(), name.end());
    put(put(b, announced >= 0 ? announced : codes.size(), 2), type, 2);
    for (std::string c : codes) {
        c.resize(7, '\0');
        b.insert(b.end(), c.begin(), c.end());
    }
    if (pad) b.resize(2813, 0);
    return b;
}

// Each reader's outcome as text.
std::string daily(const Bytes& b) { return outcome(parse_daily_bar(b, 0.01), bar_text<DailyBarRecord>); }
std::string min(const Bytes& b) { return outcome(parse_min_bar(b), bar_text<MinBarRecord>); }
std::string lc(const Bytes& b) { return outcome(parse_lc_min_bar(b), bar_text<MinBarRecord>); }
std::string fin(const Bytes& b) { return outcome(parse_financial(b), financial_text); }

}  // namespace

TEST(ReaderBars, RecordsByHand) {
    const std::tuple<std::string (*)(const Bytes&), Bytes, const char*> cases[] = {
        // File order; prices in hundredths, amount a float, volume a count; the last word is reserved.
        {daily,
         u32s({20240315, 1234, 1250, 1200, 1240, f32(640.5f), 500, 0}) +
             u32s({20240314, 1000, 1100, 900, 1050, f32(0.25f), 7, 0xDEADBEEF}),
         "2024-03-15 12.34 12.5 12 12.4 640.5 500 | 2024-03-14 10 11 9 10.5 0.25 7"},
        // Dates up to 100000 are packed, larger ones decimal; nothing is validated or cut.
        {daily, u32s({0, 1, 1, 1, 1, 0, 0, 0}) + u32s({100000, 1, 1, 1, 1, 0, 0, 0}) +
                    u32s({100001, 1, 1, 1, 1, 0, 0, 0}) + u32s({0xFFFFFFFF, 1, 1, 1, 1, 0, 0, 0}),
         "2004-00-00 0.01 0.01 0.01 0.01 0 0 | 2052-16-96 0.01 0.01 0.01 0.01 0 0 | 0010-00-01 0.01 0.01 0.01 0.01 0 0 | "
         "429496-72-95 0.01 0.01 0.01 0.01 0 0"},
        {min,
         min_record(MAR_15_2024, 575, {1234, 1250, 1200, 1240, f32(640.5f), 500, 0xFFFFFFFF}) +
             min_record(0, 1500, {0xFFFFFFFF, 0, 0, 0, 0, 0xFFFFFFFF, 0}) + min_record(0xFFFF, 65535, {1, 1, 1, 1, 0, 0, 0}),
         "2024-03-15 09:35 12.34 12.5 12 12.4 640.5 500 | 2004-00-00 25:00 42949672.95 0 0 0 0 4294967295 | "
         "2035-20-47 1092:15 0.01 0.01 0.01 0.01 0 0"},
        // Floats stay single precision, widened without rounding.
        {lc, min_record(MAR_15_2024, 575, {f32(12.34f), f32(12.5f), f32(12.0f), f32(12.4f), f32(640.5f), 500, 0}),
         "2024-03-15 09:35 12.3400001525879 12.5 12 12.3999996185303 640.5 500"},
    };
    for (const auto& [parse, file, expected] : cases) EXPECT_EQ(parse(file), expected);
    // Hundredths divide by 100: a multiplication by 0.01 would give 0.5700000000000001.
    EXPECT_EQ(parse_min_bar(min_record(0, 0, {57, 0, 0, 0, 0, 0, 0})).value()[0].open, 0.57);
}

// Which entries come back: the count, the directory room, the record size and the offsets decide.
TEST(ReaderFinancial, EntriesAndRecordBounds) {
    const Bytes floats = u32s({f32(1.5f), f32(2.5f)});
    const std::pair<Bytes, const char*> cases[] = {
        {financial(3, 8, {{"600519", 53}, {"000001", 61}, {"600519", 53}}, u32s({f32(0.1f), f32(2.5f), f32(-1), f32(1e30f)})),
         "600519 0.100000001490116 2.5 | 000001 -1 1.00000001504747e+30 | 600519 0.100000001490116 2.5"},
        {financial(5, 8, {}), ""},  // entries promised, none present
        {financial(0, 8, {{"600519", 20}}, floats), ""},
        {financial(3, 4, {{"000001", 42}, {"000002", 46}}, floats + Bytes(2)), "000001 1.5 | 000002 2.5"},
        // Size 0: empty records, except where the offset lies beyond the end (53 is exactly the end). Codes
        // are lossy UTF-8 without their trailing NULs.
        {financial(3, 0, {{"12345\0", 0}, {"60\xc4\xe3" "19", 53}, {"000003", 54}}),
         "12345 | 60\xef\xbf\xbd\xef\xbf\xbd" "19"},
        // Size 10: two floats, the last two bytes ignored; a record needs offset + 8 bytes.
        {financial(3, 10, {{"000001", 53}, {"000002", 54}, {"000003", 53}}, floats), "000001 1.5 2.5 | 000003 1.5 2.5"},
        {financial(1, 8, {{"000001", 0xFFFFFFFC}}), ""},  // no wrap-around near 2^32
    };
    for (const auto& [file, expected] : cases) EXPECT_EQ(fin(file), expected);
    // 100 entries on one record spanning the directory: a real file never does this, and decoding each
    // copy would multiply the file's size a hundred times.
    EXPECT_EQ(parse_financial(financial(100, 1100, std::vector<Entry>(100, {"000001", 20})))->size(), 1u);
}

TEST(BlockFile, RowsGroupsAndBounds) {
    std::vector<std::string> full;
    for (int i = 0; i < 400; ++i) full.push_back(std::to_string(600000 + i));
    // Each case: the file, then its rows (name type index code) and groups (name codes type count), or the
    // error both give.
    struct Case { Bytes file; const char *rows, *groups; };
    const Case cases[] = {
        // A GBK name, a UTF-8 marked code, a UTF-16LE marked one with an odd last byte; other types skipped.
        {block_file(3) + block("\xbb\xa6\xc9\xee" "300", 2, {"600000", "\xef\xbb\xbf" "A1", std::string("\xff\xfe" "B\0C\0", 6)}) +
             block("IDX", 1, {"000001"}) + block("EMPTY", 2, {}),
         "沪深300 2 0 600000 | 沪深300 2 1 A1 | 沪深300 2 2 BC\xef\xbf\xbd",
         "沪深300 600000,A1,BC\xef\xbf\xbd 2 3 | EMPTY  2 0"},
        {Bytes(385), "Invalid data: Block file too small", nullptr},
        {block_file(0), "", ""},  // 386 bytes: the header alone
        {block_file(1) + Bytes(12), "Invalid data: Truncated block header", nullptr},
        // The second block's slot would start past the end of the file.
        {block_file(2) + block("A", 2, {"000001"}, false), "Invalid data: Truncated block header", nullptr},
        // The last block is read to its announced codes, not to the end of its slot.
        {block_file(1) + block("B", 2, {"000001", "000002"}, false, 3), "Invalid data: Truncated stock code", nullptr},
        // A failure in a later block discards the rows already read.
        {block_file(2) + block("A", 2, {"000001"}) + Bytes(5), "Invalid data: Truncated block header", nullptr},
        // More members than the slot's 400 would read the next block as codes; other types are not read at all.
        {block_file(2) + block("BIG", 2, {}, true, 401) + block("X", 2, {}), "Invalid data: Too many stock codes in block",
         nullptr},
        {block_file(1) + block("X", 3, {}, true, 65535), "", ""},
    };
    auto row = [](const BlockRecord& r) { return fields(r.blockname, r.block_type, r.code_index, r.code); };
    auto group = [](const BlockGroup& g) { return fields(g.blockname, g.code_list, g.block_type, g.stock_count); };
    for (const Case& c : cases) {
        EXPECT_EQ(outcome(parse_block(c.file), row), c.rows);
        EXPECT_EQ(outcome(parse_block_groups(c.file), group), c.groups ? c.groups : c.rows);
    }
    auto full_rows = parse_block(block_file(1) + block("FULL", 2, full));
    ASSERT_EQ(full_rows->size(), 400u);
    EXPECT_EQ(row(full_rows->back()), "FULL 2 399 600399");
}

// What the readers' file methods get of a path: its bytes, or the system's reason as an I/O error.
TEST(ReaderFile, BytesOrTheSystemsReason) {
    const auto dir = std::filesystem::temp_directory_path() / ("quotix-reader-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "empty.day");
    std::ofstream(dir / "two.day", std::ios::binary) << "ab";
    const std::pair<std::string, const char*> cases[] = {
        {(dir / "two.day").string(), "97 | 98"},
        {(dir / "empty.day").string(), ""},
        {(dir / "absent.day").string(), "IO error: No such file or directory (os error 2)"},
        {dir.string(), "IO error: Is a directory (os error 21)"},  // opens, then fails to read
        {std::string("two\0.day", 8), "IO error: file name contained an unexpected NUL byte"},
    };
    auto byte = [](uint8_t b) { return std::to_string(b); };
    for (const auto& [path, expected] : cases) EXPECT_EQ(outcome(read_file_bytes(path), byte), expected) << path;
    std::filesystem::remove_all(dir);
}

// A file that reports no size, a pipe here, grows in chunks until its end.
TEST(ReaderFile, EveryByteOfAFileWithoutASize) {
    Bytes big(300 * 1024 + 7);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 31 + 7);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        EXPECT_EQ(::write(fds[1], big.data(), big.size()), ssize_t(big.size()));
        ::close(fds[1]);
    });
    auto got = read_file_bytes("/proc/self/fd/" + std::to_string(fds[0]));
    ::close(fds[0]);
    writer.join();
    EXPECT_EQ(got.value(), big);
}

// A signal that arrives while opening a FIFO waits for its writer does not end the read, unless the
// caller's hook says to stop. The handler is installed without SA_RESTART, as Python installs its
// own, so the waiting open() fails with EINTR.
TEST(ReaderFile, AFifoOpenOutlastsASignalUnlessTheHookStops) {
    const auto fifo = std::filesystem::temp_directory_path() / ("quotix-fifo-" + std::to_string(::getpid()));
    const std::string reader_syscall = "/proc/self/task/" + std::to_string(::gettid()) + "/syscall";
    ASSERT_TRUE(std::ifstream(reader_syscall).good());  // where the writer sees the reader wait
    static std::atomic<bool> caught;
    struct sigaction on_usr1 {}, old {};
    on_usr1.sa_handler = [](int) { caught = true; };
    sigemptyset(&on_usr1.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &on_usr1, &old), 0);
    const std::pair<std::optional<bool>, std::string> cases[] = {
        {std::nullopt, "97 | 98"}, {true, "97 | 98"}, {false, "IO error: Interrupted system call (os error 4)"}};
    for (const auto& [hook_answer, want] : cases) {
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        caught = false;
        int asked = 0;
        OnInterrupt hook;
        if (hook_answer) hook = [&, answer = *hook_answer] { return ++asked, answer; };
        const pthread_t reader = ::pthread_self();
        std::thread writer([&] {
            // The signal goes once the reader waits inside openat, the writer comes once the handler ran.
            for (std::string nr; nr != std::to_string(SYS_openat); std::this_thread::yield())
                std::ifstream(reader_syscall) >> nr;
            ::pthread_kill(reader, SIGUSR1);
            while (!caught) std::this_thread::yield();
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            EXPECT_EQ(::write(fd, "ab", 2), 2);
            ::close(fd);
        });
        auto got = read_file_bytes(fifo.string(), hook);
        if (!got.ok()) (void)read_file_bytes(fifo.string());  // a read that gave up: meet the writer so it can end
        writer.join();
        EXPECT_EQ(outcome(got, [](uint8_t b) { return std::to_string(b); }), want);
        EXPECT_EQ(asked, hook_answer ? 1 : 0);
    }
    ::sigaction(SIGUSR1, &old, nullptr);
    std::filesystem::remove(fifo);
}
