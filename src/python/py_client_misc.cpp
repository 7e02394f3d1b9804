// The other data methods of the Python TdxHqClient: security list and count, minute-time data,
// transactions, finance summaries, XDXR events and block files.

#include <string>
#include <tuple>
#include <vector>

#include "core/constants.hpp"
#include "python/py_client.hpp"
#include "python/py_dataframe.hpp"
#include "python/py_query_args.hpp"
#include "python/py_records.hpp"

namespace quotix::py {

PyObject* hq_get_security_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> P{"get_security_list", {"market", "start"}, 1};
    Bound<2> b;
    uint8_t market = 0;
    uint16_t start = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market) || !b.get(1, start)) return nullptr;
    auto list = hq_core(self).get_security_list(market, start);
    if (!list) return raise_tdx(list.error());
    return security_info_dicts(*list).release();
}

PyObject* hq_get_security_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"get_security_count", {"market"}, 1};
    Bound<1> b;
    uint8_t market = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market)) return nullptr;
    auto count = hq_core(self).get_security_count(market);
    // This method reports every failure, connection failures included, as ValueError.
    if (!count) return raise_value_error(count.error());
    return PyLong_FromUnsignedLong(*count);
}

PyObject* hq_get_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!bind_market_code("get_minute_time_data", args, nargs, kwnames, market, code)) return nullptr;
    // There is no request for today as such: today's history, the date taken anew at each call.
    auto points = hq_core(self).get_history_minute_time_data(market, code, today_yyyymmdd());
    if (!points) return raise_tdx(points.error());
    return minute_dicts(*points).release();
}

PyObject* hq_get_history_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static const Params<3> P = market_code_date_params("get_history_minute_time_data");
    uint8_t market = 0;
    std::string code;
    uint32_t date = 0;
    if (!bind_market_code_date(P, args, nargs, kwnames, market, code, date)) return nullptr;
    auto points = hq_core(self).get_history_minute_time_data(market, code, date);
    if (!points) return raise_tdx(points.error());
    return minute_dicts(*points).release();
}

PyObject* hq_get_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> P = tick_params("get_transaction_data");
    TickArgs a;
    if (!bind_tick_args(P, args, nargs, kwnames, a)) return nullptr;
    auto ticks = hq_core(self).get_transaction_data(a.market, a.code, a.start, a.count);
    if (!ticks) return raise_tdx(ticks.error());
    return tick_dicts(*ticks).release();
}

PyObject* hq_get_history_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static const Params<5> P = history_tick_params("get_history_transaction_data");
    TickArgs a;
    if (!bind_history_tick_args(P, args, nargs, kwnames, a)) return nullptr;
    auto ticks = hq_core(self).get_history_transaction_data(a.market, a.code, a.start, a.count, a.date);
    if (!ticks) return raise_tdx(ticks.error());
    return tick_dicts(*ticks).release();
}

PyObject* hq_get_finance_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!bind_market_code("get_finance_info", args, nargs, kwnames, market, code)) return nullptr;
    auto info = hq_core(self).get_finance_info(market, code);
    if (!info) return raise_tdx(info.error());
    return finance_dict(*info).release();
}

PyObject* hq_get_finance_info_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    static const Params<1> P{"get_finance_info_dataframe", {"stocks"}, 1};
    Bound<1> b;
    std::vector<std::tuple<uint8_t, std::string>> stocks;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, stocks)) return nullptr;
    std::vector<FinanceInfo> infos;
    infos.reserve(stocks.size());
    // One request per pair, in order; the first failure ends the call and drops the rest.
    for (const auto& [market, code] : stocks) {
        auto info = hq_core(self).get_finance_info(market, code);
        if (!info) return raise_tdx(info.error());
        infos.push_back(std::move(*info));
    }
    return finance_to_df(infos).release();
}

PyObject* hq_get_xdxr_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!bind_market_code("get_xdxr_info", args, nargs, kwnames, market, code)) return nullptr;
    auto events = hq_core(self).get_xdxr_info(market, code);
    if (!events) return raise_tdx(events.error());
    return xdxr_dicts(*events).release();
}

PyObject* hq_get_and_parse_block_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const Params<1> P{"get_and_parse_block_info", {"block_file"}, 1};
    Bound<1> b;
    std::string file;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, file)) return nullptr;
    auto records = hq_core(self).get_and_parse_block_info(file);
    if (!records) return raise_tdx(records.error());
    return block_record_dicts(*records).release();
}

}  // namespace quotix::py
