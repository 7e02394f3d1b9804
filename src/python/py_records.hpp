// Records of the quote protocol as Python objects: one dict per record with its keys in a fixed
// insertion order, one tuple per record in a fixed element order, and the lists of them.
//
// These run once per record of every reply, so they are written for speed: the key objects are
// interned once per process; each row dict starts as a copy of the row before it (the first as a
// copy of a template), all sharing one keys table, so only the values that differ are stored;
// every list is made at its final length, and each value goes straight from the record field into
// the container.
//
// Every function returns a new reference, or a null Ref with the Python exception set; a partly
// built list is released on failure.
#pragma once

#include <vector>

#include "protocol/adjuster.hpp"
#include "protocol/types.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

// open, close, high, low, vol, amount, year, month, day, hour, minute, datetime
Ref bar_dicts(const std::vector<SecurityBar>& bars);
Ref bar_tuples(const std::vector<SecurityBar>& bars);
// The twelve bar fields, then up_count and down_count.
Ref index_bar_dicts(const std::vector<IndexBar>& bars);
Ref index_bar_tuples(const std::vector<IndexBar>& bars);

// 33 keys: market, code, price, last_close, open, high, low, servertime, vol, cur_vol, amount,
// s_vol, b_vol, the five bid levels with their volumes, then the five ask levels.
Ref quote_dicts(const std::vector<SecurityQuote>& quotes);
// 32 items: no server time, and bid and ask interleaved level by level.
Ref quote_tuples(const std::vector<SecurityQuote>& quotes);

// code, volunit, decimal_point, name, pre_close
Ref security_info_dicts(const std::vector<SecurityInfo>& infos);
// time, price, avg_price, vol
Ref minute_dicts(const std::vector<MinuteTimePrice>& points);
// time, price, vol, num, buyorsell, reserved
Ref tick_dicts(const std::vector<TickData>& ticks);
// 36 keys: market, code, liutongguben, province, industry, updated_date, ipo_date, then the 29
// figures from zongguben to meigujingzichan.
Ref finance_dict(const FinanceInfo& info);
// 16 keys: year, month, day, category, name, then the eleven values, None where the event's
// category carries no such value.
Ref xdxr_dicts(const std::vector<XdXrInfo>& events);
// blockname, block_type, code_index, code
Ref block_record_dicts(const std::vector<BlockRecord>& records);
// {"factors": [{date, close_before, qfq_factor, hfq_factor, div_per_share, bonus_ratio,
//   rights_ratio, rights_price}, ...], "cumulative_qfq": float, "cumulative_hfq": float}
Ref fq_report_dict(const FqFactorReport& report);

}  // namespace quotix::py
