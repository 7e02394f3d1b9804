#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "net/servers.hpp"

using namespace quotix::net;

namespace {

std::vector<std::string> numbered(const std::string& stem, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) out.push_back(stem + std::to_string(i));
    return out;
}

}  // namespace

TEST(ServerTables, PrimaryNamesInOrder) {
    const std::vector<std::string> names = {"广发13", "杭州联通J2", "华林5", "杭州电信J3", "上海电信Z1",
                                            "国信1", "华林7", "杭州电信J2", "杭州电信J1", "杭州电信J4"};
    ASSERT_EQ(PRIMARY_SERVERS.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(PRIMARY_SERVERS[i].name, names[i]) << i;
}

TEST(ServerTables, AllKnownNamesInOrder) {
    std::vector<std::string> names = {
        "海通8", "广发1", "华林4", "广发13", "杭州联通J2", "华林5", "海通2", "海通4", "国信1", "杭州电信J3",
        "华林7", "海通3", "海通1", "杭州电信J2", "上海电信Z1", "杭州电信J1", "杭州电信J4", "上证云成都电信一",
        "上证云北京联通一", "海通9", "广发14", "华林6", "华林8", "海通8 (alt)", "安信15", "国泰君安9",
        "国泰君安8", "国泰君安7", "国泰君安11", "国泰君安12", "国泰君安10", "国泰君安13", "国泰君安14", "海通5",
        "长城国瑞电信1", "长城国瑞电信2", "长城国瑞网通", "上海电信主站Z2", "北京联通主站Z1", "北京联通主站Z2",
        "杭州联通主站J1", "杭州华数主站J1", "杭州华数主站J2", "义乌移动主站J1", "青岛联通主站W1",
        "青岛电信主站W1", "深圳电信主站Z1", "云行情上海电信Z1", "云行情上海电信Z2", "上海电信主站Z3",
        "",  // row 50: our own label, checked below
        "华泰证券(南京电信)", "华泰证券(上海电信)", "华泰证券(上海电信二)", "华泰证券(深圳电信)",
        "华泰证券(武汉电信)", "华泰证券(天津联通)", "华泰证券(沈阳联通)", "华泰证券(南京联通)"};
    for (auto group : {numbered("安信", 1, 14), numbered("广发", 2, 12), numbered("国泰君安", 1, 6),
                       std::vector<std::string>{"国泰君安15", "国泰君安16"}, numbered("国信", 2, 6),
                       std::vector<std::string>{"海通6", "海通7", "华林1", "华林2", "华林3"}}) {
        names.insert(names.end(), group.begin(), group.end());
    }
    ASSERT_EQ(names.size(), 102u);
    ASSERT_EQ(ALL_KNOWN_SERVERS.size(), 102u);
    for (size_t i = 0; i < names.size(); ++i) {
        if (i == 50) continue;
        EXPECT_EQ(ALL_KNOWN_SERVERS[i].name, names[i]) << i;
    }
    EXPECT_FALSE(ALL_KNOWN_SERVERS[50].name.empty());
}

TEST(ServerTables, PrimaryRowsStandInTheFullTable) {
    const size_t rows[] = {3, 4, 5, 9, 14, 8, 10, 13, 15, 16};
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(PRIMARY_SERVERS[i].name, ALL_KNOWN_SERVERS[rows[i]].name);
        EXPECT_EQ(PRIMARY_SERVERS[i].ip, ALL_KNOWN_SERVERS[rows[i]].ip);
    }
}

TEST(ServerTables, AddressesArePublicIpv4OnTheQuotePort) {
    std::set<std::string_view> distinct;
    for (const auto& row : ALL_KNOWN_SERVERS) {
        EXPECT_EQ(row.port, 7709);
        int a, b, c, d;
        char tail;
        ASSERT_EQ(std::sscanf(std::string(row.ip).c_str(), "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail), 4) << row.ip;
        EXPECT_NE(a, 127);
        EXPECT_NE(a, 10);
        distinct.insert(row.ip);
    }
    // Rows 0 and 23 share one address; the remaining repeats are stand-ins for unpublished names.
    EXPECT_EQ(ALL_KNOWN_SERVERS[0].ip, ALL_KNOWN_SERVERS[23].ip);
    for (const auto& row : PRIMARY_SERVERS) EXPECT_EQ(row.port, 7709);
}
