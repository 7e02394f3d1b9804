// Reply bodies as byte vectors and what each parser makes of them: one row per layout or bound.
#include <gtest/gtest.h>

#include "core/constants.hpp"
#include "hex_util.hpp"
#include "protocol/parsers.hpp"
#include "record_text.hpp"

using namespace quotix;
using quotix::testing::hex;
using testutil::fields;
using testutil::outcome;

namespace {

std::string bar_text(const SecurityBar& b) { return fields(b.datetime, b.open, b.close, b.high, b.low, b.vol, b.amount); }
std::string index_text(const IndexBar& b) {
    return fields(b.datetime, b.open, b.close, b.high, b.low, b.vol, b.amount, b.up_count, b.down_count);
}
std::string tick_text(const TickData& t) { return fields(t.time, t.price, t.vol, t.num, t.buyorsell, t.reserved); }
std::string minute_text(const MinuteTimePrice& m) { return fields(m.time, m.price, m.vol, m.avg_price); }
std::string quote_text(const SecurityQuote& q) {
    return fields(q.market, q.code, q.active1, q.price, q.last_close, q.open, q.high, q.low, q.servertime,
                  q.reversed_bytes0, q.reversed_bytes1, q.vol, q.cur_vol, q.amount, q.s_vol, q.b_vol, q.reversed_bytes2,
                  q.reversed_bytes3) + " / " +
           fields(q.bid1, q.ask1, q.bid_vol1, q.ask_vol1, q.bid3, q.ask_vol3, q.bid4, q.ask4, q.bid_vol4, q.bid5, q.ask5,
                  q.ask_vol5) + " / " +
           fields(q.reversed_bytes4, q.reversed_bytes5, q.reversed_bytes8, q.reversed_bytes9, q.active2);
}
std::string xdxr_text(const XdXrInfo& x) {
    return fields(x.year, x.month, x.day, x.category, x.name, x.fenhong, x.peigujia, x.songzhuangu, x.peigu, x.suogu,
                  x.xingquanjia, x.fenshu, x.panqianliutong, x.qianzongguben, x.panhouliutong, x.houzongguben);
}

using Parse = std::string (*)(Body);
const Parse daily = [](Body b) { return outcome(parse_security_bars(b, KLINE_DAILY), bar_text); };
const Parse five_min = [](Body b) { return outcome(parse_security_bars(b, KLINE_5MIN), bar_text); };
const Parse index = [](Body b) { return outcome(parse_index_bars(b, KLINE_DAILY), index_text); };
const Parse list = [](Body b) {
    return outcome(parse_security_list(b), [](const SecurityInfo& e) {
        return fields(e.code, e.volunit, e.name, e.decimal_point, e.pre_close);
    });
};
const Parse quotes = [](Body b) { return outcome(parse_security_quotes(b), quote_text); };
const Parse ticks = [](Body b) { return outcome(parse_transaction_data_with_coefficient(b, 0.01), tick_text); };
const Parse history = [](Body b) { return outcome(parse_history_transaction_data_with_coefficient(b, 0.01), tick_text); };
const Parse minutes = [](Body b) { return testutil::records(parse_history_minute_time_data(b, 1, "600000"), minute_text); };
const Parse xdxr = [](Body b) { return outcome(parse_xdxr_info(b), xdxr_text); };
// Finance info keeps the market and code asked for, not the body's own.
const Parse finance = [](Body b) {
    return outcome(parse_finance_info(b, 0, "000001"), [](const FinanceInfo& f) {
        return fields(f.market, f.code, f.liutongguben, f.province, f.industry, f.updated_date, f.ipo_date, f.zongguben,
                      f.guojiagu, f.meigujingzichan);
    });
};
const Parse meta = [](Body b) {
    return outcome(parse_block_info_meta(b), [](const BlockInfoMeta& m) { return fields(m.size, m.hash_value); });
};

// 2024-01-31 from a previous close of 0: open +10000, close +500, high +800, low -200, volume 100.0 and
// amount 100000.0 as the reply's packed floats.
#define DAY "03 d7 34 01 90 9c 01 b4 07 a0 0c c8 03 00 00 c8 42 00 50 c3 47"
#define DAY_TEXT "2024-01-31 10 10.5 10.8 9.8 100 100000"
// 2024-02-01 with unchanged prices: 16 bytes, the shortest security bar.
#define NEXT_DAY "49 d7 34 01 00 00 00 00 00*8"
// A whole quote of 600000 with 14:30:25.41 as its time; the head runs to the low.
#define QUOTE_HEAD "01 36 30 30 30 30 30 02 01 a8 0f 4a 05 14 4f"
#define QUOTE QUOTE_HEAD " 8d f5 d1 0d 07 b9 c0 01 a4 01 00 50 c3 47 98 09 bc 0a 02 03 41 01 0a 0b 42 02 14 15 43 03 " \
    "1e 1f 44 04 28 29 45 05 32 33 34 12 05 06 07 08 fe ff 04 03"
#define QUOTE_TEXT \
    "1 600000 258 10 9.9 10.05 10.2 9.85 14:30:2541 14302541 7 12345 100 100000 600 700 2 3 / 9.99 10.01 10 11 " \
    "9.97 31 9.96 10.04 40 9.95 10.05 51 / 4660 5 8 -2 772"
#define EVENT "00 30 30 30 30 30 31 ee"
#define TOO_SHORT "[E2103] response length mismatch: body too short"

struct Row { Parse parse; const char* body; std::string expected; };

const Row kRows[] = {
    // Security bars: prices run on from the previous close; the count, the bytes and the dates end the list.
    {daily, "02 00 " DAY " 49 d7 34 01 00 45 0a 4a 00 00 00 3f 00 00 00 40",
     DAY_TEXT " | 2024-02-01 10.5 10.495 10.51 10.49 0.5 2"},
    {daily, "03 00 " DAY " " NEXT_DAY, DAY_TEXT " | 2024-02-01 10.5 10.5 10.5 10.5 0 0"},
    {daily, "02 00 " DAY " 49 d7 34 01 00*11", DAY_TEXT},
    {daily, "00 00 " DAY, ""},
    {daily, "01 00 7f fd 2d 01 00*12", ""},  // 1979-12-31
    {daily, "01 00 e4 d6 34 01 00*12", ""},  // day 0
    {daily, "01 00 04 d7 34 01 00*12", ""},  // day 32
    {daily, "01 00 81 d6 34 01 00*12", ""},  // month 0
    {daily, "01 00 bf be f5 05 00*12", ""},  // 9999-12-31, past the latest valid year
    {daily, "01 00 66 d7 34 01 00*12", "2024-02-30 0 0 0 0 0 0"},
    {daily, "03 00 e6 d6 34 01 00*12 95 db 34 01 00*12 e7 d6 34 01 00*12", "2024-01-02 0 0 0 0 0 0"},  // month 13
    // Cut short: a missing difference counts as 0, missing floats are 0, and the record ends the list.
    {daily, "02 00 03 d7 34 01 90 9c 81 80 80 80 80 80 80 80 00 b4 87 00", "2024-01-31 10 10.5 10 10 0 0"},
    {daily, "01 00 03 d7 34 01 81 80*11", "2024-01-31 0 0 0 0 0 0"},
    {daily, "02 00 03 d7 34 01 81 00 02 03 04 00 00 c8 42 00 00 00", "2024-01-31 0.001 0.003 0.004 0.005 100 0"},
    {daily, "01 00 03 d7 34 01 80*8 00 00 00 00 c8", "2024-01-31 0 0 0 0 0 0"},  // the volume cut short
    {daily, "01", TOO_SHORT},
    {five_min, "01 00 83 a0 3f 02 05 00 00 00 00*8", "2024-01-31 09:35 0.005 0.005 0.005 0.005 0 0"},
    {five_min, "01 00 83 a0 ff ff 00*12", "2024-01-31 1092:15 0 0 0 0 0 0"},  // hours keep every digit
    {five_min, "01 00 " DAY, ""},  // a plain date read as packed is month 17
    // Index bars: up and down counts follow the amount; a last record of 20 bytes is whole.
    {index, "02 00 " DAY " 2c 03 dc 05 " NEXT_DAY " 03 00 04 00", DAY_TEXT " 812 1500 | 2024-02-01 10.5 10.5 10.5 10.5 0 0 3 4"},
    {index, "01 00 " DAY " 21 00", DAY_TEXT " 33 0"},
    {index, "01 00 " NEXT_DAY " 00*3", ""},
    {index, "01 00 03 d7 34 01 81 80*19", "2024-01-31 0 0 0 0 0 0 0 0"},            // cut inside the prices
    {index, "01 00 03 d7 34 01 80*8 00 00 00 00 00*8", "2024-01-31 0 0 0 0 0 0 0 0"},  // no counts
    {index, "00", TOO_SHORT},
    // Security list: 29-byte entries; names are GBK unless a mark says otherwise, codes lossy UTF-8.
    {list,
     "02 00 30 30 30 30 30 31 64 00 c6 bd b0 b2 d2 f8 d0 d0 aa bb cc dd 02 00 00 c8 42 00*4"
     " c4 e3 30 30 30 31 64 00 ef bb bf 41 42 00 00 00 aa bb cc dd 02 00 00 c8 42 00*4",
     "000001 100 平安银行 2 100 | \xef\xbf\xbd\xef\xbf\xbd" "0001 100 AB 2 100"},
    {list, "02 00 36 30 30 30 30 30 64 00 41 00*7 aa bb cc dd 03 00 00 c8 42 00*4 00*28", "600000 100 A 3 100"},
    {list, "00 00 36 30 30 30 30 30 64 00 41 00*7 aa bb cc dd 03 00 00 c8 42 00*4", ""},
    {list, "01", TOO_SHORT},
    // Quotes: each record takes its own code's coefficient; a record cut short keeps its defaults and ends the
    // list; 30 bytes start a record, 29 do not.
    {quotes, "b1 cb 03 00 " QUOTE " 01 35 31 30 33 30 30 00 00 a8 0f 80*19",
     QUOTE_TEXT " | 1 510300 0 1 1 1 1 1 reversed_bytes0:0 0 0 0 0 0 0 0 0 0 / 1 1 0 0 1 0 1 1 0 1 1 0 / 0 0 0 0 0"},
    {quotes, "b1 cb 01 00 " QUOTE_HEAD " 07 07 09 81 80 80 80 80 80 80 80 00 00 50 c3",  // amount cut off
     "1 600000 258 10 9.9 10.05 10.2 9.85 7 7 7 9 1 0 0 0 0 0 / 10 10 0 0 10 0 10 10 0 10 10 0 / 0 0 0 0 0"},
    {quotes, "b1 cb 01 00 01 35 31 30 33 30 30 00 00 a8 0f 80*18", ""},
    {quotes, "b1 cb 00 00 " QUOTE, ""},
    {quotes, "b1 cb 01", TOO_SHORT},
    // Live ticks end with the count or the data, whichever comes first: none is invented.
    {ticks, "02 00 3a 02 a8 0f 32 03 01 00 3b 02 45 0a 02 00 81 01", "09:30 10 50 3 1 0 | 09:31 9.95 10 2 0 65"},
    {ticks, "03 00 3a 02 a8 0f 32 03 01 00", "09:30 10 50 3 1 0"},
    {ticks, "01 00 3a 02 01 01 01 01 01 3b 02 01 01 01 01 01", "09:30 0.01 1 1 1 1"},
    {ticks, "05 00 3a 02 a8 0f 32 03 01 00 3c 02 05 81", "09:30 10 50 3 1 0 | 09:32 10.05 0 0 0 0"},
    {ticks, "05 00 3a 02 a8 0f 32 03 01 00 3a", "09:30 10 50 3 1 0 | 00:00 10 0 0 0 0"},
    {ticks, "05", TOO_SHORT},
    // History ticks run to the end of the body; the shortest whole tick is 6 bytes.
    {history, "00*6 58 02 a8 0f 32 01 07 59 02 41 02 00 00", "10:00 10 50 0 1 7 | 10:01 9.99 2 0 0 0"},
    {history, "00*6 3a 02 05 01 00", ""},
    {history, "00*6 3a 02 05 81 80 80", "09:30 0.05 0 0 0 0"},
    {history, "00*5", TOO_SHORT},
    // Minute prices: a running price in the code's unit and a running average, newest first.
    {minutes, "00*6 0a 00 05 01 00 03", "09:32 0.11 3 0.10375 | 09:31 0.1 5 0.1"},
    {minutes, "00*6 0a 00 05 81", "09:32 0.1 0 0.1 | 09:31 0.1 5 0.1"},
    {minutes, "00*6 0a 00 05 01 00", "09:32 0.11 0 0.1 | 09:31 0.1 5 0.1"},
    {minutes, "00*6", ""},
    // Ex-rights events: 29 bytes each, their values read by category.
    {xdxr,
     "00*9 04 00 " EVENT " 03 d7 34 01 01 00 00 c0 3f 00*4 00 00 40 40 00*4 " EVENT " e6 d6 34 01 0b 00*8 00 00 00 3f 00*4 "
     EVENT " e7 d6 34 01 0d 00 00 88 40 00*4 00 00 40 41 00*4 " EVENT " e8 d6 34 01 05 00 00 c8 42 00 00 00 40 00 00 00 3f 00*4",
     "2024 1 31 1 除权除息 1.5 0 3 0 - - - - - - - | 2024 1 2 11 扩缩股 - - - - 0.5 - - - - - - | "
     "2024 1 3 13 送认购权证 - - - - - 4.25 12 - - - - | 2024 1 4 5 股本变化 - - - - - - - 100 2 0.5 0"},
    {xdxr, "00*9 02 00 " EVENT " 03 d7 34 01 01 00*16 00*28", "2024 1 31 1 除权除息 0 0 0 0 - - - - - - -"},
    {xdxr, "00*9 00 00 " EVENT " 03 d7 34 01 01 00*16", ""},
    {xdxr, "00*10", TOO_SHORT},
    // The float of offset 9 widened without rounding; 29 floats from offset 25, the thirtieth (141) dropped.
    {finance,
     "01 36 30 30 30 30 30 00 00 cd cc cc 3d 1f 00 2c 00 03 d7 34 01 46 0a 31 01 00 00 80 3f 00*108 00 00 e8 41 00 00 f0 41",
     "0 000001 0.100000001490116 31 44 20240131 19991110 1 0 29"},
    {finance, "00*144", "[E2103] response length mismatch: body too short for finance info"},
    {meta, "ff ff ff ff 00 01 23 45 67 89 ab cd ef fe dc ba 98 76 54 32 10 01 23 45 67 89 ab cd ef fe dc ba 98 76 54 32 10 00",
     "4294967295 0123456789abcdeffedcba98765432100123456789abcdeffedcba9876543210"},
    {meta, "00*37", "[E2103] response length mismatch: body too short for block meta"},
};

}  // namespace

TEST(Parsers, BodiesByHand) {
    for (const Row& r : kRows) EXPECT_EQ(r.parse(hex(r.body)), r.expected) << r.body;
}

TEST(Parsers, EveryIntradayCategoryReadsThePackedDate) {
    const auto body = hex("01 00 83 a0 3f 02 05 00 00 00 00*8");
    for (uint8_t cat : {KLINE_5MIN, KLINE_15MIN, KLINE_30MIN, KLINE_1HOUR, KLINE_EXHQ_1MIN, KLINE_1MIN})
        EXPECT_EQ(outcome(parse_security_bars(body, cat), bar_text), five_min(body)) << int(cat);
}

TEST(Parsers, MinuteLabelsOfTheDay) {
    const auto m = parse_history_minute_time_data(std::vector<uint8_t>(6 + 241 * 3, 0), 0, "000001");
    ASSERT_EQ(m.size(), 241u);
    EXPECT_EQ(fields(m[0].time, m[1].time, m[120].time, m[121].time, m[240].time), "15:01 15:00 13:01 11:30 09:31");
}

// A count of 65535 over a body that holds no record must not reserve room for 65535.
TEST(Parsers, AnnouncedCountsDoNotDriveAllocation) {
    const std::vector<uint8_t> counts(11, 0xff);
    EXPECT_LE(parse_security_bars(counts, KLINE_DAILY)->capacity(), 1u);
    EXPECT_LE(parse_index_bars(counts, KLINE_DAILY)->capacity(), 1u);
    EXPECT_LE(parse_security_quotes(counts)->capacity(), 1u);
    EXPECT_LE(parse_security_list(counts)->capacity(), 1u);
    EXPECT_LE(parse_transaction_data_with_coefficient(counts, 0.01)->capacity(), 2u);
    EXPECT_EQ(parse_xdxr_info(counts)->capacity(), 0u);
}
