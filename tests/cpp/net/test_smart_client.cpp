// The smart client over three loopback servers: its lazy health check, blacklist, moves between
// servers, connecting, probing and retrying queries.
#include <gtest/gtest.h>

#include "client_fixture.hpp"
#include "net/smart_client.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;

namespace {

constexpr uint64_t kNow = 1700000000;

// A smart client over one mock of three servers shared by the suite, its cache clock fixed at
// kNow and its cache file in a scratch home.
class Smart : public SharedMock<3> {
protected:
    void SetUp() override {
        SharedMock<3>::SetUp();
        ServerCache cache;
        cache.set_clock([] { return kNow; });
        smart_ = std::make_unique<TdxSmartClient>(mock_seams(*mock_), std::move(cache));
        smart_->client.set_auto_retry(false);
    }
    void TearDown() override { smart_->client.disconnect(); }
    // Connects the client to server i, takes it as the selected one and forgets the handshake.
    void select(size_t i) {
        ASSERT_TRUE(smart_->client.connect_internal("127.0.0.1", mock_->port(i), 2.0, false).ok());
        smart_->set_selected_server(SelectedServer{"127.0.0.1", mock_->port(i), "mock" + std::to_string(i)});
        mock_->reset();
    }
    std::string key(size_t i) const { return ServerCache::stats_key("127.0.0.1", mock_->port(i)); }
    void blacklist(size_t i, uint64_t when = kNow) {
        smart_->with_cache([&](ServerCache& c) { c.blacklist.push_back({"127.0.0.1", mock_->port(i), "kline_empty", when}); });
    }
    uint16_t selected_port() const { return smart_->selected_server() ? smart_->selected_server()->port : 0; }
    std::string switched_to(size_t i) const {
        return "[I] smart  switched to server: 127.0.0.1:" + std::to_string(mock_->port(i)) + "\n";
    }

    ScratchHome home_;
    std::unique_ptr<TdxSmartClient> smart_;
};

}  // namespace

// The check asks the selected server for one daily bar: a pass records a success of 0 ms and is
// not repeated; an empty or undecodable answer blacklists the server, a failed request only
// counts against it, and either way the client disconnects. Nothing selected: nothing asked.
TEST_F(Smart, HealthCheckRecordsAndBlacklists) {
    EXPECT_FALSE(smart_->lazy_health_check());
    EXPECT_EQ(mock_->requests(), 0);
    struct Case {
        nlohmann::json fault;
        const char* line;
        const char* reason;
    };
    const Case cases[] = {
        {{{"action", "empty"}, {"cmd", "bars"}}, "[W] smart  health check failed: K-line empty, server may have protocol anomaly\n", "kline_empty"},
        {{{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}}, "[W] smart  health check failed: parse error: [E2103] ", "parse_error"},
        {{{"action", "close"}, {"cmd", "bars"}}, "[W] smart  health check failed: Server disconnected\n", nullptr},
        {nullptr, "[I] smart  health check passed: got 1 bars\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const bool pass = c.fault.is_null();
        smart_->with_cache([](ServerCache& cache) { cache = ServerCache(); });
        select(0);
        if (!pass) mock_->set_fault(c.fault);
        LogCapture log(3);
        EXPECT_EQ(smart_->lazy_health_check(), pass);
        EXPECT_NE(log.take().find(c.line), std::string::npos);
        smart_->with_cache([&](ServerCache& cache) {
            ASSERT_EQ(cache.blacklist.size(), c.reason ? 1u : 0u);
            if (c.reason) {
                EXPECT_EQ(cache.blacklist[0].reason, c.reason);
            }
            EXPECT_EQ(cache.server_stats[key(0)].fail, pass ? 0u : 1u);
            EXPECT_EQ(cache.server_stats[key(0)].success, pass ? 1u : 0u);
            EXPECT_EQ(cache.last_success ? cache.last_success->name + " " + std::to_string(cache.last_success->latency_ms) : "",
                      pass ? "mock0 0" : "");
        });
        EXPECT_EQ(smart_->client.is_connected(), pass);
        EXPECT_EQ(smart_->health_checked(), pass);
    }
    EXPECT_TRUE(smart_->lazy_health_check());
    EXPECT_EQ(mock_->requests("bars"), 1);
}

// Server 0 goes away while the client is disconnected: the request path's retry reconnects to
// server 1, whose answer passes or fails the check. Either way the records and the selection
// follow to server 1, so the next move does not go back to the server that just failed.
TEST_F(Smart, HealthCheckFollowsTheServerThatAnswered) {
    smart_->client.set_auto_retry(true);
    for (const bool empty : {false, true}) {
        SCOPED_TRACE(empty);
        smart_->with_cache([](ServerCache& c) { c = ServerCache(); });
        smart_->clear_health_checked();
        mock_->listen(0, true);
        select(0);
        smart_->client.disconnect();
        mock_->listen(0, false);
        if (empty) mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 1}});
        LogCapture quiet(0);
        EXPECT_EQ(smart_->lazy_health_check(), !empty);
        smart_->with_cache([&](ServerCache& c) {
            EXPECT_EQ(c.server_stats.count(key(0)), 0u);
            EXPECT_EQ(c.server_stats[key(1)].fail, empty ? 1u : 0u);
            EXPECT_EQ(c.blacklist.empty() ? 0 : c.blacklist[0].port, empty ? mock_->port(1) : 0);
            EXPECT_EQ(c.last_success ? c.last_success->port : 0, empty ? 0 : mock_->port(1));
        });
        ASSERT_EQ(selected_port(), mock_->port(1));
        EXPECT_EQ(smart_->selected_server()->name, "mock1");
    }
}

// A move goes to the next primary row that is neither selected nor blacklisted today (an entry
// 86399 s old still counts) and connects; with none it is coded 2001 and the selection stays.
TEST_F(Smart, NextServerSkipsTheSelectedAndTheBlacklisted) {
    select(0);
    blacklist(1, kNow - 86399);
    ASSERT_TRUE(smart_->lazy_health_check());
    LogCapture log(3);
    ASSERT_TRUE(smart_->try_next_server().ok());
    EXPECT_NE(log.take().find(switched_to(2)), std::string::npos);
    EXPECT_EQ(selected_port(), mock_->port(2));
    EXPECT_EQ(smart_->client.current_server()->second, mock_->port(2));
    EXPECT_FALSE(smart_->health_checked());
    EXPECT_EQ(mock_->accepted(1), 0);
    mock_->listen(0, false);
    LogCapture failed(1);
    EXPECT_EQ(outcome(smart_->try_next_server()), "[E2001] connection failed: no alternative server available");
    EXPECT_EQ(failed.take(), "[E] smart  no alternative server available\n");
    EXPECT_EQ(selected_port(), mock_->port(2));
}

// Connecting tries the cached last server first, blacklisted or not, recording nothing; then the
// primary and the full table without the blacklisted rows (named only in the primary walk).
TEST_F(Smart, ConnectPrefersTheCachedServer) {
    const std::string p0 = std::to_string(mock_->port(0)), p1 = std::to_string(mock_->port(1)), p2 = std::to_string(mock_->port(2));
    const std::string connected = "[I] hq  connected to 127.0.0.1:";
    struct Case {
        int cached;
        std::vector<size_t> blacklisted, down;
        std::string outcome, log;
        int selected;
    };
    const Case cases[] = {
        {2, {2}, {}, "ok", "[I] smart  trying cached server: mock2 (127.0.0.1:" + p2 + ")\n" + connected + p2 + "\n", 2},
        {0, {1}, {0}, "ok", "[I] smart  trying cached server: mock0 (127.0.0.1:" + p0 + ")\n[W] smart  cached server "
         "127.0.0.1 unavailable, trying next\n[I] smart  skipping blacklisted server: 127.0.0.1:" + p1 + "\n" + connected + p2 + "\n", 2},
        {-1, {0, 1}, {2}, "[E2001] connection failed: all servers unreachable", "[I] smart  skipping blacklisted server: "
         "127.0.0.1:" + p0 + "\n[I] smart  skipping blacklisted server: 127.0.0.1:" + p1 + "\n[E] smart  all servers unreachable\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cached);
        TearDown();
        SetUp();
        if (c.cached >= 0)
            smart_->with_cache([&](ServerCache& cache) {
                cache.last_success = ServerCacheEntry{"127.0.0.1", mock_->port(c.cached), "mock" + std::to_string(c.cached), kNow, 5};
            });
        for (size_t i : c.blacklisted) blacklist(i);
        for (size_t i : c.down) mock_->listen(static_cast<int>(i), false);
        LogCapture log(3);
        EXPECT_EQ(outcome(smart_->connect_to_any(2.0)), c.outcome);
        EXPECT_EQ(log.take(), c.log);
        EXPECT_EQ(selected_port(), c.selected < 0 ? 0 : mock_->port(c.selected));
        EXPECT_EQ(mock_->accepted(1), 0);
        EXPECT_FALSE(std::filesystem::exists(home_.cache_file()));
    }
}

// Probing connects to every primary server, records each success (the last answering row
// becomes the last success) or failure, and disconnects; the answering ones fastest first.
TEST_F(Smart, ProbeRecordsEveryPrimaryServer) {
    mock_->set_fault({{"action", "delay"}, {"cmd", "setup1"}, {"seconds", 0.3}, {"server", 0}});
    mock_->listen(1, false);
    LogCapture log(2);
    const auto found = smart_->probe_and_cache(2.0);
    EXPECT_EQ(log.take(), "[W] probe  127.0.0.1:" + std::to_string(mock_->port(1)) + " (mock1) - failed\n");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].port, mock_->port(2));
    EXPECT_EQ(found[1].name, "mock0");
    EXPECT_GE(found[1].ms, 300u);
    smart_->with_cache([&](ServerCache& c) {
        EXPECT_EQ(c.last_success->port, mock_->port(2));
        EXPECT_EQ(c.server_stats[key(0)].avg_latency, found[1].ms);
        EXPECT_EQ(c.server_stats[key(1)].fail, 1u);
    });
    EXPECT_FALSE(smart_->client.is_connected());
}

// The retrying queries: an error moves to the next server; an empty answer runs the health check
// and moves only when it fails; with nowhere to go the call ends. A call that never gets data
// returns the last error, else coded 2005 "max retry reached".
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
    const Case cases[] = {
        {"answer", {}, false, bars(4, "600000"), "ok", {}, 0, 1},
        {"error", {on(short_bars, 0)}, false, bars(4, "600000"), "ok",
         {"[W] smart  attempt 1/3: error: [E2103] response length mismatch: body too short, trying next server\n",
          switched_to(1), "[I] smart  got 5 bars after 1 retries\n"}, 1, 2},
        {"empty, healthy", {}, false, bars(0, "602999"), "[E2005] retry exhausted: max retry reached", {empty_line}, 3, 4},
        {"error, then empty", {{{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}, {"nth", 1}}}, false, bars(0, "602999"),
         "[E2103] response length mismatch: body too short", {switched_to(1)}, 3, 4},
        {"empty, failed check", {on(empty_bars, 0)}, false, bars(0, "600000"), "ok",
         {"[W] smart  health check failed, trying next server...\n", switched_to(1), "got 5 bars after 1 retries\n"}, 1, 3},
        {"block code", {}, false, bars(4, "880001"), "[E1101] ", {switched_to(1), switched_to(0)}, 3, 0},
        {"quotes error", {{{"action", "close"}, {"cmd", "quotes"}, {"server", 0}}}, false, quotes, "ok",
         {"[W] smart  attempt 1/3: error, trying next server\n", "[I] smart  got 2 quotes after 1 retries\n"}, 1, 0},
        {"nowhere, empty", {empty_bars}, true, bars(4, "600000"), "[E2001] connection failed: no alternative server available",
         {"[W] smart  health check failed, trying next server...\n[E] smart  no alternative server available\n"}, 1, 4},
        {"nowhere, error", {}, true, bars(4, "880001"), "[E1101] ", {"[E] smart  no alternative server available\n"}, 1, 0},
        {"nowhere, empty quotes", {{{"action", "empty"}, {"cmd", "quotes"}}, empty_bars}, true, quotes,
         "[E2005] retry exhausted: max retry reached", {"[W] smart  attempt 1/3: empty quotes, triggering health check\n"}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        select(0);
        for (const auto& f : c.faults) mock_->set_fault(f);
        if (c.others_down) mock_->listen(1, false), mock_->listen(2, false);
        LogCapture log(3);
        const std::string got = c.call();
        const std::string out = log.take();
        EXPECT_EQ(got.substr(0, c.outcome.size()), c.outcome) << got;
        for (const auto& line : c.lines) EXPECT_NE(out.find(line), std::string::npos) << line << out;
        EXPECT_EQ(count_of(out, "smart  attempt "), c.attempts) << out;
        EXPECT_EQ(mock_->requests("bars"), c.bars);
    }
}
