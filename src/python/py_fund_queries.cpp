// The data methods of the Python class TdxHqFundClient: the fund list, bars, quotes, minute
// time, ticks, XDXR events and finance. Each converts every argument first, then refuses a code
// that is not a fund code of its market before anything is sent, then calls the core client and
// builds the result only after the core call has returned. Every failure is a ValueError.

#include <span>
#include <tuple>
#include <utility>

#include "core/constants.hpp"
#include "core/error_codes.hpp"
#include "fund/fund_list.hpp"
#include "fund/types.hpp"
#include "fund/utils.hpp"
#include "python/py_fund.hpp"
#include "python/py_query_args.hpp"
#include "python/py_records.hpp"

namespace quotix::py {
namespace {

// ---- fund-code refusal -----------------------------------------------------------------------

// "Invalid fund code: {market}:{code} is not a fund" under the given code, as a ValueError.
bool check_fund_code(uint32_t error_code, uint8_t market, const std::string& code) {
    auto refusal = fund::validate_fund_code(market, code);
    if (!refusal) return true;
    raise_value_error(TdxError::coded(error_code, "Invalid fund code: " + *refusal));
    return false;
}

// (market, code): the arguments of most methods.
bool market_code_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      uint8_t& market, std::string& code) {
    return bind_market_code(fname, args, nargs, kwnames, market, code) &&
           check_fund_code(codes::FUND_CODE_NOT_SUPPORTED, market, code);
}

// ---- result shapes ---------------------------------------------------------------------------

// Bars and minute points take TdxHqClient's dicts (py_records.hpp); these shapes are the fund
// client's own.

Ref quote_dict(const SecurityQuote& quote) {
    static KeySet keys{"market", "code", "price", "last_close", "open", "high", "low", "vol", "amount",
                       "bid1", "bid_vol1", "bid2", "bid_vol2", "bid3", "bid_vol3",
                       "bid4", "bid_vol4", "bid5", "bid_vol5",
                       "ask1", "ask_vol1", "ask2", "ask_vol2", "ask3", "ask_vol3",
                       "ask4", "ask_vol4", "ask5", "ask_vol5", "servertime"};
    const fund::FundQuote q = fund::FundQuote::from_security_quote(quote);
    return DictBuilder(keys)
        .add(q.market).add(q.code).add(q.price).add(q.last_close).add(q.open).add(q.high).add(q.low)
        .add(q.vol).add(q.amount)
        .add(q.bid1).add(q.bid_vol1).add(q.bid2).add(q.bid_vol2).add(q.bid3).add(q.bid_vol3)
        .add(q.bid4).add(q.bid_vol4).add(q.bid5).add(q.bid_vol5)
        .add(q.ask1).add(q.ask_vol1).add(q.ask2).add(q.ask_vol2).add(q.ask3).add(q.ask_vol3)
        .add(q.ask4).add(q.ask_vol4).add(q.ask5).add(q.ask_vol5)
        .add(q.servertime)
        .finish();
}

Ref fund_info_dict(const fund::FundInfo& f) {
    static KeySet keys{"market", "code", "name", "fund_type", "fund_type_zh", "vol_unit", "decimal_point",
                       "pre_close"};
    return DictBuilder(keys)
        .add(f.market).add(f.code).add(f.name)
        .add(fund::fund_type_name(f.fund_type)).add(fund::fund_type_name_zh(f.fund_type))
        .add(uint32_t{f.vol_unit}).add(uint32_t{f.decimal_point}).add(f.pre_close)
        .finish();
}

}  // namespace

// ---- fund list -------------------------------------------------------------------------------

PyObject* fund_get_fund_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"get_fund_list", {"market"}, 1};
    Bound<1> b;
    uint8_t market = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market)) return nullptr;
    auto funds = fund::get_fund_list(fund_core(self).client, market);
    if (!funds) return raise_value_error(funds.error());
    return list_of(*funds, fund_info_dict).release();
}

// ---- bars: never adjusted on this class ------------------------------------------------------

PyObject* fund_get_fund_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<5> P{"get_fund_bars", {"category", "market", "code", "start", "count"}, 3};
    Bound<5> b;
    uint8_t category = 0, market = 0;
    std::string code;
    uint32_t start = 0;
    uint16_t count = 800;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, category) || !b.get(1, market) || !b.get(2, code) ||
        !b.get(3, start) || !b.get(4, count))
        return nullptr;
    if (!check_fund_code(codes::FUND_CODE_NOT_SUPPORTED, market, code)) return nullptr;
    auto bars = fund_core(self).client.get_security_bars(category, market, code, start, count, 0);
    if (!bars) return raise_value_error(bars.error());
    return bar_dicts(*bars).release();
}

PyObject* fund_get_fund_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> P{"get_fund_bars_all", {"category", "market", "code", "count"}, 3};
    Bound<4> b;
    uint8_t category = 0, market = 0;
    std::string code;
    uint16_t count = 800;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, category) || !b.get(1, market) || !b.get(2, code) ||
        !b.get(3, count))
        return nullptr;
    if (!check_fund_code(codes::FUND_CODE_NOT_SUPPORTED, market, code)) return nullptr;
    auto bars = fund_core(self).client.get_security_bars_all(category, market, code, count, 0);
    if (!bars) return raise_value_error(bars.error());
    return bar_dicts(*bars).release();
}

// ---- quotes ----------------------------------------------------------------------------------

PyObject* fund_get_fund_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"get_fund_quotes", {"stocks"}, 1};
    Bound<1> b;
    std::vector<std::tuple<uint8_t, std::string>> given;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, given)) return nullptr;
    std::vector<std::pair<uint8_t, std::string>> stocks;
    stocks.reserve(given.size());
    // Every pair is checked, also those past the batch limit that the core drops.
    for (auto& [market, code] : given) {
        if (!check_fund_code(codes::INVALID_FORMAT, market, code)) return nullptr;
        stocks.emplace_back(market, std::move(code));
    }
    auto quotes = fund_core(self).client.get_security_quotes(std::span(stocks));
    if (!quotes) return raise_value_error(quotes.error());
    return list_of(*quotes, quote_dict).release();
}

// ---- minute time -----------------------------------------------------------------------------

PyObject* fund_get_fund_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!market_code_args("get_fund_minute_time_data", args, nargs, kwnames, market, code)) return nullptr;
    // Today on the exchange's calendar (UTC+8), not on the caller's.
    auto points = fund_core(self).client.get_history_minute_time_data(market, code, today_yyyymmdd());
    if (!points) return raise_value_error(points.error());
    return minute_dicts(*points).release();
}

PyObject* fund_get_fund_history_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    static const Params<3> P = market_code_date_params("get_fund_history_minute_time_data");
    uint8_t market = 0;
    std::string code;
    uint32_t date = 0;
    if (!bind_market_code_date(P, args, nargs, kwnames, market, code, date)) return nullptr;
    // The core fund client makes the fund-code check itself.
    auto points = fund_core(self).get_fund_history_minute_time_data(market, code, date);
    if (!points) return raise_value_error(points.error());
    return minute_dicts(*points).release();
}

// ---- ticks -----------------------------------------------------------------------------------

PyObject* fund_get_fund_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static const Params<4> P = tick_params("get_fund_transaction_data");
    TickArgs a;
    if (!bind_tick_args(P, args, nargs, kwnames, a)) return nullptr;
    if (!check_fund_code(codes::FUND_CODE_NOT_SUPPORTED, a.market, a.code)) return nullptr;
    auto ticks = fund_core(self).client.get_transaction_data(a.market, a.code, a.start, a.count);
    if (!ticks) return raise_value_error(ticks.error());
    static KeySet keys{"time", "price", "vol", "num", "buyorsell"};
    return list_of(*ticks, [](const TickData& t) {
               return DictBuilder(keys).add(t.time).add(t.price).add(t.vol).add(t.num).add(t.buyorsell).finish();
           })
        .release();
}

PyObject* fund_get_fund_history_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    static const Params<5> P{
        "get_fund_history_transaction_data", {"market", "code", "start", "count", "date"}, 5};
    Bound<5> b;
    uint8_t market = 0;
    std::string code;
    uint16_t start = 0, count = 0;
    uint32_t date = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market) || !b.get(1, code) || !b.get(2, start) ||
        !b.get(3, count) || !b.get(4, date))
        return nullptr;
    if (!check_fund_code(codes::FUND_CODE_NOT_SUPPORTED, market, code)) return nullptr;
    auto ticks = fund_core(self).client.get_history_transaction_data(market, code, start, count, date);
    if (!ticks) return raise_value_error(ticks.error());
    static KeySet keys{"time", "price", "vol", "buyorsell"};
    return list_of(*ticks, [](const TickData& t) {
               return DictBuilder(keys).add(t.time).add(t.price).add(t.vol).add(t.buyorsell).finish();
           })
        .release();
}

// ---- XDXR and finance ------------------------------------------------------------------------

PyObject* fund_get_fund_xdxr_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!market_code_args("get_fund_xdxr_info", args, nargs, kwnames, market, code)) return nullptr;
    auto events = fund_core(self).client.get_xdxr_info(market, code);
    if (!events) return raise_value_error(events.error());
    // Every category is kept; an amount the event does not carry is None.
    static KeySet keys{"year", "month", "day", "category",
                       "fenhong", "peigujia", "songzhuangu", "peigu", "suogu"};
    return list_of(*events, [](const XdXrInfo& e) {
               return DictBuilder(keys)
                   .add(e.year).add(e.month).add(e.day).add(e.category)
                   .add(e.fenhong).add(e.peigujia).add(e.songzhuangu).add(e.peigu).add(e.suogu)
                   .finish();
           })
        .release();
}

PyObject* fund_get_fund_finance_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!market_code_args("get_fund_finance_info", args, nargs, kwnames, market, code)) return nullptr;
    auto info = fund_core(self).client.get_finance_info(market, code);
    if (!info) return raise_value_error(info.error());
    static KeySet keys{"market", "code", "zongguben", "liutongguben",
                       "meigujingzichan", "zongzichan", "jingzichan"};
    const FinanceInfo& f = *info;
    return DictBuilder(keys)
        .add(f.market).add(f.code).add(f.zongguben).add(f.liutongguben).add(f.meigujingzichan)
        .add(f.zongzichan).add(f.jingzichan)
        .finish()
        .release();
}

}  // namespace quotix::py
