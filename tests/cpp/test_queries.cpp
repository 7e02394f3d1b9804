// The pooled client's queries other than security bars, against the loopback mock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fund/client.hpp"
#include "loopback_client.hpp"
#include "mock_server.hpp"
#include "net/client.hpp"

using quotix::net::TdxHqClient;
using quotix::test::CapturedLog;
using quotix::test::MockServer;

namespace {

class Queries : public quotix::test::ConnectedClientTest {};

using Pairs = std::vector<std::pair<uint8_t, std::string>>;

}  // namespace

// ---- XDXR and finance

TEST_F(Queries, XdxrRequestAndEvents) {
    auto r = client_->get_xdxr_info(0, "000001");
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 9u);
    EXPECT_EQ((*r)[1].year, 2024u);
    EXPECT_EQ((*r)[1].month, 6u);
    EXPECT_EQ((*r)[1].day, 3u);
    EXPECT_EQ((*r)[1].category, 1u);
    EXPECT_EQ((*r)[1].fenhong, 5.0);
    EXPECT_EQ((*r)[7].peigu, 3.0);
    EXPECT_EQ((*r)[7].peigujia, 8.0);
    auto log = mock_->request_log("xdxr");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["raw"], "0c1f18760001" "0b000b000f00" "0100" "00" "303030303031");
}

TEST_F(Queries, FinanceCarriesTheAskedMarketAndCode) {
    auto r = client_->get_finance_info(1, "600036");
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(r->market, 1);
    EXPECT_EQ(r->code, "600036");
    EXPECT_EQ(r->liutongguben, 1000036.0);  // 1000000 + 600036 mod 1000
    EXPECT_EQ(r->ipo_date, 19991110u);
    EXPECT_EQ(r->zongguben, 1036.0);  // float 0: 1000 x 1 + 36
    auto log = mock_->request_log("finance");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["raw"], "0c1f18760001" "0b000b001000" "0100" "01" "363030303336");
}

// ---- cached security list and count

TEST_F(Queries, ListFromZeroIsCachedOtherStartsAlwaysAsk) {
    auto a = client_->get_security_list(0, 0);
    ASSERT_TRUE(a.ok()) << a.error().display();
    ASSERT_EQ(a->size(), 1000u);
    EXPECT_EQ(a->front().code, "000001");
    EXPECT_EQ(a->front().name, "平安银行");
    auto b = client_->get_security_list(0, 0);
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(b->size(), 1000u);
    EXPECT_EQ(mock_->requests("list"), 1);

    auto c = client_->get_security_list(0, 2000);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c->size(), 105u);
    auto d = client_->get_security_list(0, 2000);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(mock_->requests("list"), 3);
    // The other start left the cached first page in place.
    ASSERT_TRUE(client_->get_security_list(0, 0).ok());
    EXPECT_EQ(mock_->requests("list"), 3);
    // Another market has its own entry.
    ASSERT_TRUE(client_->get_security_list(1, 0).ok());
    EXPECT_EQ(mock_->requests("list"), 4);
    auto log = mock_->request_log("list");
    EXPECT_EQ(log[1]["raw"], "0c0118640101" "06000600" "5004" "0000" "d007");
}

TEST_F(Queries, CacheTimeToLiveAndConnectingEmptiesTheCaches) {
    client_->set_cache_ttl(0);  // every request is sent
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client_->get_security_list(2, 0).ok());
        auto n = client_->get_security_count(2);
        ASSERT_TRUE(n.ok());
        EXPECT_EQ(*n, 301);
    }
    EXPECT_EQ(mock_->requests("list"), 2);
    EXPECT_EQ(mock_->requests("count"), 2);
    mock_->reset();

    client_->set_cache_ttl(1);
    ASSERT_TRUE(client_->get_security_count(0).ok());
    ASSERT_TRUE(client_->get_security_count(0).ok());
    EXPECT_EQ(mock_->requests("count"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    ASSERT_TRUE(client_->get_security_count(0).ok());
    EXPECT_EQ(mock_->requests("count"), 2);
    ASSERT_TRUE(client_->get_security_count(0).ok());
    EXPECT_EQ(mock_->requests("count"), 2);

    ASSERT_TRUE(client_->get_security_list(0, 0).ok());
    ASSERT_TRUE(client_->connect_internal(MockServer::host(), mock_->port(1), 2.0, false).ok());
    ASSERT_TRUE(client_->get_security_count(0).ok());
    ASSERT_TRUE(client_->get_security_list(0, 0).ok());
    EXPECT_EQ(mock_->requests("count", 1), 1);
    EXPECT_EQ(mock_->requests("list", 1), 1);
}

TEST_F(Queries, CountRequestAndShortBodies) {
    auto n = client_->get_security_count(1);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 1908);
    auto log = mock_->request_log("count");
    EXPECT_EQ(log[0]["raw"], "0c0c186c0001" "08000800" "4e04" "0100" "75c73301");

    mock_->set_fault({{"action", "body"}, {"cmd", "count"}, {"hex", "05"}});
    auto short1 = client_->get_security_count(0);
    ASSERT_FALSE(short1.ok());
    EXPECT_TRUE(short1.error().is_coded(2103));
    EXPECT_EQ(short1.error().coded_error().message, "body too short for count");
    // Nothing was stored: the next call asks again.
    mock_->clear_faults();
    mock_->set_fault({{"action", "body"}, {"cmd", "count"}, {"hex", "3412ff"}});
    auto three = client_->get_security_count(0);
    ASSERT_TRUE(three.ok());
    EXPECT_EQ(*three, 0x1234);
    EXPECT_EQ(mock_->requests("count"), 3);
}

// ---- quotes

TEST_F(Queries, SixtyOnePairsAreCutWithAWarningAndTheSixtyFirstIsNotExamined) {
    Pairs pairs;
    for (int i = 0; i < 60; ++i) pairs.emplace_back(1, std::to_string(600100 + i));
    pairs.emplace_back(1, "880001");
    CapturedLog log(2);
    auto r = client_->get_security_quotes(pairs);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(log.text(), "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n");
    ASSERT_EQ(r->size(), 60u);
    EXPECT_EQ((*r)[0].code, "600100");
    EXPECT_DOUBLE_EQ((*r)[0].price, 11.0);  // P = 1000 + 100, in 0.01 units
    auto req = mock_->request_log("quotes");
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0]["args"]["n"], 60);

    pairs.pop_back();  // exactly sixty: no line
    CapturedLog quiet(2);
    ASSERT_TRUE(client_->get_security_quotes(pairs).ok());
    EXPECT_EQ(quiet.text(), "");
}

TEST_F(Queries, BlockCodeIsRefusedBeforeAnyTraffic) {
    auto r = client_->get_security_quotes(Pairs{{0, "000001"}, {1, "880001"}, {1, "880002"}});
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(1101));
    EXPECT_EQ(r.error().coded_error().message, "code=880001");
    EXPECT_EQ(mock_->requests(), 0);
    // Other lengths are not block codes.
    auto ok = client_->get_security_quotes(Pairs{{1, "88000"}, {1, "8800011"}});
    ASSERT_TRUE(ok.ok()) << ok.error().display();
    auto req = mock_->request_log("quotes");
    ASSERT_EQ(req.size(), 1u);
    // The seven-byte code is cut to its first six bytes.
    EXPECT_EQ(req[0]["raw"], "0c0120630002" "1a001a00" "3e05" "0500" "00000000" "0000" "0200"
                             "01" "383830303000" "01" "383830303031");
}

TEST_F(Queries, EmptyPairListIsSentAsARequestForNothing) {
    auto r = client_->get_security_quotes(Pairs{});
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_TRUE(r->empty());
    auto req = mock_->request_log("quotes");
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0]["raw"], "0c0120630002" "0c000c00" "3e05" "0500" "00000000" "0000" "0000");
}

// ---- index bars

TEST_F(Queries, IndexBarsRequestAndRecords) {
    auto r = client_->get_index_bars(4, 0, "399001", 1, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 2u);
    // i = 997 and 998 of 1000: close 9000.000 + 10 x (i mod 100) thousandths.
    EXPECT_DOUBLE_EQ((*r)[0].close, 9000.97);
    EXPECT_DOUBLE_EQ((*r)[1].close, 9000.98);
    EXPECT_EQ((*r)[1].up_count, 198u);
    EXPECT_EQ((*r)[1].year, 2024u);
    EXPECT_EQ((*r)[1].month, 6u);
    EXPECT_EQ((*r)[1].day, 27u);
    auto log = mock_->request_log("bars");
    EXPECT_EQ(log[0]["raw"], "0c0108640101" "1c001c00" "2d05" "0000" "333939303031" "0400" "0000"
                             "0100" "0200" "00000000000000000000");
}

TEST_F(Queries, EmptyIndexBarsSwitchServerTwiceThenWarn) {
    CapturedLog log;
    auto r = client_->get_index_bars(9, 1, "999999", 0, 10);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(mock_->requests("bars"), 3);
    EXPECT_EQ(log.count("[D] hq  attempt "), 3u);
    EXPECT_TRUE(log.has("[D] hq  attempt 3/3: empty index K-line for 999999, switching server\n"));
    EXPECT_TRUE(log.has("[W] hq  all 3 attempts returned empty index K-line for 999999\n"));
    // Each switch moved the client to the first other loopback server: 0, then 1, then 0 again.
    EXPECT_EQ(mock_->requests("bars", 0), 2);
    EXPECT_EQ(mock_->requests("bars", 1), 1);
    EXPECT_EQ(mock_->requests("bars", 2), 0);

    // Below daily: one request, no line.
    mock_->reset();
    CapturedLog quiet;
    auto hourly = client_->get_index_bars(3, 1, "999999", 0, 10);
    ASSERT_TRUE(hourly.ok());
    EXPECT_TRUE(hourly->empty());
    EXPECT_EQ(mock_->requests("bars"), 1);
    EXPECT_EQ(quiet.text(), "");
}

TEST_F(Queries, IndexBarsFoundAfterOneSwitchLogTheInfoLine) {
    mock_->set_fault({{"action", "empty"}, {"cmd", "bars"}, {"server", 0}});
    CapturedLog log;
    auto r = client_->get_index_bars(4, 1, "000300", 0, 5);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), 5u);
    EXPECT_TRUE(log.has("[I] hq  got 5 index bars for 000300 after 1 server switch(es)\n"));
    EXPECT_EQ(mock_->requests("bars"), 2);
}

TEST_F(Queries, BlockCodesAndStartsAboveSixteenBitsAreRefusedBeforeAnyTraffic) {
    auto r = client_->get_index_bars(4, 1, "880001", 0, 5);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().coded_error().message, "code=880001");
    auto refused = [](const auto& res, const std::string& message) {
        ASSERT_FALSE(res.ok()) << message;
        EXPECT_TRUE(res.error().is_coded(1003));
        EXPECT_EQ(res.error().coded_error().message, message);
    };
    refused(client_->get_index_bars(4, 1, "000300", 65536, 5), "start=65536");
    refused(client_->get_transaction_data(1, "600000", 70000, 3), "start=70000");
    refused(client_->get_history_transaction_data(1, "600000", 65536, 3, 20240105), "start=65536");
    refused(client_->get_security_list(1, 100000), "start=100000");
    EXPECT_EQ(mock_->requests(), 0);
}

// ---- minute time and ticks

// ---- minute time and ticks

TEST_F(Queries, HistoryMinuteTimeRequestAndRecords) {
    auto r = client_->get_history_minute_time_data(1, "600000", 20240105);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 240u);
    auto log = mock_->request_log("minute");
    EXPECT_EQ(log[0]["raw"], "0c0130000101" "0d000d00b40f" "e9d63401" "01" "363030303030");
}

TEST_F(Queries, LiveTicksUseTheSecurityCoefficient) {
    auto r = client_->get_transaction_data(1, "600000", 0, 3);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 3u);
    // Ticks 1197..1199 of 1200: price P + (k mod 7) - 3 with P = 1000 (0.01 units).
    EXPECT_DOUBLE_EQ((*r)[2].price, (1000 + 1199 % 7 - 3) * 0.01);
    EXPECT_EQ((*r)[2].time, "14:59");
    EXPECT_EQ((*r)[2].num, 1u + 1199 % 5);
    auto log = mock_->request_log("ticks");
    EXPECT_EQ(log[0]["raw"], "0c1708010101" "0e000e00c50f" "0100" "363030303030" "0000" "0300");
}

TEST_F(Queries, HistoryTicksCarryTheDateAndUseTheHistoryLayout) {
    auto r = client_->get_history_transaction_data(0, "159915", 2, 4, 20240105);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 4u);
    // Ticks 1194..1197; 159915 is priced in 0.001 units with P = 1000 + 915.
    EXPECT_DOUBLE_EQ((*r)[3].price, (1915 + 1197 % 7 - 3) * 0.001);
    EXPECT_EQ((*r)[3].num, 0u);
    auto log = mock_->request_log("history_ticks");
    EXPECT_EQ(log[0]["raw"], "0c0130010001" "12001200b50f" "e9d63401" "0000" "313539393135" "0200"
                             "0400");
}

// ---- block file through the pooled client

TEST_F(Queries, BlockFileThroughThePool) {
    auto rows = client_->get_and_parse_block_info("block_fg.dat");
    ASSERT_TRUE(rows.ok()) << rows.error().display();
    ASSERT_EQ(rows->size(), 8u);
    EXPECT_EQ(rows->front().blockname, "银行");
    EXPECT_EQ((*rows)[2].code, "000001");
    EXPECT_EQ(mock_->requests("block_chunk"), 1);
    EXPECT_EQ(mock_->accepted(), 0);  // the pooled connection served every request
}

// ---- fund client

TEST_F(Queries, FundMinuteTimeRefusesOtherCodesWithoutTraffic) {
    quotix::fund::TdxHqFundClient fund(quotix::test::loopback_seams(*mock_));
    auto r = fund.get_fund_history_minute_time_data(1, "600519", 20240105);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(1103));
    EXPECT_EQ(r.error().coded_error().message, "Invalid fund code: 1:600519 is not a fund");
    EXPECT_EQ(mock_->requests(), 0);

    auto ok = fund.get_fund_history_minute_time_data(1, "510050", 20240105);
    ASSERT_TRUE(ok.ok()) << ok.error().display();
    EXPECT_EQ(ok->size(), 240u);
    EXPECT_EQ(mock_->requests("minute"), 1);
    fund.client.disconnect();
}

// ---- limiters

namespace {

// Runs `call` twice with only `slow` limiting (10 per second); the second call must wait for it.
template <class F>
void expect_spaced_by(TdxHqClient& c, quotix::net::RateLimiter& slow, F call) {
    c.rate_limiter().set_rps(0);
    c.daily_rate_limiter().set_rps(0);
    c.minute_rate_limiter().set_rps(0);
    slow.set_rps(10);
    const auto t0 = std::chrono::steady_clock::now();
    call();
    call();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(95));
    slow.set_rps(0);
}

}  // namespace

TEST_F(Queries, EachQueryPassesItsOwnLimiter) {
    auto& c = *client_;
    c.set_cache_ttl(0);
    expect_spaced_by(c, c.rate_limiter(), [&] { ASSERT_TRUE(c.get_xdxr_info(0, "000001").ok()); });
    expect_spaced_by(c, c.rate_limiter(), [&] { ASSERT_TRUE(c.get_security_count(0).ok()); });
    expect_spaced_by(c, c.rate_limiter(), [&] { ASSERT_TRUE(c.get_security_quotes(Pairs{{0, "000001"}}).ok()); });
    expect_spaced_by(c, c.daily_rate_limiter(), [&] { ASSERT_TRUE(c.get_index_bars(4, 1, "000300", 0, 1).ok()); });
    expect_spaced_by(c, c.daily_rate_limiter(), [&] { ASSERT_TRUE(c.get_security_bars(4, 1, "600000", 0, 1, 0).ok()); });
    expect_spaced_by(c, c.minute_rate_limiter(), [&] { ASSERT_TRUE(c.get_transaction_data(1, "600000", 0, 1).ok()); });
    expect_spaced_by(c, c.minute_rate_limiter(), [&] { ASSERT_TRUE(c.get_history_minute_time_data(1, "600000", 20240105).ok()); });
    // The event request and the context pages of an adjusted call go through the general limiter:
    // one call makes three general requests (events, pages at 10 and 810).
    c.daily_rate_limiter().set_rps(0);
    c.minute_rate_limiter().set_rps(0);
    c.rate_limiter().set_rps(10);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.get_security_bars(4, 1, "600036", 0, 10, 1).ok());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(195));
}
