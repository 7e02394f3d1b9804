#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

#include "logging.hpp"
#include "loopback_client.hpp"
#include "net/server_cache.hpp"

namespace fs = std::filesystem;
using quotix::net::ServerCache;

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

size_t open_descriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

void write_file(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

class ServerCacheFile : public ::testing::Test {
protected:
    void SetUp() override {
        saved_level_ = quotix::logging::LEVEL.load();
        quotix::logging::LEVEL = 2;
    }
    void TearDown() override { quotix::logging::LEVEL = saved_level_; }
    fs::path file() const { return scratch_.cache_file(); }

    quotix::test::ScratchHome scratch_;
    const fs::path& home_ = scratch_.path();
    uint8_t saved_level_ = 2;
};

const char* kFresh =
    "{\n"
    "  \"version\": 1,\n"
    "  \"last_success\": null,\n"
    "  \"blacklist\": [],\n"
    "  \"server_stats\": {}\n"
    "}";

}  // namespace

TEST_F(ServerCacheFile, PathPrefersUserProfileThenHomeThenTheCurrentDirectory) {
    ::setenv("HOME", "/h", 1);
    EXPECT_EQ(ServerCache::cache_path(), fs::path("/h/.quotix/server_cache.json"));
    ::setenv("USERPROFILE", "/u", 1);
    EXPECT_EQ(ServerCache::cache_path(), fs::path("/u/.quotix/server_cache.json"));
    ::setenv("USERPROFILE", "/u\xff", 1);  // not text: passed over
    EXPECT_EQ(ServerCache::cache_path(), fs::path("/h/.quotix/server_cache.json"));
    ::unsetenv("USERPROFILE");
    ::unsetenv("HOME");
    EXPECT_EQ(ServerCache::cache_path(), fs::path("./.quotix/server_cache.json"));
}

// ---- the file's text

TEST_F(ServerCacheFile, FreshCacheWritesTheDefaultDocumentAndCreatesTheDirectory) {
    ASSERT_FALSE(fs::exists(home_ / ".quotix"));
    ServerCache c;
    c.save();
    EXPECT_EQ(scratch_.cache_text(), kFresh);
}

TEST_F(ServerCacheFile, FullDocumentKeepsMemberOrderAndWritesChineseAsUtf8) {
    ServerCache c;
    c.set_clock([] { return uint64_t{1700000000}; });
    c.record_success("127.0.0.1", 7709, "上海双线主站", 42);
    c.add_to_blacklist("127.0.0.2", 7711, "kline_empty");
    EXPECT_EQ(scratch_.cache_text(),
              "{\n"
              "  \"version\": 1,\n"
              "  \"last_success\": {\n"
              "    \"ip\": \"127.0.0.1\",\n"
              "    \"port\": 7709,\n"
              "    \"name\": \"上海双线主站\",\n"
              "    \"timestamp\": 1700000000,\n"
              "    \"latency_ms\": 42\n"
              "  },\n"
              "  \"blacklist\": [\n"
              "    {\n"
              "      \"ip\": \"127.0.0.2\",\n"
              "      \"port\": 7711,\n"
              "      \"reason\": \"kline_empty\",\n"
              "      \"timestamp\": 1700000000\n"
              "    }\n"
              "  ],\n"
              "  \"server_stats\": {\n"
              "    \"127.0.0.1:7709\": {\n"
              "      \"success\": 1,\n"
              "      \"fail\": 0,\n"
              "      \"avg_latency\": 42\n"
              "    }\n"
              "  }\n"
              "}");
}

TEST_F(ServerCacheFile, SavedCacheLoadsBackEqualAndLeavesNoTemporaryFile) {
    ServerCache c;
    c.set_clock([] { return uint64_t{1700000000}; });
    c.record_success("127.0.0.1", 7709, "甲", 10);
    c.record_failure("127.0.0.3", 7709);
    c.add_to_blacklist("127.0.0.2", 7711, "parse_error");
    ServerCache back = ServerCache::load();
    EXPECT_EQ(back.to_json().value(), c.to_json().value());
    ASSERT_TRUE(back.last_success);
    EXPECT_EQ(back.last_success->name, "甲");
    EXPECT_EQ(back.server_stats.at("127.0.0.3:7709").fail, 1u);
    for (const auto& e : fs::directory_iterator(home_ / ".quotix")) EXPECT_EQ(e.path().filename(), "server_cache.json");
}

// ---- records

TEST_F(ServerCacheFile, RunningMeanOfLatenciesAndFailureCounts) {
    ServerCache c;
    c.record_failure("127.0.0.1", 7709);
    EXPECT_FALSE(c.last_success);
    EXPECT_TRUE(fs::exists(file()));
    for (auto [ms, mean] : {std::pair{100u, 100u}, {50u, 75u}, {0u, 50u}}) {
        c.record_success("127.0.0.1", 7709, "a", ms);
        EXPECT_EQ(c.server_stats["127.0.0.1:7709"].avg_latency, mean) << ms;
    }
    EXPECT_EQ(c.server_stats["127.0.0.1:7709"].success, 3u);
    EXPECT_EQ(c.server_stats["127.0.0.1:7709"].fail, 1u);
    EXPECT_EQ(c.last_success->latency_ms, 0u);
    EXPECT_TRUE(c.blacklist.empty());
}

TEST_F(ServerCacheFile, CountersAtTheirLimitNeitherWrapNorCorruptTheMean) {
    const uint32_t max = std::numeric_limits<uint32_t>::max();
    ServerCache c;
    c.server_stats["127.0.0.1:7709"] = {max, max, max};
    c.record_success("127.0.0.1", 7709, "a", max);
    c.record_failure("127.0.0.1", 7709);
    const auto& st = c.server_stats["127.0.0.1:7709"];
    EXPECT_EQ(st.success, max);
    EXPECT_EQ(st.fail, max);
    EXPECT_EQ(st.avg_latency, max);  // the product n x mean needs 64 bits
    c.record_success("127.0.0.1", 7709, "a", 0);
    EXPECT_EQ(st.avg_latency, max - 1);  // (max x max + 0) / (max + 1), rounded down
}

// ---- blacklist

TEST_F(ServerCacheFile, BlacklistHoldsForTwentyFourHours) {
    uint64_t now = 1700000000;
    ServerCache c;
    c.set_clock([&] { return now; });
    c.add_to_blacklist("127.0.0.1", 7709, "kline_empty");
    EXPECT_TRUE(c.is_blacklisted("127.0.0.1", 7709));
    EXPECT_FALSE(c.is_blacklisted("127.0.0.1", 7710));
    EXPECT_FALSE(c.is_blacklisted("127.0.0.10", 7709));

    // A second addition within the day neither adds nor writes.
    fs::remove(file());
    now += 86399;
    c.add_to_blacklist("127.0.0.1", 7709, "parse_error");
    EXPECT_EQ(c.blacklist.size(), 1u);
    EXPECT_FALSE(fs::exists(file()));
    EXPECT_TRUE(c.is_blacklisted("127.0.0.1", 7709));

    // At 24 hours the entry is dead; a new one replaces it.
    now = 1700000000 + 86400;
    EXPECT_FALSE(c.is_blacklisted("127.0.0.1", 7709));
    c.add_to_blacklist("127.0.0.1", 7709, "parse_error");
    ASSERT_EQ(c.blacklist.size(), 1u);
    EXPECT_EQ(c.blacklist[0].reason, "parse_error");
    EXPECT_EQ(c.blacklist[0].timestamp, 1700000000u + 86400);
    EXPECT_TRUE(fs::exists(file()));
}

TEST_F(ServerCacheFile, ExpiredEntriesGoOnlyWhenAnotherIsAddedAndOrderIsKept) {
    uint64_t now = 1000000;
    ServerCache c;
    c.set_clock([&] { return now; });
    c.add_to_blacklist("127.0.0.1", 1, "kline_empty");
    now += 50000;
    c.add_to_blacklist("127.0.0.2", 2, "kline_empty");
    c.add_to_blacklist("127.0.0.3", 3, "kline_empty");
    now += 40000;  // the first is now 90000 s old
    EXPECT_EQ(c.blacklist.size(), 3u);
    c.add_to_blacklist("127.0.0.4", 4, "parse_error");
    ASSERT_EQ(c.blacklist.size(), 3u);
    EXPECT_EQ(c.blacklist[0].ip, "127.0.0.2");
    EXPECT_EQ(c.blacklist[1].ip, "127.0.0.3");
    EXPECT_EQ(c.blacklist[2].ip, "127.0.0.4");
}

TEST_F(ServerCacheFile, EntryDatedInTheFutureCountsAsExpired) {
    ServerCache c;
    c.set_clock([] { return uint64_t{1000}; });
    c.blacklist.push_back({"127.0.0.1", 7709, "kline_empty", 5000});
    EXPECT_FALSE(c.is_blacklisted("127.0.0.1", 7709));
    c.add_to_blacklist("127.0.0.2", 7709, "kline_empty");
    ASSERT_EQ(c.blacklist.size(), 1u);
    EXPECT_EQ(c.blacklist[0].ip, "127.0.0.2");
}

// ---- loading

// A missing file, a folder, a file without read permission or one that is not UTF-8 gives the
// default silently; one that fails to parse gives it with a warning.
TEST_F(ServerCacheFile, UnreadableFilesGiveTheDefault) {
    const char* kFolder = "folder";
    const char* kLocked = "locked";
    for (auto [text, warning] : {std::pair<const char*, const char*>{nullptr, ""},
                                 {kFolder, ""},
                                 {kLocked, ""},
                                 {"{\"version\": 1, \"blacklist\": [], \"server_stats\": {}, \"x\": \"\xc3\"}", ""},
                                 {"{}", "[W] cache  failed to parse cache: missing field `version`"}}) {
        SCOPED_TRACE(text ? text : "missing");
        fs::remove_all(file());
        if (text == kLocked && ::geteuid() == 0) continue;  // root reads any file
        if (text == kFolder) {
            fs::create_directories(file());
        } else if (text) {
            write_file(file(), text == kLocked ? kFresh : text);
            if (text == kLocked) fs::permissions(file(), fs::perms::none);
        }
        ::testing::internal::CaptureStderr();
        ServerCache c = ServerCache::load();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.substr(0, std::strlen(warning)), warning) << err;
        EXPECT_EQ(err.empty(), *warning == 0) << err;
        EXPECT_EQ(c.to_json().value(), kFresh);
    }
}

// Unknown members are skipped whatever they hold, a key named twice inside them included.
TEST_F(ServerCacheFile, MembersInAnyOrderUnknownIgnoredLastSuccessOptional) {
    write_file(file(),
               "{\"server_stats\": {\"127.0.0.1:7709\": {\"avg_latency\": 7, \"fail\": 2, "
               "\"success\": 3, \"x\": {\"k\": 1, \"k\": 2}}}, \"extra\": {\"a\": [1], \"a\": {}}, "
               "\"blacklist\": [{\"timestamp\": 5, \"reason\": \"kline_empty\", \"note\": 1, \"note\": 2, "
               "\"port\": 80, \"ip\": \"127.0.0.9\"}], \"version\": 4, \"extra\": null}");
    ServerCache c = ServerCache::load();
    EXPECT_EQ(c.version, 4u);
    EXPECT_FALSE(c.last_success);
    ASSERT_EQ(c.blacklist.size(), 1u);
    EXPECT_EQ(c.blacklist[0].port, 80);
    EXPECT_EQ(c.server_stats.at("127.0.0.1:7709").success, 3u);
    EXPECT_EQ(c.server_stats.at("127.0.0.1:7709").avg_latency, 7u);
}

// ---- writing

TEST_F(ServerCacheFile, WriteThatFailsHalfwayKeepsTheOldFileWhole) {
    ServerCache c;
    c.save();
    const std::string before = scratch_.cache_text();
    // Files may grow to 100 bytes only: the new text breaks off in the middle of its write, as
    // it would on a full disk or a crash.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ::testing::internal::CaptureStderr();
    c.record_success("127.0.0.1", 7709, std::string(200, 'n'), 5);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(err.rfind("[W] cache  failed to save cache: ", 0), 0u) << err;
    EXPECT_EQ(scratch_.cache_text(), before);
    EXPECT_EQ(c.server_stats["127.0.0.1:7709"].success, 1u);
    // No half-written temporary file is left beside it.
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(home_ / ".quotix")) n += e.path().filename() != "server_cache.json";
    EXPECT_EQ(n, 0u);
}

// A directory that cannot be made, or a file whose sync fails: logged, the memory kept, no
// descriptor left open and no temporary file left behind.
TEST_F(ServerCacheFile, FailedSavesAreLoggedAndTheMemoryKept) {
    struct Case {
        const char* name;
        int fsync_error;
        const char* line;
    };
    for (const Case& k : {Case{"unwritable directory", 0, "[W] cache  failed to save cache: "},
                          Case{"sync fails", EIO, "[W] cache  failed to save cache: Input/output error (os error 5)\n"}}) {
        SCOPED_TRACE(k.name);
        fs::remove_all(home_ / ".quotix");
        if (k.fsync_error == 0) std::ofstream(home_ / ".quotix") << "not a directory";
        ServerCache c;
        const size_t fds = open_descriptors();
        g_fsync_error = k.fsync_error;
        ::testing::internal::CaptureStderr();
        c.record_failure("127.0.0.1", 7709);
        const std::string err = ::testing::internal::GetCapturedStderr();
        g_fsync_error = 0;
        EXPECT_EQ(err.rfind(k.line, 0), 0u) << err;
        EXPECT_EQ(c.server_stats["127.0.0.1:7709"].fail, 1u);
        EXPECT_EQ(open_descriptors(), fds);
        if (k.fsync_error != 0) {
            EXPECT_TRUE(fs::is_empty(home_ / ".quotix"));
        }
    }
}

TEST_F(ServerCacheFile, NameThatIsNotUtf8IsNotSerialized) {
    ServerCache c;
    c.save();
    ::testing::internal::CaptureStderr();
    c.record_success("127.0.0.1", 7709, "\xff", 5);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[W] cache  failed to serialize cache: ", 0), 0u) << err;
    EXPECT_EQ(scratch_.cache_text(), kFresh);
}

TEST_F(ServerCacheFile, ParseFaultsEndWithTheirPositionAndBadValuesFail) {
    struct Case {
        const char* text;
        const char* message;
    };
    for (const Case& c : {
             Case{"", "EOF while parsing a value at line 1 column 1"},
             Case{"  \n ", "EOF while parsing a value at line 2 column 2"},
             Case{"{}", "missing field `version` at line 1 column 3"},
             Case{"{\"version\": 1, \"version\": 2, \"blacklist\": [], \"server_stats\": {}}",
                  "duplicate field `version` at line 1 column 25"},
             Case{"{\"version\": 1, \"blacklist\": [], \"server_stats\": {\"k\": {\"success\": 1, "
                  "\"fail\": 0, \"avg_latency\": 0, \"fail\": 1}}}",
                  "duplicate field `fail` at line 1 column 105"},
             Case{"{\"version\": 1, \"blacklist\": [], \"server_stats\": {\"k\": {\"success\": 1, "
                  "\"fail\": 0, \"avg_latency\": 0}, \"k\": {\"success\": 1, \"fail\": 0, \"avg_latency\": 0}}}",
                  "duplicate field `k` at line 1 column 103"},
             Case{"{\"version\": 1, \"blacklist\": [], \"server_stats\": {}} x",
                  "trailing characters at line 1 column 53"},
             Case{"{\"version\": 1,\n \"blacklist\": [],\n \"server_stats\": {\"k\": {\"success\": "
                  "1, \"fail\": \"2\", \"avg_latency\": 0}}}",
                  "invalid type: string for `fail`, expected u32 at line 3 column 47"},
             Case{"{\"version\": 4294967296, \"blacklist\": [], \"server_stats\": {}}",
                  "invalid value: integer `4294967296` for `version`, expected u32 at line 1 "
                  "column 13"},
             // Values that do not fit their type; only the failure is checked.
             Case{"{\"version\": 1, \"blacklist\": [{\"ip\": \"a\", \"port\": 65536, \"reason\": \"r\", "
                  "\"timestamp\": 1}], \"server_stats\": {}}", nullptr},
             Case{"{\"version\": -1, \"blacklist\": [], \"server_stats\": {}}", nullptr},
             Case{"{\"version\": 1, \"last_success\": {\"ip\": \"a\", \"port\": 1}, \"blacklist\": [], "
                  "\"server_stats\": {}}", nullptr},
             Case{"{\"version\": 1, \"blacklist\": {}, \"server_stats\": {}}", nullptr},
             Case{"{\"version\": 1, \"blacklist\": [], \"server_stats\": {\"k\": {\"success\": 1.5, "
                  "\"fail\": 0, \"avg_latency\": 0}}}", nullptr},
             Case{"[1, 2", nullptr},
         }) {
        auto r = ServerCache::from_json(c.text);
        ASSERT_FALSE(r.ok()) << c.text;
        if (c.message) {
            EXPECT_EQ(r.error().text(), c.message) << c.text;
        }
    }
}

TEST_F(ServerCacheFile, WhitespaceAroundTheDocumentAndEscapesAreAccepted) {
    auto r = ServerCache::from_json(
        " \n{\"version\": 1, \"last_success\": {\"ip\": \"127.0.0.1\", \"port\": 7709, \"name\": "
        "\"\\u4e0a\\u6d77 \\ud83d\\ude00\", \"timestamp\": 18446744073709551615, \"latency_ms\": 0}, "
        "\"blacklist\": [], \"server_stats\": {}}\n\t");
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(r->last_success->name, "上海 \xF0\x9F\x98\x80");
    EXPECT_EQ(r->last_success->timestamp, UINT64_MAX);
}
