// The smart client's cache file: its place, text, records, blacklist, loading and saving.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <limits>

#include "client_fixture.hpp"
#include "net/server_cache.hpp"

namespace fs = std::filesystem;
using quotix::net::ServerCache;
using namespace quotix::testing;

// The saves' fsync, failing with this errno while it is not 0.
std::atomic<int> g_fsync_error{0};

extern "C" int fsync(int fd) {
    if (const int err = g_fsync_error.load()) {
        errno = err;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

size_t files_in(const fs::path& dir) { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }

const char* kFresh = "{\n  \"version\": 1,\n  \"last_success\": null,\n  \"blacklist\": [],\n  \"server_stats\": {}\n}";

class CacheFile : public ::testing::Test {
protected:
    fs::path file() const { return home_.cache_file(); }
    void write(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    size_t entries() const { return files_in(file().parent_path()); }
    ScratchHome home_;
};

}  // namespace

TEST_F(CacheFile, PathPrefersUserProfileThenHomeThenTheCurrentDirectory) {
    ::setenv("HOME", "/h", 1);
    ::setenv("USERPROFILE", "/u\xff", 1);  // not text: passed over
    EXPECT_EQ(ServerCache::cache_path(), fs::path("/h/.quotix/server_cache.json"));
    ::setenv("USERPROFILE", "/u", 1);
    EXPECT_EQ(ServerCache::cache_path(), fs::path("/u/.quotix/server_cache.json"));
    ::unsetenv("USERPROFILE");
    ::unsetenv("HOME");
    EXPECT_EQ(ServerCache::cache_path(), fs::path("./.quotix/server_cache.json"));
}

// Every change is written at once in the fixed layout and loads back equal, no temporary file
// left; the mean latency is a running one in 64 bits, and counters stop at their limit.
TEST_F(CacheFile, RecordsAreSavedInTheFixedLayoutAndLoadBack) {
    ServerCache c;
    c.set_clock([] { return uint64_t{1700000000}; });
    for (uint32_t ms : {100, 50, 0}) c.record_success("127.0.0.1", 7709, "上海双线主站", ms);
    c.record_failure("127.0.0.1", 7709);
    c.add_to_blacklist("127.0.0.2", 7711, "kline_empty");
    EXPECT_EQ(home_.cache_text(),
              "{\n  \"version\": 1,\n  \"last_success\": {\n    \"ip\": \"127.0.0.1\",\n    \"port\": 7709,\n"
              "    \"name\": \"上海双线主站\",\n    \"timestamp\": 1700000000,\n    \"latency_ms\": 0\n  },\n"
              "  \"blacklist\": [\n    {\n      \"ip\": \"127.0.0.2\",\n      \"port\": 7711,\n"
              "      \"reason\": \"kline_empty\",\n      \"timestamp\": 1700000000\n    }\n  ],\n"
              "  \"server_stats\": {\n    \"127.0.0.1:7709\": {\n      \"success\": 3,\n      \"fail\": 1,\n"
              "      \"avg_latency\": 50\n    }\n  }\n}");
    EXPECT_EQ(ServerCache::load().to_json().value(), c.to_json().value());
    EXPECT_EQ(entries(), 1u);
    const uint32_t max = std::numeric_limits<uint32_t>::max();
    auto& st = c.server_stats["127.0.0.1:7709"] = {max, max, max};
    c.record_success("127.0.0.1", 7709, "a", 0);
    c.record_failure("127.0.0.1", 7709);
    // The mean: (max x max + 0) / (max + 1), rounded down.
    EXPECT_EQ(std::tuple(st.success, st.fail, st.avg_latency), std::tuple(max, max, max - 1));
}

// An entry holds for 24 hours (one dated in the future counts as expired); adding a live one
// again changes and writes nothing, and expired entries go when another is added.
TEST_F(CacheFile, BlacklistHoldsForTwentyFourHours) {
    uint64_t now = 1700000000;
    ServerCache c;
    c.set_clock([&] { return now; });
    c.blacklist.push_back({"127.0.0.9", 1, "kline_empty", now + 10});
    EXPECT_FALSE(c.is_blacklisted("127.0.0.9", 1));
    c.add_to_blacklist("127.0.0.1", 7709, "kline_empty");
    EXPECT_EQ(c.blacklist.size(), 1u);
    EXPECT_FALSE(c.is_blacklisted("127.0.0.1", 7710));
    fs::remove(file());
    now += 86399;
    c.add_to_blacklist("127.0.0.1", 7709, "parse_error");
    EXPECT_FALSE(fs::exists(file()));
    EXPECT_TRUE(c.is_blacklisted("127.0.0.1", 7709));
    c.add_to_blacklist("127.0.0.2", 2, "parse_error");
    now += 1;
    EXPECT_FALSE(c.is_blacklisted("127.0.0.1", 7709));
    EXPECT_EQ(c.blacklist.size(), 2u);
    c.add_to_blacklist("127.0.0.3", 3, "parse_error");
    EXPECT_EQ(c.blacklist[0].ip + " " + c.blacklist.at(1).ip, "127.0.0.2 127.0.0.3");
}

// A missing, unreadable or non-UTF-8 file gives the default silently, one that fails to parse or
// is too large to be ours with a warning. Unknown members are skipped whatever they hold, a key
// named twice included.
TEST_F(CacheFile, UnreadableFilesGiveTheDefault) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, ""}, {"folder", ""},
        {"{\"version\": 1, \"blacklist\": [], \"server_stats\": {}, \"x\": \"\xc3\"}", ""},
        {"{}", "[W] cache  failed to parse cache: missing field `version` at line 1 column 3\n"},
    };
    for (auto [text, warning] : cases) {
        SCOPED_TRACE(text ? text : "missing");
        fs::remove_all(file());
        if (text && std::string(text) == "folder") fs::create_directories(file());
        else if (text) write(text);
        LogCapture log(2);
        const std::string got = ServerCache::load().to_json().value();
        EXPECT_EQ(log.take(), warning);
        EXPECT_EQ(got, kFresh);
    }
    // A file past 1 MiB is no cache of ours, valid text or not; the largest the client writes loads.
    for (size_t size : {size_t{1} << 20, (size_t{1} << 20) + 1}) {
        std::string text = kFresh;
        text.resize(size, ' ');
        write(text);
        LogCapture log(2);
        EXPECT_EQ(ServerCache::load().to_json().value(), kFresh);
        EXPECT_EQ(log.take(), size == 1u << 20 ? "" : "[W] cache  failed to parse cache: file larger than 1048576 bytes\n");
    }
    ServerCache full;
    for (int i = 0; i < 200; ++i) {  // every built-in server and more, each failed and blacklisted
        const std::string ip = "255.255.255." + std::to_string(i);
        full.record_success(ip, 65535, "上海双线主站" + std::to_string(i), 4294967295u);
        full.record_failure(ip, 65535);
        full.add_to_blacklist(ip, 65535, "kline_empty");
    }
    EXPECT_EQ(ServerCache::load().to_json().value(), full.to_json().value());
    write("{\"server_stats\": {\"127.0.0.1:7709\": {\"avg_latency\": 7, \"fail\": 2, \"success\": 3, \"x\": {\"k\": 1, "
          "\"k\": 2}}}, \"extra\": {\"a\": [1], \"a\": {}}, \"blacklist\": [{\"timestamp\": 5, \"reason\": \"r\", "
          "\"note\": 1, \"note\": 2, \"port\": 80, \"ip\": \"127.0.0.9\"}], \"version\": 4, \"extra\": null}");
    ServerCache c = ServerCache::load();
    EXPECT_TRUE(c.version == 4 && !c.last_success && c.blacklist.size() == 1);
    EXPECT_EQ(c.blacklist.at(0).port, 80);
    EXPECT_EQ(c.server_stats.at("127.0.0.1:7709").avg_latency, 7u);
}

// A save that fails (a sync that fails, a name that is not UTF-8) is logged; the memory is kept,
// the old file stays whole, and no descriptor or temporary file is left behind.
TEST_F(CacheFile, FailedSavesKeepTheOldFile) {
    for (auto [name, line] : {std::pair{"a", "[W] cache  failed to save cache: Input/output error (os error 5)\n"},
                              {"\xff", "[W] cache  failed to serialize cache: "}}) {
        ServerCache c;
        c.save();
        const size_t fds = files_in("/proc/self/fd");
        LogCapture log(2);
        g_fsync_error = EIO;
        c.record_success("127.0.0.1", 7709, name, 5);
        g_fsync_error = 0;
        EXPECT_EQ(log.take().rfind(line, 0), 0u) << line;
        EXPECT_EQ(c.server_stats["127.0.0.1:7709"].success, 1u);
        EXPECT_EQ(files_in("/proc/self/fd"), fds);
        EXPECT_EQ(home_.cache_text(), kFresh);
        EXPECT_EQ(entries(), 1u);
    }
}

// Parse faults end with their position; values that do not fit their type fail too; whitespace
// around the document and escapes (a surrogate pair included) are accepted.
TEST(CacheText, ParseFaultsAndEscapes) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"version\": 1, \"version\": 2, \"blacklist\": [], \"server_stats\": {}}", "duplicate field `version` at line 1 column 25"},
        {"{\"version\": 1, \"blacklist\": [], \"server_stats\": {}} x", "trailing characters at line 1 column 53"},
        {"{\"version\": 1,\n \"blacklist\": [],\n \"server_stats\": {\"k\": {\"success\": 1, \"fail\": \"2\", \"avg_latency\": 0}}}",
         "invalid type: string for `fail`, expected u32 at line 3 column 47"},
        {"{\"version\": 1, \"blacklist\": [{\"ip\": \"a\", \"port\": 65536, \"reason\": \"r\", \"timestamp\": 1}], \"server_stats\": {}}",
         "invalid value: integer `65536` for `port`, expected u16 at line 1 column 50"},
    };
    for (auto [text, message] : cases) EXPECT_EQ(outcome(ServerCache::from_json(text)), std::string("Parse error: ") + message);
    auto r = ServerCache::from_json(
        " \n{\"version\": 1, \"last_success\": {\"ip\": \"127.0.0.1\", \"port\": 7709, \"name\": \"\\u4e0a\\u6d77 "
        "\\ud83d\\ude00\", \"timestamp\": 18446744073709551615, \"latency_ms\": 0}, \"blacklist\": [], \"server_stats\": {}}\n\t");
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(r->last_success->name, "上海 \xF0\x9F\x98\x80");
    EXPECT_EQ(r->last_success->timestamp, UINT64_MAX);
}
