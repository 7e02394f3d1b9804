// The smart client over three loopback servers: health check, moves, connecting, probing, retries.
#include <gtest/gtest.h>

#include "client_fixture.hpp"
#include "net/smart_client.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;

namespace {

constexpr uint64_t kNow = 1700000000;

// A smart client over the suite's mock, its cache clock fixed at kNow, its file in a scratch home.
class Smart : public SharedMock<3> {
protected:
    void SetUp() override {
        SharedMock<3>::SetUp();
        ServerCache cache;
        cache.set_clock([] { return kNow; });
        smart_ = std::make_unique<TdxSmartClient>(mock_seams(mock), std::move(cache));
        smart_->client.set_auto_retry(false);
    }
    // Connects the client to server i, takes it as the selected one and forgets the handshake.
    void select(size_t i) {
        ASSERT_TRUE(smart_->client.connect_internal("127.0.0.1", mock.port(i), 2.0, false).ok());
        smart_->set_selected_server(SelectedServer{"127.0.0.1", mock.port(i), "mock" + std::to_string(i)});
        mock.reset();
    }
    // The server's address, as the log and the cache's records name it.
    std::string addr(size_t i) const { return "127.0.0.1:" + std::to_string(mock.port(i)); }
    void blacklist(size_t i) {
        smart_->with_cache([&](ServerCache& c) { c.blacklist.push_back({"127.0.0.1", mock.port(i), "kline_empty", kNow}); });
    }
    uint16_t selected_port() const { return smart_->selected_server() ? smart_->selected_server()->port : 0; }

    ScratchHome home_;
    std::unique_ptr<TdxSmartClient> smart_;
};

}  // namespace

// A pass records a success of 0 ms; an empty or undecodable bar blacklists
// the server, a failed request only counts against it, and a failure disconnects. When a retry
// moved the check to another server, pass or fail, the records and the selection follow it. Each
// outcome is logged, unless logging is off.
TEST_F(Smart, HealthCheckRecordsAndBlacklistsTheServerThatAnswered) {
    EXPECT_FALSE(smart_->lazy_health_check());
    EXPECT_EQ(mock.requests(), 0);
    struct Case { nlohmann::json fault; bool moved; const char* line; std::string reason; };  // moved: server 0 gone
    const nlohmann::json empty = {{"action", "empty"}, {"cmd", "bars"}};
    const char* passed = "[I] smart  health check passed: got 1 bars\n";
    const Case cases[] = {
        {empty, false, "[W] smart  health check failed: K-line empty, server may have protocol anomaly\n", "kline_empty"},
        {{{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}}, false, "[W] smart  health check failed: parse error: [E2103] ", "parse_error"},
        {{{"action", "close"}, {"cmd", "bars"}}, false, "[W] smart  health check failed: Server disconnected\n", ""},
        {nullptr, true, passed, ""},
        {empty, true, "K-line empty", "kline_empty"},
        {nullptr, false, passed, ""},
    };
    for (uint8_t level : {3, 0}) for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const bool pass = c.fault.is_null();
        const size_t at = c.moved ? 1 : 0;
        SetUp();
        smart_->client.set_auto_retry(c.moved);
        select(0);
        if (c.moved) smart_->client.disconnect(), mock.listen(0, false);
        if (!pass) mock.set_fault(c.fault);
        LogCapture log(level);
        EXPECT_EQ(smart_->lazy_health_check(), pass);
        const std::string out = log.take();
        EXPECT_TRUE(level ? out.find(c.line) != std::string::npos : out.empty()) << out;
        smart_->with_cache([&](ServerCache& cache) {
            EXPECT_EQ(cache.blacklist.empty() ? "" : cache.blacklist[0].reason, c.reason);
            EXPECT_EQ(cache.is_blacklisted("127.0.0.1", mock.port(at)), !c.reason.empty());
            ASSERT_EQ(cache.server_stats.size(), 1u);
            const ServerStats& st = cache.server_stats[addr(at)];
            EXPECT_EQ(std::pair(st.success, st.fail), std::pair(pass ? 1u : 0u, pass ? 0u : 1u));
            EXPECT_EQ(cache.last_success ? cache.last_success->name + " " + std::to_string(cache.last_success->latency_ms) : "",
                      pass ? "mock" + std::to_string(at) + " 0" : "");
        });
        EXPECT_EQ(smart_->client.is_connected(), pass);
        EXPECT_EQ(smart_->health_checked(), pass);
        EXPECT_EQ(smart_->selected_server()->name, "mock" + std::to_string(at));
    }
    // A client that never connected asks the first primary row, which the check then names (the
    // address is compared as written: localhost is another server).
    SetUp();
    smart_->set_selected_server(SelectedServer{"localhost", mock.port(0), "local"});
    EXPECT_TRUE(smart_->lazy_health_check());
    EXPECT_EQ(smart_->selected_server()->ip + " " + smart_->selected_server()->name, "127.0.0.1 mock0");
    EXPECT_EQ(mock.requests("bars", 0), 1);
    // A server in neither table keeps no name.
    ServerCache cache;
    cache.set_clock([] { return kNow; });
    TdxSmartClient outside(loopback_seams({loopback("mock0", mock.port(0))}), std::move(cache));
    ASSERT_TRUE(outside.client.connect_internal("127.0.0.1", mock.port(2), 2.0, false).ok());
    outside.set_selected_server(SelectedServer{"127.0.0.1", mock.port(0), "mock0"});
    EXPECT_TRUE(outside.lazy_health_check());
    EXPECT_EQ(outside.selected_server()->port, mock.port(2));
    EXPECT_EQ(outside.selected_server()->name, "");
    // A move starts at row 0 when nothing is selected, and skips the selected and the blacklisted
    // rows; the server it reaches is checked afresh.
    smart_->set_selected_server(std::nullopt);
    ASSERT_TRUE(smart_->try_next_server().ok());
    EXPECT_EQ(selected_port(), mock.port(0));
    blacklist(1);
    ASSERT_TRUE(smart_->try_next_server().ok());
    EXPECT_EQ(selected_port(), mock.port(2));
    EXPECT_EQ(smart_->client.current_server()->second, mock.port(2));
    EXPECT_FALSE(smart_->health_checked());
    EXPECT_EQ(mock.accepted(1), 0);
}

// Connecting tries the cached last server first, blacklisted or not, recording nothing; then the
// primary and the full table without the blacklisted rows (named only in the primary walk). With
// logging off nothing of it is written.
TEST_F(Smart, ConnectPrefersTheCachedServer) {
    const std::string connected = "[I] hq  connected to ";
    struct Case {
        int cached;
        std::vector<size_t> blacklisted, down;
        std::string outcome, log;
        int selected;
        uint8_t level = 3;
        nlohmann::json fault = nullptr;
    };
    const std::string unreachable = "[E2001] connection failed: all servers unreachable";
    const Case cases[] = {
        {2, {2}, {}, "ok", "[I] smart  trying cached server: mock2 (" + addr(2) + ")\n" + connected + addr(2) + "\n", 2},
        {0, {1}, {0}, "ok", "", 2, 0},
        {-1, {0, 1}, {2}, unreachable, "", -1, 0},
        // server 2 refuses its first connection, in the primary walk; the full table's walk gets it
        {-1, {0, 1}, {}, "ok", "[I] smart  skipping blacklisted server: " + addr(0) + "\n[I] smart  skipping blacklisted server: " +
         addr(1) + "\n" + connected + addr(2) + "\n", 2, 3, {{"action", "refuse"}, {"server", 2}, {"nth", 1}}},
        {0, {1}, {0}, "ok", "[I] smart  trying cached server: mock0 (" + addr(0) + ")\n[W] smart  cached server "
         "127.0.0.1 unavailable, trying next\n[I] smart  skipping blacklisted server: " + addr(1) + "\n" + connected + addr(2) + "\n", 2},
        {-1, {0, 1}, {2}, unreachable, "[I] smart  skipping blacklisted server: "
         + addr(0) + "\n[I] smart  skipping blacklisted server: " + addr(1) + "\n[E] smart  all servers unreachable\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cached);
        SetUp();
        if (c.cached >= 0)
            smart_->with_cache([&](ServerCache& cache) {
                cache.last_success = ServerCacheEntry{"127.0.0.1", mock.port(c.cached), "mock" + std::to_string(c.cached), kNow, 5};
            });
        for (size_t i : c.blacklisted) blacklist(i);
        for (size_t i : c.down) mock.listen(static_cast<int>(i), false);
        if (!c.fault.is_null()) mock.set_fault(c.fault);
        LogCapture log(c.level);
        EXPECT_EQ(outcome(smart_->connect_to_any(2.0)), c.outcome);
        EXPECT_EQ(log.take(), c.log);
        EXPECT_EQ(selected_port(), c.selected < 0 ? 0 : mock.port(c.selected));
        EXPECT_EQ(mock.accepted(1), 0);
        EXPECT_EQ(mock.accepted(2), c.fault.is_null() ? (c.selected == 2 ? 1 : 0) : 2);
        EXPECT_FALSE(std::filesystem::exists(home_.cache_file()));
    }
}

// Every primary server is timed and recorded (the last answering one as the last success); the
// answering ones come fastest first. Clearing the cache forgets them all and rewrites the file.
TEST_F(Smart, ProbeRecordsEveryPrimaryServer) {
    mock.set_fault({{"action", "delay"}, {"cmd", "setup1"}, {"seconds", 0.3}, {"server", 0}});
    mock.listen(1, false);
    LogCapture log(3);
    const auto found = smart_->probe_and_cache(2.0);
    const std::string out = log.take();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name + " " + found[1].name, "mock2 mock0");
    EXPECT_GE(found[1].ms, 300u);
    for (const auto& f : found)
        EXPECT_NE(out.find("[I] probe  127.0.0.1:" + std::to_string(f.port) + " (" + f.name + ") - " + std::to_string(f.ms) + "ms\n"),
                  std::string::npos) << out;
    EXPECT_NE(out.find("[W] probe  " + addr(1) + " (mock1) - failed\n"), std::string::npos) << out;
    smart_->with_cache([&](ServerCache& c) {
        EXPECT_EQ(c.last_success->port, mock.port(2));
        EXPECT_EQ(c.server_stats[addr(0)].avg_latency, found[1].ms);
        EXPECT_EQ(c.server_stats[addr(1)].fail, 1u);
    });
    EXPECT_FALSE(smart_->client.is_connected());
    EXPECT_EQ(smart_->cache_stats(), "last_success: Some(\"" + addr(2) + "\"), blacklist: 0, stats: 3");
    mock.reset();
    {
        LogCapture off(0);
        EXPECT_EQ(smart_->probe_and_cache(2.0).size(), 2u);
        EXPECT_EQ(off.take(), "");
    }
    LogCapture info(3);
    smart_->clear_cache();
    EXPECT_EQ(info.take(), "[I] smart  cache cleared\n");
    EXPECT_EQ(smart_->cache_stats(), "last_success: None, blacklist: 0, stats: 0");
    const std::string file = home_.cache_text();
    EXPECT_TRUE(file.find("\"version\": 1") != std::string::npos && file.find("127.0.0.1") == std::string::npos) << file;
}

// An error moves on; an empty answer runs the health check (once while it passes) and moves only
// when it fails; with nowhere to go the call ends. Without data: the last error, else coded 2005.
// Logging off changes none of it.
TEST_F(Smart, RetryingQueriesMoveByTheKindOfFailure) {
    using Pairs = std::vector<std::pair<uint8_t, std::string>>;
    auto bars = [&](uint8_t category, const char* code) {
        return [=, this] { return outcome(smart_->get_security_bars(category, 1, code, 0, 5, 0)); };
    };
    auto quotes = [&] { return outcome(smart_->get_security_quotes(Pairs{{1, "600000"}, {0, "000001"}})); };
    const nlohmann::json empty_bars = {{"action", "empty"}, {"cmd", "bars"}}, short_bars = {{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}};
    auto on = [](nlohmann::json f, int server) { return f["server"] = server, f; };
    struct Case {
        const char* name;
        std::vector<nlohmann::json> faults;
        bool others_down;
        std::function<std::string()> call;
        std::string outcome;
        std::vector<std::string> lines;  // each a run of whole lines of the log
        size_t attempts;
        int bars;  // bar requests sent, the health checks' included
    };
    const std::string empty_line = ": empty response, triggering health check\n";
    const std::string switched = "[I] smart  switched to server: " + addr(1) + "\n";
    const Case cases[] = {
        {"error", {on(short_bars, 0)}, false, bars(4, "600000"), "ok",
         {"[W] smart  attempt 1/3: error: [E2103] response length mismatch: body too short, trying next server\n",
          switched, "[I] smart  got 5 bars after 1 retries\n"}, 1, 2},
        {"empty, healthy", {}, false, bars(0, "602999"), "[E2005] retry exhausted: max retry reached", {empty_line}, 3, 4},
        {"error, then empty", {{{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}, {"nth", 1}}}, false, bars(0, "602999"),
         "[E2103] response length mismatch: body too short", {switched}, 3, 4},
        {"empty, failed check", {on(empty_bars, 0)}, false, bars(0, "600000"), "ok",
         {"[W] smart  health check failed, trying next server...\n", switched, "got 5 bars after 1 retries\n"}, 1, 3},
        {"quotes error", {{{"action", "close"}, {"cmd", "quotes"}, {"server", 0}}}, false, quotes, "ok",
         {"[W] smart  attempt 1/3: error, trying next server\n", "[I] smart  got 2 quotes after 1 retries\n"}, 1, 0},
        {"nowhere, empty", {empty_bars}, true, bars(4, "600000"), "[E2001] connection failed: no alternative server available",
         {"[W] smart  health check failed, trying next server...\n[E] smart  no alternative server available\n"}, 1, 4},
        {"nowhere, error", {}, true, bars(4, "880001"), "[E1101] ", {"[E] smart  no alternative server available\n"}, 1, 0},
        {"nowhere, empty quotes", {{{"action", "empty"}, {"cmd", "quotes"}}, empty_bars}, true, quotes,
         "[E2005] retry exhausted: max retry reached", {"[W] smart  attempt 1/3: empty quotes, triggering health check\n"}, 1, 1},
        {"empty quotes, healthy", {{{"action", "empty"}, {"cmd", "quotes"}}}, false, quotes,
         "[E2005] retry exhausted: max retry reached", {"[W] smart  attempt 3/3: empty quotes, triggering health check\n"}, 3, 1},
    };
    for (uint8_t level : {3, 0}) for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        select(0);
        for (const auto& f : c.faults) mock.set_fault(f);
        if (c.others_down) mock.listen(1, false), mock.listen(2, false);
        LogCapture log(level);
        const std::string got = c.call();
        const std::string out = log.take();
        EXPECT_EQ(got.substr(0, c.outcome.size()), c.outcome) << got;
        EXPECT_TRUE(level || out.empty()) << out;
        for (const auto& line : c.lines) EXPECT_TRUE(!level || out.find(line) != std::string::npos) << line << out;
        EXPECT_EQ(count_of(out, "smart  attempt "), level ? c.attempts : 0u) << out;
        EXPECT_EQ(mock.requests("bars"), c.bars);
    }
}
