// Decoded records of the quote protocol and of block files. Plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quotix {

struct SecurityBar {
    double open = 0, close = 0, high = 0, low = 0;
    double vol = 0, amount = 0;
    uint32_t year = 0, month = 0, day = 0;
    uint32_t hour = 0, minute = 0;
    std::string datetime;
};

struct IndexBar {
    double open = 0, close = 0, high = 0, low = 0;
    double vol = 0, amount = 0;
    uint32_t year = 0, month = 0, day = 0;
    uint32_t hour = 0, minute = 0;
    std::string datetime;
    uint32_t up_count = 0;
    uint32_t down_count = 0;
};

struct SecurityQuote {
    uint8_t market = 0;
    std::string code;
    uint16_t active1 = 0;
    double price = 0, last_close = 0, open = 0, high = 0, low = 0;
    std::string servertime;
    uint32_t reversed_bytes0 = 0;
    uint32_t reversed_bytes1 = 0;
    double vol = 0, cur_vol = 0, amount = 0, s_vol = 0, b_vol = 0;
    uint32_t reversed_bytes2 = 0;
    uint32_t reversed_bytes3 = 0;
    double bid1 = 0, ask1 = 0, bid_vol1 = 0, ask_vol1 = 0;
    double bid2 = 0, ask2 = 0, bid_vol2 = 0, ask_vol2 = 0;
    double bid3 = 0, ask3 = 0, bid_vol3 = 0, ask_vol3 = 0;
    double bid4 = 0, ask4 = 0, bid_vol4 = 0, ask_vol4 = 0;
    double bid5 = 0, ask5 = 0, bid_vol5 = 0, ask_vol5 = 0;
    uint32_t reversed_bytes4 = 0;
    uint32_t reversed_bytes5 = 0, reversed_bytes6 = 0, reversed_bytes7 = 0, reversed_bytes8 = 0;
    int32_t reversed_bytes9 = 0;
    uint16_t active2 = 0;
};

struct SecurityInfo {
    std::string code;
    uint16_t volunit = 0;
    uint8_t decimal_point = 0;
    std::string name;
    double pre_close = 0;
};

struct MinuteTimePrice {
    std::string time;
    double price = 0;
    double avg_price = 0;
    double vol = 0;
};

struct TickData {
    std::string time;
    double price = 0;
    double vol = 0;
    uint32_t num = 0;
    uint32_t buyorsell = 0;
    uint32_t reserved = 0;
};

struct XdXrInfo {
    uint32_t year = 0, month = 0, day = 0;
    uint32_t category = 0;
    std::string name;
    std::optional<double> fenhong, peigujia, songzhuangu, peigu;
    std::optional<double> suogu;
    std::optional<double> xingquanjia, fenshu;
    std::optional<double> panqianliutong, qianzongguben, panhouliutong, houzongguben;
};

struct FinanceInfo {
    uint8_t market = 0;
    std::string code;
    double liutongguben = 0;
    uint16_t province = 0;
    uint16_t industry = 0;
    uint32_t updated_date = 0;
    uint32_t ipo_date = 0;
    double zongguben = 0, guojiagu = 0, faqirenfarengu = 0, farengu = 0, bgu = 0, hgu = 0,
           zhigonggu = 0, zongzichan = 0, liudongzichan = 0, gudingzichan = 0, wuxingzichan = 0,
           gudongrenshu = 0, liudongfuzhai = 0, changqifuzhai = 0, zibengongjijin = 0,
           jingzichan = 0, zhuyingshouru = 0, zhuyinglirun = 0, yingshouzhangkuan = 0,
           yingyelirun = 0, touzishouyu = 0, jingyingxianjinliu = 0, zongxianjinliu = 0,
           cunhuo = 0, lirunzonghe = 0, shuihoulirun = 0, jinglirun = 0, weifenpeilirun = 0,
           meigujingzichan = 0;
};

struct BlockInfoMeta {
    uint32_t size = 0;
    std::string hash_value;
};

struct BlockRecord {
    std::string blockname;
    uint16_t block_type = 0;
    uint16_t code_index = 0;
    std::string code;
};

struct BlockGroup {
    std::string blockname;
    std::string code_list;
    uint16_t block_type = 0;
    uint16_t stock_count = 0;
};

}  // namespace quotix
