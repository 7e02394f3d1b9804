// The smart client's lazy health check, blacklisting and move to the next primary server, over
// loopback tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "loopback_client.hpp"

namespace fs = std::filesystem;
using quotix::net::ServerCache;
using quotix::net::TdxSmartClient;
using quotix::test::CapturedLog;
using quotix::test::MockServer;

namespace {

constexpr uint64_t kNow = quotix::test::kSmartNow;

class Smart : public quotix::test::SmartTest {};

}  // namespace

// ---- lazy health check

TEST_F(Smart, PassedProbeRecordsASuccessOfZeroMillisecondsAndIsNotRepeated) {
    {
        CapturedLog quiet;
        EXPECT_FALSE(smart_->lazy_health_check());  // no selected server: no check
        EXPECT_EQ(quiet.text(), "");
        EXPECT_EQ(mock_->requests(), 0);
    }
    select(0);
    smart_->with_cache([&](ServerCache& c) { c.server_stats[key(0)] = {1, 0, 100}; });
    CapturedLog log(3);
    EXPECT_TRUE(smart_->lazy_health_check());
    const std::string addr = "127.0.0.1:" + std::to_string(mock_->port(0));
    EXPECT_TRUE(log.has("[I] smart  performing lazy health check on " + addr + "...\n"));
    EXPECT_TRUE(log.has("[I] smart  health check passed: got 1 bars\n"));
    auto req = mock_->request_log("bars");
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0]["raw"], "0c0108640101" "1c001c00" "2d05" "0100" "363030353139" "0400" "0000"
                             "0000" "0100" "00000000000000000000");
    smart_->with_cache([&](ServerCache& c) {
        EXPECT_EQ(c.server_stats[key(0)].success, 2u);
        EXPECT_EQ(c.server_stats[key(0)].avg_latency, 50u);
        ASSERT_TRUE(c.last_success);
        EXPECT_EQ(c.last_success->name, "mock0");
        EXPECT_EQ(c.last_success->latency_ms, 0u);
    });
    EXPECT_TRUE(smart_->health_checked());
    EXPECT_TRUE(smart_->lazy_health_check());
    EXPECT_EQ(mock_->requests("bars"), 1);
}

TEST_F(Smart, EmptyProbeBlacklistsCountsAFailureAndDisconnects) {
    select(1);
    mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}});
    CapturedLog log(2);
    EXPECT_FALSE(smart_->lazy_health_check());
    EXPECT_EQ(log.text(), "[W] smart  health check failed: K-line empty, server may have protocol anomaly\n");
    EXPECT_FALSE(smart_->client.is_connected());
    EXPECT_FALSE(smart_->health_checked());
    const std::string port = std::to_string(mock_->port(1));
    EXPECT_EQ(home_.cache_text(),
              "{\n"
              "  \"version\": 1,\n"
              "  \"last_success\": null,\n"
              "  \"blacklist\": [\n"
              "    {\n"
              "      \"ip\": \"127.0.0.1\",\n"
              "      \"port\": " + port + ",\n"
              "      \"reason\": \"kline_empty\",\n"
              "      \"timestamp\": 1700000000\n"
              "    }\n"
              "  ],\n"
              "  \"server_stats\": {\n"
              "    \"127.0.0.1:" + port + "\": {\n"
              "      \"success\": 0,\n"
              "      \"fail\": 1,\n"
              "      \"avg_latency\": 0\n"
              "    }\n"
              "  }\n"
              "}");
}

// An undecodable probe blacklists with "parse_error"; a failed request only counts a failure.
TEST_F(Smart, FailedProbesCountAFailureAndDisconnect) {
    struct Case {
        nlohmann::json fault;
        const char* line;
        const char* reason;
    };
    const Case cases[] = {
        {{{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}}, "[W] smart  health check failed: parse error: ", "parse_error"},
        {{{"action", "close"}, {"cmd", "bars"}}, "[W] smart  health check failed: Server disconnected\n", nullptr},
    };
    smart_->client.set_auto_retry(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        smart_->with_cache([](ServerCache& cache) { cache = ServerCache(); });
        select(0);
        mock_->set_fault(c.fault);
        CapturedLog log(2);
        EXPECT_FALSE(smart_->lazy_health_check());
        EXPECT_EQ(log.text().rfind(c.line, 0), 0u) << log.text();
        smart_->with_cache([&](ServerCache& cache) {
            ASSERT_EQ(cache.blacklist.size(), c.reason ? 1u : 0u);
            if (c.reason) {
                EXPECT_EQ(cache.blacklist[0].reason, c.reason);
            }
            EXPECT_EQ(cache.server_stats[key(0)].fail, 1u);
        });
        EXPECT_FALSE(smart_->client.is_connected());
    }
}

// Server 0 goes away while the client is disconnected: the request path's retry reconnects to
// server 1, whose answer passes or fails the check. Either way the records and the selected
// server follow to server 1, so the next move does not go back to the server that just failed.
TEST_F(Smart, ProbeThatFailedOverIsRecordedAgainstTheServerThatAnswered) {
    for (const bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty answer" : "bars");
        mock_->clear_faults();
        smart_->with_cache([](ServerCache& c) { c = ServerCache(); });
        smart_->clear_health_checked();
        mock_->listen(0, true);
        select(0);
        smart_->client.disconnect();
        mock_->listen(0, false);
        if (empty) mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 1}});
        CapturedLog log;
        EXPECT_EQ(smart_->lazy_health_check(), !empty);
        EXPECT_EQ(mock_->requests("bars", 1), 1);
        smart_->with_cache([&](ServerCache& c) {
            EXPECT_EQ(c.server_stats.count(key(0)), 0u);
            EXPECT_EQ(c.server_stats[key(1)].success, empty ? 0u : 1u);
            EXPECT_EQ(c.server_stats[key(1)].fail, empty ? 1u : 0u);
            ASSERT_EQ(c.blacklist.size(), empty ? 1u : 0u);
            if (empty) {
                EXPECT_EQ(c.blacklist[0].port, mock_->port(1));
            } else {
                ASSERT_TRUE(c.last_success);
                EXPECT_EQ(c.last_success->port, mock_->port(1));
                EXPECT_EQ(c.last_success->name, "mock1");
            }
        });
        ASSERT_TRUE(smart_->selected_server());
        EXPECT_EQ(smart_->selected_server()->port, mock_->port(1));
        EXPECT_EQ(smart_->selected_server()->name, "mock1");
    }
}

// ---- moving on

TEST_F(Smart, NextServerSkipsTheSelectedOneAndThoseBlacklistedToday) {
    select(0);
    smart_->with_cache([&](ServerCache& c) {
        c.blacklist.push_back({MockServer::host(), mock_->port(1), "kline_empty", kNow - 86399});
    });
    smart_->lazy_health_check();  // passes and sets the flag
    CapturedLog log(3);
    ASSERT_TRUE(smart_->try_next_server().ok());
    EXPECT_TRUE(log.has(switched_to(2)));
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(2));
    EXPECT_EQ(smart_->selected_server()->name, "mock2");
    EXPECT_EQ(smart_->client.current_server()->second, mock_->port(2));
    EXPECT_TRUE(smart_->client.is_connected());
    EXPECT_FALSE(smart_->health_checked());
    EXPECT_EQ(mock_->accepted(1), 0);
}

TEST_F(Smart, UnreachableServersAreSkippedInTableOrder) {
    select(0);
    mock_->listen(1, false);
    const auto r = smart_->try_next_server();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(2));
}

TEST_F(Smart, NoAlternativeIsCoded2001) {
    select(0);
    smart_->with_cache([&](ServerCache& c) {
        c.blacklist.push_back({MockServer::host(), mock_->port(1), "kline_empty", kNow});
    });
    mock_->listen(2, false);
    CapturedLog log(1);
    const auto r = smart_->try_next_server();
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2001));
    EXPECT_EQ(r.error().coded_error().message, "no alternative server available");
    EXPECT_EQ(log.text(), "[E] smart  no alternative server available\n");
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(0));
}

// ---- connecting, probing and the cache report

TEST_F(Smart, ConnectTriesTheCachedServerFirstEvenWhenBlacklisted) {
    smart_->with_cache([&](ServerCache& c) {
        c.last_success = quotix::net::ServerCacheEntry{MockServer::host(), mock_->port(2), "mock2", kNow, 5};
        c.blacklist.push_back({MockServer::host(), mock_->port(2), "kline_empty", kNow});
    });
    smart_->lazy_health_check();
    CapturedLog log(3);
    ASSERT_TRUE(smart_->connect_to_any(2.0).ok());
    EXPECT_TRUE(log.has("[I] smart  trying cached server: mock2 (127.0.0.1:" + std::to_string(mock_->port(2)) + ")\n"));
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(2));
    EXPECT_EQ(smart_->client.current_server()->second, mock_->port(2));
    EXPECT_TRUE(smart_->client.is_connected());
    EXPECT_FALSE(smart_->health_checked());
    EXPECT_FALSE(fs::exists(home_.cache_file()));  // nothing recorded
}

TEST_F(Smart, ConnectFallsBackToTheTablesSkippingBlacklistedRows) {
    smart_->with_cache([&](ServerCache& c) {
        c.last_success = quotix::net::ServerCacheEntry{MockServer::host(), mock_->port(0), "mock0", kNow, 5};
        c.blacklist.push_back({MockServer::host(), mock_->port(1), "kline_empty", kNow});
    });
    mock_->listen(0, false);
    CapturedLog log(3);
    const auto r = smart_->connect_to_any(2.0);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(log.has("[W] smart  cached server 127.0.0.1 unavailable, trying next\n"));
    EXPECT_TRUE(log.has("[I] smart  skipping blacklisted server: 127.0.0.1:" + std::to_string(mock_->port(1)) + "\n"));
    EXPECT_EQ(smart_->selected_server()->port, mock_->port(2));
    EXPECT_EQ(smart_->selected_server()->name, "mock2");
}

TEST_F(Smart, ConnectWithNothingReachableIsCoded2001) {
    for (int i = 0; i < 3; ++i) mock_->listen(i, false);
    CapturedLog log(1);
    const auto r = smart_->connect_to_any(2.0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "[E2001] connection failed: all servers unreachable");
    EXPECT_EQ(log.text(), "[E] smart  all servers unreachable\n");
    EXPECT_FALSE(smart_->selected_server());
}

TEST_F(Smart, ProbeRecordsEveryPrimaryServerAndSortsByTime) {
    mock_->listen(1, false);
    CapturedLog log(3);
    const auto found = smart_->probe_and_cache(2.0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_LE(found[0].ms, found[1].ms);
    EXPECT_TRUE(log.has("[W] probe  127.0.0.1:" + std::to_string(mock_->port(1)) + " (mock1) - failed\n"));
    smart_->with_cache([&](ServerCache& c) {
        EXPECT_EQ(c.server_stats[key(0)].success, 1u);
        EXPECT_EQ(c.server_stats[key(1)].fail, 1u);
        EXPECT_EQ(c.server_stats[key(2)].success, 1u);
        // Every answering server becomes the last success in turn: the last in table order wins.
        EXPECT_EQ(c.last_success->port, mock_->port(2));
    });
    EXPECT_FALSE(smart_->client.is_connected());
    EXPECT_FALSE(smart_->selected_server());
}

TEST_F(Smart, CacheReportAndClearing) {
    EXPECT_EQ(smart_->cache_stats(), "last_success: None, blacklist: 0, stats: 0");
    smart_->with_cache([&](ServerCache& c) {
        c.record_success("127.0.0.1", 7709, "a", 1);
        c.add_to_blacklist("127.0.0.2", 7709, "kline_empty");
    });
    EXPECT_EQ(smart_->cache_stats(), "last_success: Some(\"127.0.0.1:7709\"), blacklist: 1, stats: 1");
    CapturedLog log(3);
    smart_->clear_cache();
    EXPECT_EQ(log.text(), "[I] smart  cache cleared\n");
    EXPECT_EQ(smart_->cache_stats(), "last_success: None, blacklist: 0, stats: 0");
    EXPECT_EQ(home_.cache_text(),
              "{\n  \"version\": 1,\n  \"last_success\": null,\n  \"blacklist\": [],\n  \"server_stats\": {}\n}");
}
