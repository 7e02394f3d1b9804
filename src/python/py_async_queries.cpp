// The data methods of AsyncTdxHqClient: each converts its arguments under a shared borrow, runs
// its core operation on the object's runtime and builds the Python result once that operation
// has returned. The records become the module's shared dict and tuple shapes.

#include <string>
#include <vector>

#include "async/compound.hpp"
#include "python/py_async_client.hpp"
#include "python/py_async_frame.hpp"
#include "python/py_dataframe.hpp"
#include "python/py_direct_records.hpp"
#include "python/py_records.hpp"

namespace quotix::py {

using async_frame::arg;
using async_frame::Borrow;
using async_frame::Pairs;

namespace {

// ---- shared argument sets --------------------------------------------------------------------

struct BarArgs {
    uint8_t category = 0;
    uint8_t market = 0;
    std::string code;
    uint32_t start = 0;
    uint16_t count = 800;
    uint8_t fq = 1;
};

// (category, market, code, start=0, count=800, fq=1), bound and converted under `borrow`.
bool bar_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              Borrow& borrow, BarArgs& a) {
    const Params<6> P{fname, {"category", "market", "code", "start", "count", "fq"}, 3};
    Bound<6> b;
    if (!P.bind(args, nargs, kwnames, b)) return false;
    borrow = Borrow::shared(self);
    if (!borrow) return false;
    return arg(b, 0, a.category) && arg(b, 1, a.market) && arg(b, 2, a.code) && arg(b, 3, a.start) &&
           arg(b, 4, a.count) && arg(b, 5, a.fq);
}

// (category, market, code, count=800, fq=1) of the two history methods.
bool bar_all_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Borrow& borrow, BarArgs& a) {
    const Params<5> P{fname, {"category", "market", "code", "count", "fq"}, 3};
    Bound<5> b;
    if (!P.bind(args, nargs, kwnames, b)) return false;
    borrow = Borrow::shared(self);
    if (!borrow) return false;
    return arg(b, 0, a.category) && arg(b, 1, a.market) && arg(b, 2, a.code) && arg(b, 3, a.count) &&
           arg(b, 4, a.fq);
}

// A single list-valued parameter: all_stock or stocks.
bool pairs_arg(const char* fname, const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Borrow& borrow, Pairs& pairs) {
    const Params<1> P{fname, {name}, 1};
    Bound<1> b;
    if (!P.bind(args, nargs, kwnames, b)) return false;
    borrow = Borrow::shared(self);
    if (!borrow) return false;
    return arg(b, 0, pairs);
}

// (market, code) of the finance, XDXR and live minute-time methods.
bool market_code_args(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Borrow& borrow, uint8_t& market, std::string& code) {
    const Params<2> P{fname, {"market", "code"}, 2};
    Bound<2> b;
    if (!P.bind(args, nargs, kwnames, b)) return false;
    borrow = Borrow::shared(self);
    if (!borrow) return false;
    return arg(b, 0, market) && arg(b, 1, code);
}

// The Python result of a core outcome: the exception of its error, or `convert(value)`.
template <class R, class F>
PyObject* finish(const R& outcome, F&& convert) {
    if (!outcome) return raise_tdx(outcome.error());
    return convert(*outcome).release();
}

// ---- bars ------------------------------------------------------------------------------------

template <class F>
PyObject* security_bars(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, F&& convert) {
    Borrow borrow;
    BarArgs a;
    if (!bar_args(fname, self, args, nargs, kwnames, borrow, a)) return nullptr;
    auto bars = run_on(self, async_core(self).get_security_bars(a.category, a.market, a.code, a.start, a.count, a.fq));
    return finish(bars, convert);
}

template <class F>
PyObject* index_bars(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, F&& convert) {
    Borrow borrow;
    BarArgs a;
    if (!bar_args(fname, self, args, nargs, kwnames, borrow, a)) return nullptr;
    auto bars = run_on(self, async_core(self).get_index_bars(a.category, a.market, a.code, a.start, a.count, a.fq));
    return finish(bars, convert);
}

template <class F>
PyObject* quotes(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 F&& convert) {
    Borrow borrow;
    Pairs pairs;
    if (!pairs_arg(fname, "all_stock", self, args, nargs, kwnames, borrow, pairs)) return nullptr;
    auto records = run_on(self, async_core(self).get_security_quotes(std::move(pairs)));
    return finish(records, convert);
}

}  // namespace

PyObject* async_get_security_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return security_bars("get_security_bars", self, args, nargs, kwnames, bar_dicts);
}

PyObject* async_get_security_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Borrow borrow;
    BarArgs a;
    if (!bar_all_args("get_security_bars_all", self, args, nargs, kwnames, borrow, a)) return nullptr;
    auto bars = run_on(self, net::get_security_bars_all(async_core(self), a.category, a.market, a.code, a.count, a.fq));
    return finish(bars, bar_dicts);
}

PyObject* async_get_index_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return index_bars("get_index_bars", self, args, nargs, kwnames, index_bar_dicts);
}

PyObject* async_get_index_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Borrow borrow;
    BarArgs a;
    // fq is taken and range-checked like everywhere else; index bars are never adjusted.
    if (!bar_all_args("get_index_bars_all", self, args, nargs, kwnames, borrow, a)) return nullptr;
    auto bars = run_on(self, net::get_index_bars_all(async_core(self), a.category, a.market, a.code, a.count));
    return finish(bars, index_bar_dicts);
}

PyObject* async_get_security_bars_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return security_bars("get_security_bars_tuples", self, args, nargs, kwnames, bar_tuples);
}

PyObject* async_get_index_bars_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return index_bars("get_index_bars_tuples", self, args, nargs, kwnames, index_bar_tuples);
}

PyObject* async_get_security_bars_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return security_bars("get_security_bars_dataframe", self, args, nargs, kwnames, security_bars_to_df);
}

PyObject* async_get_index_bars_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return index_bars("get_index_bars_dataframe", self, args, nargs, kwnames, index_bars_to_df);
}

// ---- quotes ----------------------------------------------------------------------------------

PyObject* async_get_security_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // This class's quote dict keeps each bid beside its ask and the server time last, as the
    // direct client's does; the main client orders its keys differently.
    return quotes("get_security_quotes", self, args, nargs, kwnames, direct_records::quote_dicts);
}

PyObject* async_get_security_quotes_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return quotes("get_security_quotes_tuples", self, args, nargs, kwnames, quote_tuples);
}

PyObject* async_get_security_quotes_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return quotes("get_security_quotes_dataframe", self, args, nargs, kwnames, quotes_to_df);
}

// ---- security list and count -----------------------------------------------------------------

PyObject* async_get_security_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"get_security_count", {"market"}, 1};
    Bound<1> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    uint8_t market = 0;
    if (!arg(b, 0, market)) return nullptr;
    auto count = run_on(self, async_core(self).get_security_count(market));
    return finish(count, [](uint16_t n) { return to_py(n); });
}

PyObject* async_get_security_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> P{"get_security_list", {"market", "start"}, 1};
    Bound<2> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    uint8_t market = 0;
    uint16_t start = 0;
    if (!arg(b, 0, market) || !arg(b, 1, start)) return nullptr;
    auto list = run_on(self, async_core(self).get_security_list(market, start));
    return finish(list, security_info_dicts);
}

// ---- minute time and transactions ------------------------------------------------------------

PyObject* async_get_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Borrow borrow;
    uint8_t market = 0;
    std::string code;
    if (!market_code_args("get_minute_time_data", self, args, nargs, kwnames, borrow, market, code)) return nullptr;
    auto points = run_on(self, async_core(self).get_minute_time_data(market, code));
    return finish(points, minute_dicts);
}

PyObject* async_get_history_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    static const Params<3> P{"get_history_minute_time_data", {"market", "code", "date"}, 3};
    Bound<3> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    uint8_t market = 0;
    std::string code;
    uint32_t date = 0;
    if (!arg(b, 0, market) || !arg(b, 1, code) || !arg(b, 2, date)) return nullptr;
    auto points = run_on(self, async_core(self).get_history_minute_time_data(market, code, date));
    return finish(points, minute_dicts);
}

PyObject* async_get_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> P{"get_transaction_data", {"market", "code", "start", "count"}, 2};
    Bound<4> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    uint8_t market = 0;
    std::string code;
    uint16_t start = 0, count = 2000;
    if (!arg(b, 0, market) || !arg(b, 1, code) || !arg(b, 2, start) || !arg(b, 3, count)) return nullptr;
    auto ticks = run_on(self, async_core(self).get_transaction_data(market, code, start, count));
    return finish(ticks, tick_dicts);
}

PyObject* async_get_history_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    static const Params<5> P{"get_history_transaction_data", {"market", "code", "start", "count", "date"}, 2};
    Bound<5> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    uint8_t market = 0;
    std::string code;
    uint16_t start = 0, count = 2000;
    uint32_t date = 0;
    if (!arg(b, 0, market) || !arg(b, 1, code) || !arg(b, 2, start) || !arg(b, 3, count) || !arg(b, 4, date))
        return nullptr;
    auto ticks = run_on(self, async_core(self).get_history_transaction_data(market, code, start, count, date));
    return finish(ticks, tick_dicts);
}

// ---- finance and XDXR ------------------------------------------------------------------------

PyObject* async_get_finance_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Borrow borrow;
    uint8_t market = 0;
    std::string code;
    if (!market_code_args("get_finance_info", self, args, nargs, kwnames, borrow, market, code)) return nullptr;
    auto info = run_on(self, async_core(self).get_finance_info(market, code));
    return finish(info, finance_dict);
}

PyObject* async_get_finance_info_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    Borrow borrow;
    Pairs stocks;
    if (!pairs_arg("get_finance_info_dataframe", "stocks", self, args, nargs, kwnames, borrow, stocks))
        return nullptr;
    auto infos = run_on(self, net::get_finance_infos(async_core(self), std::move(stocks)));
    return finish(infos, finance_to_df);
}

PyObject* async_get_xdxr_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Borrow borrow;
    uint8_t market = 0;
    std::string code;
    if (!market_code_args("get_xdxr_info", self, args, nargs, kwnames, borrow, market, code)) return nullptr;
    auto events = run_on(self, async_core(self).get_xdxr_info(market, code));
    return finish(events, xdxr_dicts);
}

}  // namespace quotix::py
