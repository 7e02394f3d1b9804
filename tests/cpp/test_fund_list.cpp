// The fund list walk: page budget, the end-of-fund-range test, and whole walks over the mock's
// security lists.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fund/fund_list.hpp"
#include "loopback_client.hpp"
#include "mock_server.hpp"

using quotix::fund::ends_past_fund_range;
using quotix::fund::FundInfo;
using quotix::fund::fund_list_page_budget;
using quotix::fund::FundType;
using quotix::test::MockServer;

TEST(FundList, PageBudgetAndEndOfTheFundRange) {
    for (auto [count, pages] : {std::pair{0, 0}, {1, 1}, {1000, 1}, {1001, 2}, {2105, 3}, {65535, 66}})
        EXPECT_EQ(fund_list_page_budget(static_cast<uint16_t>(count)), static_cast<size_t>(pages)) << count;
    struct Case {
        uint8_t market;
        const char* code;
        bool ends;
    };
    const Case cases[] = {
        {0, "170000", true}, {0, "300001", true}, {0, "2", true},
        // Fund prefixes never end the range, whatever follows them.
        {0, "159999", false}, {0, "16zzzz", false}, {0, "120001", false}, {0, "1", false}, {0, "", false},
        {1, "520000", true}, {1, "600000", true}, {1, "52", true}, {1, "519999", false}, {1, "51\xff", false},
        {1, "500001", false}, {1, "488888", false},
        // A beginning of the bound sorts before it; bytes compare unsigned.
        {1, "5", false}, {1, "51999", false}, {1, "\xe5\x8f\xb0", true},
        {2, "999999", false}, {3, "\xff", false}, {255, "999999", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ends_past_fund_range(c.market, c.code), c.ends) << int(c.market) << " " << c.code;
}

namespace {

class FundListWalk : public quotix::test::ConnectedClientTest {
protected:
    std::vector<int> list_starts() {
        std::vector<int> starts;
        for (const auto& e : mock_->request_log("list")) starts.push_back(e["args"]["start"].get<int>());
        return starts;
    }
};

std::vector<std::string> codes_of(const std::vector<FundInfo>& funds) {
    std::vector<std::string> out;
    for (const auto& f : funds) out.push_back(f.code);
    return out;
}

}  // namespace

// Shenzhen: 2105 entries, funds 159001-159099, 159915, 161725 at positions 1502-1602; the second
// page ends with 300xxx, past the range.
TEST_F(FundListWalk, ShenzhenStopsAfterThePageThatLeavesTheRange) {
    auto r = quotix::fund::get_fund_list(*client_, 0);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->size(), 101u);
    EXPECT_EQ(r->front().code, "159001");
    EXPECT_EQ(r->front().name, "测试9001");
    EXPECT_EQ(r->front().vol_unit, 100);
    EXPECT_EQ(r->front().decimal_point, 3);
    EXPECT_DOUBLE_EQ(r->front().pre_close, 5.0 + (159001 % 40) * 0.25);
    EXPECT_EQ(r->front().fund_type, FundType::ETF);
    EXPECT_EQ((*r)[99].code, "159915");
    EXPECT_EQ((*r)[100].code, "161725");
    EXPECT_EQ((*r)[100].name, "白酒LOF");
    EXPECT_EQ((*r)[100].fund_type, FundType::LOF);
    for (const auto& f : *r) EXPECT_EQ(f.market, 0);
    EXPECT_EQ(mock_->requests("count"), 1);
    EXPECT_EQ(list_starts(), (std::vector<int>{0, 1000}));
}

// Shanghai: funds at positions 2-105, the first page ends with 600xxx.
TEST_F(FundListWalk, ShanghaiNeedsOnePage) {
    auto r = quotix::fund::get_fund_list(*client_, 1);
    ASSERT_TRUE(r.ok()) << r.error().display();
    auto codes = codes_of(*r);
    ASSERT_EQ(codes.size(), 103u);
    EXPECT_EQ(codes[0], "510050");
    EXPECT_EQ(codes[1], "510300");
    EXPECT_EQ(codes[2], "510500");
    EXPECT_EQ(codes[101], "510599");
    EXPECT_EQ(codes[102], "519674");
    EXPECT_EQ((*r)[102].fund_type, FundType::OpenEnd);
    EXPECT_EQ(list_starts(), (std::vector<int>{0}));
}

TEST_F(FundListWalk, OtherMarketsWalkTheWholeBudget) {
    auto r = quotix::fund::get_fund_list(*client_, 2);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(list_starts(), (std::vector<int>{0}));

    // Market 7 counts no securities: nothing beyond the count is asked.
    auto none = quotix::fund::get_fund_list(*client_, 7);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(list_starts(), (std::vector<int>{0}));
}

TEST_F(FundListWalk, AFailedPageFailsTheWalk) {
    // One byte is too short for the list's own count.
    mock_->set_fault({{"action", "body"}, {"cmd", "list"}, {"hex", "00"}, {"skip", 1}});
    auto r = quotix::fund::get_fund_list(*client_, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2103)) << r.error().display();
    EXPECT_EQ(list_starts(), (std::vector<int>{0, 1000}));
}
