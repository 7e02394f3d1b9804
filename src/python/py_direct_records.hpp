// The quote dicts of the direct client class: its own key order, unlike TdxHqClient's. Its other
// records have the TdxHqClient shapes of py_records.hpp; the block class has its own bar and
// quote shapes (in py_block_client.cpp).
//
// Returns a new reference, or a null Ref with the Python exception set.
#pragma once

#include <vector>

#include "protocol/types.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py::direct_records {

// 33 keys: market, code, price, last_close, open, high, low, vol, cur_vol, amount, s_vol, b_vol,
// then bid/bid_vol/ask/ask_vol level by level, servertime last.
Ref quote_dicts(const std::vector<SecurityQuote>& quotes);

}  // namespace quotix::py::direct_records
