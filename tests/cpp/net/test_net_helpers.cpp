// Network pieces that need no server: context pages and block chunks over scripted replies, fund
// range bounds, the rate limiter.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "client_fixture.hpp"
#include "fund/fund_list.hpp"
#include "hex_util.hpp"
#include "net/block_download.hpp"
#include "net/rate_limiter.hpp"
#include "protocol/parsers.hpp"
#include "shared/fq_context.hpp"
#include "shared/query_rules.hpp"

using namespace quotix;
using namespace quotix::net;
using namespace quotix::testing;

namespace {

// One daily bar each: 2024-06-28 and 2001-01-02, close 10.000; and a page of no bars.
const Bytes kJune2024 = hex("0100f4d834019e9b01329602e40100007a448096184b");
const Bytes kJan2001 = hex("0100765431019e9b01329602e40100007a448096184b");
const Bytes kNoBars = hex("0000");

// Answers in order (then kJune2024), puts each reply to its check as a connection would, and
// records every request and every reply refused.
struct Script {
    std::vector<Result<Bytes>> replies;
    std::vector<Bytes> sent;
    size_t refused = 0;

    RequestFn fn() {
        return [this](const Bytes& packet, const ReplyCheck& check) -> Result<Bytes> {
            sent.push_back(packet);
            Result<Bytes> r = sent.size() <= replies.size() ? replies[sent.size() - 1] : Result<Bytes>(kJune2024);
            if (r && check) {
                if (Status st = check(*r); !st) return ++refused, std::move(st).error();
            }
            return r;
        };
    }
    uint32_t field(size_t i, size_t at, size_t width) const {
        uint32_t v = 0;
        for (size_t b = 0; b < width; ++b) v |= uint32_t(sent.at(i).at(at + b)) << (8 * b);
        return v;
    }
};

}  // namespace

// Pages of 800 step back until one begins strictly before the earliest event, one is empty, the
// budget is spent or the offset leaves 16 bits; a failed or undecodable page fails the fetch.
TEST(FqContext, PagesStepBackUntilTheEventBudgetOrSixteenBits) {
    struct Case {
        uint32_t offset, earliest, budget;
        std::vector<Result<Bytes>> replies;
        std::vector<uint32_t> starts;
        std::string outcome;  // "ok" and the years of the bars
    };
    const Case cases[] = {
        {0, 19900101, 3, {}, {0, 800, 1600}, "ok 2024 2024 2024"},
        {65535, 19900101, 9, {}, {65535}, "ok 2024"},
        {65536, 19900101, 9, {}, {}, "ok"},
        {0, 20240628, 6, {kJune2024, kJan2001}, {0, 800}, "ok 2001 2024"},
        {0, 19900101, 6, {kJune2024, kNoBars}, {0, 800}, "ok 2024"},
        {800, 19900101, 6, {kJune2024, TdxError::disconnected()}, {800, 1600}, "Server disconnected"},
        {800, 19900101, 6, {hex("01")}, {800}, "[E2103] "},
    };
    for (const Case& c : cases) {
        Script s{c.replies, {}};
        auto ctx = fetch_fq_context(s.fn(), 4, 1, "600000", c.offset, c.earliest, c.budget);
        std::vector<uint32_t> starts;
        for (size_t i = 0; i < s.sent.size(); ++i) starts.push_back(s.field(i, 24, 2));
        EXPECT_EQ(starts, c.starts) << c.offset;
        std::string got = ctx ? "ok" : ctx.error().display();
        for (const auto& bar : ctx ? *ctx : std::vector<SecurityBar>{}) got += " " + std::to_string(bar.year);
        EXPECT_EQ(got.substr(0, c.outcome.size()), c.outcome) << c.offset;
        EXPECT_EQ(s.refused, c.outcome == "[E2103] " ? 1u : 0u) << c.offset;  // its connection is not reused
    }
    EXPECT_EQ((std::vector<size_t>{fq_context_max_pages(0), fq_context_max_pages(1), fq_context_max_pages(2)}),
              (std::vector<size_t>{3, 6, 9}));
    // Only ex-rights events (category 1) count; the window needs context when the earliest falls
    // on or before its first bar's date.
    auto event = [](uint32_t date, uint32_t category) {
        XdXrInfo e;
        e.year = date / 10000, e.month = date / 100 % 100, e.day = date % 100, e.category = category;
        return e;
    };
    EXPECT_EQ(earliest_ex_rights_date(std::vector{event(20200105, 2), event(20210301, 1), event(20200601, 1)}), 20200601u);
    EXPECT_FALSE(earliest_ex_rights_date(std::vector{event(20200105, 2)}));
    const auto bars = parse_security_bars(kJune2024, 4).value();
    EXPECT_TRUE(needs_fq_context(bars, 20240628u));
    EXPECT_FALSE(needs_fq_context(bars, 20240629u) || needs_fq_context(bars, std::nullopt));
}

// A block file comes in chunks of at most 30000 bytes, each the asked bytes after a 4-byte
// prefix; a chunk bringing fewer fails naming where; an undecodable size or a failed chunk request
// fails the whole download. A short chunk or an undecodable size is refused as its reply.
TEST(BlockDownload, ChunksOfThirtyThousandBytesExactly) {
    auto meta = [](uint32_t size) {
        Bytes b(38, 0);
        std::memcpy(b.data(), &size, 4);
        return b;
    };
    auto chunk = [](size_t n) { return Bytes(4 + n, 0x5a); };
    using Chunks = std::vector<std::pair<uint32_t, uint32_t>>;  // offset and size asked for
    const std::tuple<std::vector<Result<Bytes>>, Chunks, std::string> cases[] = {
        {{meta(60001), chunk(30000), chunk(30000), chunk(1)}, {{0, 30000}, {30000, 30000}, {60000, 1}}, "60001 bytes"},
        {{meta(0)}, {}, "0 bytes"},
        {{meta(60000), chunk(30000), chunk(29000)}, {{0, 30000}, {30000, 30000}},
         "[E2103] response length mismatch: offset=30000 expected=30000 received=29000"},
        {{meta(5), hex("0000")}, {{0, 5}}, "[E2103] response length mismatch: offset=0 expected=5 received=0"},
        {{hex("00")}, {}, "[E2103] response length mismatch: body too short for block meta"},
        {{meta(60000), chunk(30000), TdxError::disconnected()}, {{0, 30000}, {30000, 30000}}, "Server disconnected"},
    };
    for (const auto& [replies, chunks, want] : cases) {
        Script s{replies, {}};
        auto data = download_block_file(s.fn(), "x.dat");
        Chunks asked;
        for (size_t i = 1; i < s.sent.size(); ++i) asked.emplace_back(s.field(i, 12, 4), s.field(i, 16, 4));
        EXPECT_EQ(asked, chunks);
        EXPECT_EQ(data ? std::to_string(data->size()) + " bytes" : data.error().display(), want);
        EXPECT_EQ(s.refused, want.starts_with("[E2103]") ? 1u : 0u) << want;  // its connection is not reused
    }
}

// Block codes are exactly six bytes beginning "88"; the general clients refuse them.
TEST(QueryRules, BlockCodesAreSixBytesBeginning88) {
    for (auto [code, block] : {std::pair{"880001", true}, {"88000", false}, {"8800011", false}, {"870001", false}, {"780001", false}})
        EXPECT_EQ(is_block_code(code), block) << code;
}

TEST(FundList, PageBudgetAndEndOfTheFundRange) {
    for (auto [count, pages] : {std::pair{0, 0}, {1000, 1}, {1001, 2}, {65535, 66}})
        EXPECT_EQ(fund::fund_list_page_budget(static_cast<uint16_t>(count)), static_cast<uint32_t>(pages)) << count;
    // Past "169999" on market 0 or "519999" on market 1, bytes unsigned, fund prefixes never.
    const std::tuple<uint8_t, const char*, bool> cases[] = {
        {0, "170000", true}, {0, "159999", false}, {0, "16zzzz", false}, {1, "520000", true},
        {1, "519999", false}, {1, "5", false}, {1, "\xe5\x8f\xb0", true}, {2, "999999", false},
    };
    for (const auto& [market, code, ends] : cases) EXPECT_EQ(fund::ends_past_fund_range(market, code), ends) << code;
}

// 1000 / rps ms apart (at least 5): the first at once, concurrent callers one interval apart; off
// means no wait.
TEST(RateLimiter, StartsAreAnIntervalApart) {
    RateLimiter l(std::chrono::milliseconds(67));
    for (auto [rps, ms] : {std::pair{15, 66}, {3, 333}, {200, 5}, {1000, 5}}) {
        l.set_rps(rps);
        EXPECT_EQ(l.interval().count(), ms) << rps;
    }
    l.set_rps(1);
    auto t0 = std::chrono::steady_clock::now();
    l.acquire();
    l.set_rps(0);
    for (int i = 0; i < 5; ++i) l.acquire();
    EXPECT_LT(seconds_since(t0), 0.5);
    l.set_rps(33);  // 30 ms
    t0 = std::chrono::steady_clock::now();
    std::thread a([&] { l.acquire(); }), b([&] { l.acquire(); });
    a.join();
    b.join();
    EXPECT_GE(seconds_since(t0), 0.029);
}
