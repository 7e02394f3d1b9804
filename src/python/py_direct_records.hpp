// Records as the direct and block client classes hand them to Python: one dict per record, keys
// in a fixed insertion order. The block class has its own bar and quote shapes (in
// py_block_client.cpp); the rest are shared by both classes.
//
// Every function returns a new reference, or a null Ref with the Python exception set.
#pragma once

#include <vector>

#include "protocol/types.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py::direct_records {

// open, close, high, low, vol, amount, year, month, day, hour, minute, datetime
Ref bar_dicts(const std::vector<SecurityBar>& bars);
// The twelve bar keys, then up_count, down_count.
Ref index_bar_dicts(const std::vector<IndexBar>& bars);
// 33 keys: market, code, price, last_close, open, high, low, vol, cur_vol, amount, s_vol, b_vol,
// then bid/bid_vol/ask/ask_vol level by level, servertime last.
Ref quote_dicts(const std::vector<SecurityQuote>& quotes);
// code, volunit, decimal_point, name, pre_close
Ref security_info_dicts(const std::vector<SecurityInfo>& infos);
// time, price, avg_price, vol
Ref minute_to_list(const std::vector<MinuteTimePrice>& points);
// time, price, vol, num, buyorsell, reserved
Ref tick_to_list(const std::vector<TickData>& ticks);
// 36 keys: market, code, liutongguben, province, industry, updated_date, ipo_date, then the 29
// figures from zongguben to meigujingzichan.
Ref finance_dict(const FinanceInfo& info);
// year, month, day, category, name, then eleven amounts, None where the category has none.
Ref xdxr_dicts(const std::vector<XdXrInfo>& events);
// blockname, block_type, code_index, code
Ref block_record_dicts(const std::vector<BlockRecord>& records);

}  // namespace quotix::py::direct_records
