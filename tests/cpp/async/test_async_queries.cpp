#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <thread>

#include "async/compound.hpp"
#include "async_fixture.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;

namespace {

// The bar requests as (start, count, fq).
using Sent = std::vector<std::array<int, 3>>;

Sent sent_bars(test::MockServer& mock) {
    Sent out;
    for (const auto& e : mock.request_log("bars"))
        out.push_back({e["args"]["start"].get<int>(), e["args"]["count"].get<int>(), e["args"]["fq"].get<int>()});
    return out;
}

class AsyncQueries : public SharedMock<1> {
protected:
    void SetUp() override {
        SharedMock::SetUp();
        ASSERT_TRUE(h.connect(mock.port()).ok());
        h.client->rate_limiter().set_interval(std::chrono::nanoseconds(0));
        mock.reset();
    }
    // A call reduced to how many records it gave.
    template <class T>
    Result<size_t> n(asio::awaitable<Result<T>> op) {
        auto r = h.run(std::move(op));
        if (!r) return std::move(r).error();
        return r->size();
    }
    AsyncHarness h{2, fast_seams(300ms)};
};

}  // namespace

// What the replies' values cannot show (the Python tests check those): one request, and the arguments
// that do not shape the mock's answer.
TEST_F(AsyncQueries, EachQuerySendsOneRequestWithItsArgumentsAndParsesTheReply) {
    auto* c = h.client.get();
    std::vector<std::pair<uint8_t, std::string>> pairs;
    for (int i = 0; i < 61; ++i) pairs.emplace_back(1, std::to_string(600100 + i));
    struct Row { const char* cmd; std::function<Result<size_t>()> call; nlohmann::json args; size_t records; };
    const Row rows[] = {
        {"bars", [&] { return n(c->get_index_bars(4, 1, "000001", 0, 2, 1)); }, {{"code", "000001"}, {"fq", 0}}, 2},
        {"quotes", [&] { return n(c->get_security_quotes(pairs)); }, {{"n", 60}}, 60},
        {"minute", [&] { return n(c->get_history_minute_time_data(1, "600519", 20170613)); }, {{"date", 20170613}}, 240},
        {"minute", [&] { return n(c->get_minute_time_data(0, "000001")); }, {{"date", today_yyyymmdd()}}, 240},
        {"history_ticks", [&] { return n(c->get_history_transaction_data(1, "600519", 5, 2000, 20170613)); },
         {{"date", 20170613}}, 1195},
    };
    LogCapture quiet;  // the cut quote batch's warning
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cmd + (" " + row.args.dump()));
        mock.reset();
        auto got = row.call();
        ASSERT_TRUE(got.ok()) << got.error().display();
        EXPECT_EQ(*got, row.records);
        auto log = mock.request_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0]["cmd"], row.cmd);
        for (const auto& [key, value] : row.args.items()) EXPECT_EQ(log[0]["args"][key], value) << key;
    }
    // A start beyond 16 bits would silently ask for other bars: refused before any request.
    mock.reset();
    EXPECT_TRUE(failed_with(h.run(c->get_index_bars(4, 1, "000001", 70000, 10, 0)), 1003));
    EXPECT_EQ(mock.requests(), 0);
}

TEST_F(AsyncQueries, CountsAndFirstListPagesAreCachedPerMarketUntilExpiryOrAConnect) {
    auto both = [&] {
        EXPECT_EQ(h.run(h.client->get_security_count(1)).value(), 1908);
        EXPECT_EQ(h.run(h.client->get_security_list(2, 0)).value().size(), 301u);
    };
    both();
    EXPECT_EQ(h.run(h.client->get_security_count(0)).value(), 2105);
    EXPECT_EQ(h.run(h.client->get_security_list(2, 300)).value().size(), 1u);
    both();
    EXPECT_EQ(mock.requests(), 4);
    std::this_thread::sleep_for(350ms);
    both();
    EXPECT_EQ(mock.requests(), 6);
    ASSERT_TRUE(h.connect(mock.port()).ok());
    mock.reset();
    both();
    EXPECT_EQ(mock.requests(), 2);
}

TEST_F(AsyncQueries, BarsComeInPagesWithContextPagesForTheAdjustment) {
    // `all`: the whole history in pages, else one page; `close`: of bar `bar`, when not 0.
    struct Row { bool all; const char* code; uint16_t start, count; uint8_t fq, tier; nlohmann::json fault; Sent sent;
                 int size, error; size_t bar; double close; };
    const auto mid = FQ_CONTEXT_MID;
    const Row rows[] = {
        // 600036's factor 29.98 / 30.98, 1000 bars back, needs the close before it: a context page.
        {false, "600036", 0, 800, 2, mid, nullptr, {{0, 800, 2}, {800, 800, 0}}, 800, 0, 788, 30.88 * 30.98 / 29.98},
        // An event older than all 3000 bars: context pages until an empty one, or the budget ends.
        {false, "600000", 100, 50, 1, mid, nullptr,
         {{100, 50, 1}, {150, 800, 0}, {950, 800, 0}, {1750, 800, 0}, {2550, 800, 0}, {3350, 800, 0}},
         50, 0, 48, 10.48},
        {false, "600000", 0, 800, 1, FQ_CONTEXT_LOW, nullptr,
         {{0, 800, 1}, {800, 800, 0}, {1600, 800, 0}, {2400, 800, 0}}, 800, 0, 698, 10.48},
        // A failed context request fails the call.
        {false, "600036", 0, 800, 1, mid, {{"action", "zero_body"}, {"cmd", "bars"}, {"skip", 1}}, {}, 0, 2003, 0, 0},
        // The dividend 100 bars back (10.48 / 10.98) scales the older page too.
        {true, "600000", 0, 1000, 1, mid, nullptr,
         {{0, 800, 1}, {800, 200, 1}, {1000, 800, 0}, {1800, 800, 0}, {2600, 800, 0}, {3400, 800, 0}},
         1000, 0, 0, 9.545},
        {true, "000001", 0, 1000, 0, mid, nullptr, {{0, 800, 0}}, 30, 0, 0, 0},  // a short page ends it
        {true, "600036", 0, 2000, 0, mid, {{"action", "empty"}, {"cmd", "bars"}, {"skip", 2}},
         {{0, 800, 0}, {800, 800, 0}, {1600, 400, 0}}, 1600, 0, 0, 0},
        {true, "600000", 0, 0, 1, mid, nullptr, {}, 0, 0, 0, 0},
        {true, "600000", 0, 1000, 0, mid, {{"action", "body"}, {"cmd", "bars"}, {"hex", "01"}, {"nth", 2}}, {},
         0, 2103, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        mock.reset();
        if (!r.fault.is_null()) mock.set_fault(r.fault);
        h.client->set_fq_context_tier(r.tier);
        const uint8_t market = r.code[0] == '6';
        auto bars = h.run(r.all ? get_security_bars_all(*h.client, 4, market, r.code, r.count, r.fq)
                                : h.client->get_security_bars(4, market, r.code, r.start, r.count, r.fq));
        if (r.error) {
            EXPECT_TRUE(failed_with(bars, r.error)) << bars.error().display();
            continue;
        }
        ASSERT_TRUE(bars.ok()) << bars.error().display();
        ASSERT_EQ(bars->size(), static_cast<size_t>(r.size));
        EXPECT_EQ(sent_bars(mock), r.sent);
        EXPECT_EQ(mock.requests("xdxr"), r.fq && r.size ? 1 : 0);
        EXPECT_NEAR(r.close ? bars->at(r.bar).close : 0, r.close, 0.0006) << r.bar;
    }
}

TEST_F(AsyncQueries, FinanceInfosOnePerPairUntilTheFirstFailure) {
    const std::vector<std::pair<uint8_t, std::string>> stocks{{0, "000001"}, {1, "600000"}, {0, "000001"}};
    EXPECT_EQ(h.run(get_finance_infos(*h.client, stocks)).value().at(1).code, "600000");
    mock.set_fault({{"action", "body"}, {"cmd", "finance"}, {"hex", "0100"}, {"nth", 2}});
    EXPECT_TRUE(failed_with(h.run(get_finance_infos(*h.client, stocks)), 2103));
    EXPECT_EQ(mock.requests("finance"), 5);
}
