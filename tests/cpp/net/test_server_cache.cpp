// The smart client's cache file: its place, text, records, blacklist, loading and saving.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <set>

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
        write_text(file(), text);
    }
    size_t entries() const { return files_in(file().parent_path()); }
    static void write_text(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Every path under the home with the text of its files, in name order.
    std::string tree() const {
        std::set<std::string> lines;
        for (const auto& e : fs::recursive_directory_iterator(file().parent_path().parent_path())) {
            std::ifstream f(e.path(), std::ios::binary);
            const std::string text = e.is_regular_file() ? std::string(std::istreambuf_iterator<char>(f), {}) : "/";
            lines.insert(e.path().string() + " " + text);
        }
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    }
    ScratchHome home_;
};

}  // namespace

// A value that is not UTF-8 (a stray byte, a cut sequence, an overlong form, a surrogate, past
// U+10FFFF) is passed over.
TEST_F(CacheFile, PathPrefersUserProfileThenHomeThenTheCurrentDirectory) {
    ::setenv("HOME", "/h", 1);
    for (const char* bad : {"\xff", "\xe4\xb8", "\xc3(", "\xc0\x80", "\xe0\x80\x80", "\xf0\x80\x80\x80",
                            "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        ::setenv("USERPROFILE", (std::string("/u") + bad).c_str(), 1);
        EXPECT_EQ(ServerCache::cache_path(), fs::path("/h/.quotix/server_cache.json")) << bad;
    }
    ::setenv("USERPROFILE", "/u\xc3\xa9\xe4\xb8\x8a\xf0\x9f\x98\x80", 1);
    EXPECT_EQ(ServerCache::cache_path(), fs::path("/u\xc3\xa9\xe4\xb8\x8a\xf0\x9f\x98\x80/.quotix/server_cache.json"));
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
    // A file past 1 MiB is no cache of ours, valid text or not.
    const std::string largest = std::string(kFresh) + std::string((size_t{1} << 20) - strlen(kFresh), ' ');
    const std::pair<std::string, const char*> cases[] = {
        {"", ""}, {"folder", ""},
        {"{\"version\": 1, \"blacklist\": [], \"server_stats\": {}, \"x\": \"\xc3\"}", ""},
        {"{}", "[W] cache  failed to parse cache: missing field `version` at line 1 column 3\n"},
        {largest, ""}, {largest + " ", "[W] cache  failed to parse cache: file larger than 1048576 bytes\n"},
    };
    for (const auto& [text, warning] : cases) {
        for (uint8_t level : {1, 2}) {  // a warning, and only at its level
            SCOPED_TRACE(text.substr(0, 20));
            fs::remove_all(file());
            if (text == "folder") fs::create_directories(file());
            else if (!text.empty()) write(text);
            LogCapture log(level);
            const std::string got = ServerCache::load().to_json().value();
            EXPECT_EQ(log.take(), level < 2 ? "" : warning);
            EXPECT_EQ(got, kFresh);
        }
    }
    ServerCache full;  // every built-in server and more, each with counters at their limit and blacklisted
    const uint32_t max = std::numeric_limits<uint32_t>::max();
    full.last_success = {"255.255.255.255", 65535, "上海双线主站", UINT64_MAX, max};
    for (int i = 0; i < 200; ++i) {
        const std::string ip = "255.255.255." + std::to_string(i);
        full.server_stats[ServerCache::stats_key(ip, 65535)] = {max, max, max};
        full.blacklist.push_back({ip, 65535, "kline_empty", UINT64_MAX});
    }
    full.save();
    EXPECT_EQ(ServerCache::load().to_json().value(), full.to_json().value());
    write("{\"server_stats\": {\"127.0.0.1:7709\": {\"avg_latency\": 7, \"fail\": 2, \"success\": 3, \"x\": {\"k\": 1, "
          "\"k\": 2}}}, \"extra\": {\"a\": [1], \"a\": {}}, \"blacklist\": [{\"timestamp\": 5, \"reason\": \"r\", "
          "\"note\": 1, \"note\": 2, \"port\": 80, \"ip\": \"127.0.0.9\"}], \"version\": 4, \"extra\": null}");
    ServerCache c = ServerCache::load();
    EXPECT_TRUE(c.version == 4 && !c.last_success && c.blacklist.size() == 1);
    EXPECT_EQ(c.blacklist.at(0).port, 80);
    EXPECT_EQ(c.server_stats.at("127.0.0.1:7709").avg_latency, 7u);
}

// A save that fails (to serialize, to open, to write, to sync or to rename) is logged, and quietly
// below the warning level; the memory is kept, the old file stays whole, and no descriptor or
// temporary file is left behind.
TEST_F(CacheFile, FailedSavesKeepTheOldFile) {
    const fs::path dir = file().parent_path();
    enum Fault { Sync, Text, Open, Write, Rename };
    const std::pair<Fault, const char*> cases[] = {
        {Sync, "Input/output error (os error 5)"}, {Text, ""}, {Open, "Not a directory (os error 20)"},
        {Write, "File too large (os error 27)"}, {Rename, "Is a directory (os error 21)"}};
    for (auto [fault, why] : cases) {
        for (uint8_t level : {1, 2}) {
            fs::remove_all(dir);
            ServerCache c;
            c.save();
            if (fault == Open) {  // the folder is a file
                fs::remove_all(dir);
                write_text(dir, "x");
            } else if (fault == Rename) {  // the file is a folder
                fs::remove(file());
                fs::create_directories(file() / "d");
            }
            const std::string before = tree();
            const size_t fds = files_in("/proc/self/fd");
            rlimit limit{}, cut{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            cut = {fault == Write ? 100 : limit.rlim_cur, limit.rlim_max};  // the text is longer: cut mid-write
            const auto xfsz = std::signal(SIGXFSZ, SIG_IGN);
            LogCapture log(level);
            g_fsync_error = fault == Sync ? EIO : 0;
            ::setrlimit(RLIMIT_FSIZE, &cut);
            c.record_success("127.0.0.1", 7709, fault == Text ? "\xff" : "a", 5);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            g_fsync_error = 0;
            std::signal(SIGXFSZ, xfsz);
            const std::string line = std::string("[W] cache  failed to ") + (fault == Text ? "serialize" : "save") +
                                     " cache: " + why;
            EXPECT_EQ(log.take().rfind(line, 0), level < 2 ? std::string::npos : 0u) << line;
            EXPECT_EQ(c.server_stats["127.0.0.1:7709"].success, 1u);
            EXPECT_EQ(files_in("/proc/self/fd"), fds);
            EXPECT_EQ(tree(), before) << line;
        }
    }
}

// Parse faults end with their position: faults of the JSON text, values that do not fit their
// type, members of the wrong type, a document that is not an object. Whitespace around the
// document, every escape, exponents and literals where nothing is read are accepted.
TEST(CacheText, ParseFaultsAndEscapes) {
    auto nest = [](const std::string& open, int depth) {
        std::string s;
        while (depth-- > 0) s += open;
        return s;
    };
    const std::pair<std::string, const char*> cases[] = {
        // The JSON text.
        {"", "EOF while parsing a value at line 1 column 1"}, {"[", "EOF while parsing a value at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 4"}, {"[1", "EOF while parsing a list at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 2"}, {R"({"a")", "EOF while parsing an object at line 1 column 5"},
        {R"({"a": 1)", "EOF while parsing an object at line 1 column 8"},
        {R"({"a)", "EOF while parsing a string at line 1 column 4"}, {R"(["\)", "EOF while parsing a string at line 1 column 4"},
        {R"(["\u12)", "EOF while parsing a string at line 1 column 7"},
        {R"({"version": tru})", "expected value at line 1 column 13"},
        {R"({"version": +1})", "expected value at line 1 column 13"}, {"[x]", "expected value at line 1 column 2"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"}, {R"({"a": 1 "b": 2})", "expected `,` or `}` at line 1 column 9"},
        {"{1: 2}", "key must be a string at line 1 column 2"}, {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {R"({"version": 1, "blacklist": [], "server_stats": {}} x)", "trailing characters at line 1 column 53"},
        {"[\"a\x01\"]", "control character while parsing a string at line 1 column 4"},
        {R"(["\x"])", "invalid escape at line 1 column 5"}, {R"(["\u00g0"])", "invalid escape at line 1 column 7"},
        {R"(["\u00G0"])", "invalid escape at line 1 column 7"}, {R"(["\u 000"])", "invalid escape at line 1 column 5"},
        {R"(["\ud83d"])", "lone leading surrogate at line 1 column 9"},
        {R"(["\ude00"])", "lone trailing surrogate at line 1 column 9"},
        {R"(["\ud83d\u0041"])", "invalid surrogate pair at line 1 column 15"},
        {R"(["\ud83d\ue000"])", "invalid surrogate pair at line 1 column 15"},
        {R"(["\ud83d\u12"])", "invalid escape at line 1 column 13"},
        {"-", "invalid number at line 1 column 2"}, {"[-a]", "invalid number at line 1 column 3"},
        {"[01]", "invalid number at line 1 column 3"}, {"[1.]", "invalid number at line 1 column 4"},
        {"1e", "invalid number at line 1 column 3"},
        {std::string(65, '['), "recursion limit exceeded at line 1 column 65"},
        {nest("{\"a\": ", 65), "recursion limit exceeded at line 1 column 385"},
        // The document's shape.
        {"[]", "invalid type: array, expected struct ServerCache at line 1 column 1"},
        {" 0", "invalid type: integer, expected struct ServerCache at line 1 column 2"},
        {R"({"version": 1, "version": 2, "blacklist": [], "server_stats": {}})",
         "duplicate field `version` at line 1 column 25"},
        {R"({"version": null})", "invalid type: null for `version`, expected u32 at line 1 column 13"},
        {R"({"version": true})", "invalid type: boolean for `version`, expected u32 at line 1 column 13"},
        {R"({"version": 1.5})", "invalid type: floating point number for `version`, expected u32 at line 1 column 13"},
        {R"({"version": 1e3})", "invalid type: floating point number for `version`, expected u32 at line 1 column 13"},
        {R"({"version": -1})", "invalid value: integer `-1` for `version`, expected u32 at line 1 column 13"},
        {R"({"version": 4294967296})", "invalid value: integer `4294967296` for `version`, expected u32 at line 1 column 13"},
        {R"({"version": 1, "last_success": 5})",
         "invalid type: integer for `last_success`, expected an object or null at line 1 column 32"},
        {R"({"version": 1, "last_success": {}})", "missing field `ip` at line 1 column 34"},
        {R"({"version": 1, "last_success": {"ip": 1}})", "invalid type: integer for `ip`, expected a string at line 1 column 39"},
        {R"({"version": 1, "last_success": {"ip": "a", "port": "1"}})",
         "invalid type: string for `port`, expected u16 at line 1 column 52"},
        {R"({"version": 1, "last_success": {"ip": "a", "port": 1, "name": "n", "timestamp": 1.5}})",
         "invalid type: floating point number for `timestamp`, expected u64 at line 1 column 81"},
        {R"({"version": 1, "last_success": {"ip": "a", "port": 1, "name": "n", "timestamp": 18446744073709551616}})",
         "invalid value: integer `18446744073709551616` for `timestamp`, expected u64 at line 1 column 81"},
        {R"({"version": 1, "blacklist": {}})", "invalid type: object for `blacklist`, expected an array at line 1 column 29"},
        {R"({"version": 1, "blacklist": [1]})", "invalid type: integer, expected an object at line 1 column 30"},
        {R"({"version": 1, "blacklist": [{"ip": "a", "port": 65536, "reason": "r", "timestamp": 1}], "server_stats": {}})",
         "invalid value: integer `65536` for `port`, expected u16 at line 1 column 50"},
        {R"({"version": 1, "blacklist": [], "server_stats": []})",
         "invalid type: array for `server_stats`, expected an object at line 1 column 49"},
        {R"({"version": 1, "blacklist": [], "server_stats": {"k": []}})",
         "invalid type: array, expected an object at line 1 column 55"},
        {"{\"version\": 1,\n \"blacklist\": [],\n \"server_stats\": {\"k\": {\"success\": 1, \"fail\": \"2\", \"avg_latency\": 0}}}",
         "invalid type: string for `fail`, expected u32 at line 3 column 47"},
        {R"({"version": 1, "blacklist": [], "server_stats": {"k": {"success": 1, "fail": 2, "avg_latency": 3}, "k": {}}})",
         "duplicate field `k` at line 1 column 103"},
    };
    for (auto [text, message] : cases) EXPECT_EQ(outcome(ServerCache::from_json(text)), std::string("Parse error: ") + message) << text;
    auto r = ServerCache::from_json(
        " \r\n{\"version\": -0, \"x\": [true, false, null, 0, -2.5E+3, 1e-2, 7E5, {}], \"last_success\": {\"ip\": \"127.0.0.1\", "
        "\"port\": 7709, \"name\": \"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00C9\\uE000\\u4e0a\\u6d77 \\ud83d\\ude00\", "
        "\"timestamp\": 18446744073709551615, \"latency_ms\": 0}, \"blacklist\": [], \"server_stats\": {}}\n\t");
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ(r->version, 0u);
    EXPECT_EQ(r->last_success->name, "\"\\/\b\f\n\r\tA\xC3\x89\xEE\x80\x80上海 \xF0\x9F\x98\x80");
    EXPECT_EQ(r->last_success->timestamp, UINT64_MAX);
}
