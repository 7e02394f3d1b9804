// The Python class TdxDirectClient: one fresh connection per request to one configured server.
// No pool, retry, server switch or cache: every failure reaches Python at once.

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/constants.hpp"
#include "core/error_codes.hpp"
#include "protocol/coefficient.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "python/py_classes.hpp"
#include "python/py_direct_object.hpp"
#include "python/py_direct_records.hpp"
#include "python/py_query_args.hpp"
#include "python/py_records.hpp"
#include "shared/query_rules.hpp"

namespace quotix::py {
namespace {

using net::TdxDirectClient;

// The Python result of a core call, or the exception of its error (ConnectionError for
// transport failures, ValueError for the rest).
template <class T, class Build>
PyObject* result_or_raise(Result<T>&& r, Build&& build) {
    if (!r) return raise_tdx(r.error());
    return build(*r).release();
}

PyObject* direct_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_direct_object("TdxDirectClient", 1, type, args, kwargs);
}

// ---- bars ------------------------------------------------------------------------------------

PyObject* get_security_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const Params<6> P = bar_params("get_security_bars");
    BarArgs a;
    if (!bind_bar_args(P, args, nargs, kwnames, a)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) -> Result<std::vector<SecurityBar>> {
        QTX_TRY(net::refuse_block_code(a.code));
        return c.get_security_bars(a.category, a.market, a.code, a.start, a.count, a.fq);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), bar_dicts);
}

PyObject* get_index_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<6> P = bar_params("get_index_bars");
    BarArgs a;  // fq is converted like the others, but index bars are never adjusted
    if (!bind_bar_args(P, args, nargs, kwnames, a)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) -> Result<std::vector<IndexBar>> {
        QTX_TRY(net::refuse_block_code(a.code));
        return c.get_index_bars_inner(a.category, a.market, a.code, a.start, a.count);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), index_bar_dicts);
}

// ---- quotes, list, count ---------------------------------------------------------------------

PyObject* get_security_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Params<1> P = all_stock_params("get_security_quotes");
    StockPairs stocks;
    if (!bind_all_stock(P, args, nargs, kwnames, stocks)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) -> Result<std::vector<SecurityQuote>> {
        // Every pair, also past the 60 that are sent: a block code anywhere is the caller's error.
        for (const auto& s : stocks) QTX_TRY(net::refuse_block_code(s.second));
        return c.get_security_quotes_inner(stocks);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), direct_records::quote_dicts);
}

// (market, start=0) of get_security_list; (market) of get_security_count.
PyObject* get_security_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const Params<2> P{"get_security_list", {"market", "start"}, 1};
    Bound<2> b;
    uint8_t market = 0;
    uint16_t start = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market) || !b.get(1, start)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) -> Result<std::vector<SecurityInfo>> {
        auto body = c.send_and_recv(net::build_security_list_packet(market, start));
        if (!body) return std::move(body).error();
        return parse_security_list(*body);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), security_info_dicts);
}

PyObject* get_security_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const Params<1> P{"get_security_count", {"market"}, 1};
    Bound<1> b;
    uint8_t market = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) -> Result<uint16_t> {
        auto body = c.send_and_recv(net::build_security_count_packet(market));
        if (!body) return std::move(body).error();
        return parse_security_count(*body);
    };
    auto r = with_core(self, fetch);
    // Every failure of this one method, transport included, is a ValueError.
    if (!r) return raise_value_error(r.error());
    return to_py(*r).release();
}

// ---- minute time -----------------------------------------------------------------------------

PyObject* minute_time(PyObject* self, uint8_t market, const std::string& code, uint32_t date) {
    auto fetch = [&](TdxDirectClient& c) {
        return c.get_history_minute_time_data(market, code, date);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), minute_dicts);
}

PyObject* get_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!bind_market_code("get_minute_time_data", args, nargs, kwnames, market, code)) return nullptr;
    return minute_time(self, market, code, today_yyyymmdd());
}

PyObject* get_history_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const Params<3> P = market_code_date_params("get_history_minute_time_data");
    uint8_t market = 0;
    std::string code;
    uint32_t date = 0;
    if (!bind_market_code_date(P, args, nargs, kwnames, market, code, date)) return nullptr;
    return minute_time(self, market, code, date);
}

// ---- ticks -----------------------------------------------------------------------------------

PyObject* get_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const Params<4> P = tick_params("get_transaction_data");
    TickArgs a;
    if (!bind_tick_args(P, args, nargs, kwnames, a)) return nullptr;
    const double coefficient = get_security_coefficient(a.market, a.code);
    auto fetch = [&](TdxDirectClient& c) -> Result<std::vector<TickData>> {
        auto body = c.send_and_recv(net::build_transaction_data_packet(a.market, a.code, a.start, a.count));
        if (!body) return std::move(body).error();
        return parse_transaction_data_with_coefficient(*body, coefficient);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), tick_dicts);
}

PyObject* get_history_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const Params<5> P = history_tick_params("get_history_transaction_data");
    TickArgs a;
    if (!bind_history_tick_args(P, args, nargs, kwnames, a)) return nullptr;
    const double coefficient = get_security_coefficient(a.market, a.code);
    auto fetch = [&](TdxDirectClient& c) -> Result<std::vector<TickData>> {
        auto body = c.send_and_recv(
            net::build_history_transaction_data_packet(a.market, a.code, a.start, a.count, a.date));
        if (!body) return std::move(body).error();
        return parse_history_transaction_data_with_coefficient(*body, coefficient);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), tick_dicts);
}

// ---- finance, events, block files ------------------------------------------------------------

PyObject* get_finance_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!bind_market_code("get_finance_info", args, nargs, kwnames, market, code)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) -> Result<FinanceInfo> {
        auto body = c.send_and_recv(net::build_finance_info_packet(market, code));
        if (!body) return std::move(body).error();
        return parse_finance_info(*body, market, code);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), finance_dict);
}

PyObject* get_xdxr_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!bind_market_code("get_xdxr_info", args, nargs, kwnames, market, code)) return nullptr;
    auto r = with_core(self, [&](TdxDirectClient& c) { return c.get_xdxr_info(market, code); });
    return result_or_raise(std::move(r), xdxr_dicts);
}

PyObject* get_and_parse_block_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static const Params<1> P{"get_and_parse_block_info", {"block_file"}, 1};
    Bound<1> b;
    std::string block_file;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, block_file)) return nullptr;
    auto fetch = [&](TdxDirectClient& c) {
        return c.get_and_parse_block_info(block_file);
    };
    auto r = with_core(self, fetch);
    return result_or_raise(std::move(r), block_record_dicts);
}

// ---- the class -------------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"set_server", method<direct_set_server>(), kFast,
     "set_server($self, ip, port)\n--\n\n更新服务器地址"},
    {"set_timeout", method<direct_set_timeout>(), kFast,
     "set_timeout($self, timeout)\n--\n\n更新超时"},
    {"get_security_bars", method<get_security_bars>(), kFast,
     "get_security_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"},
    {"get_index_bars", method<get_index_bars>(), kFast,
     "get_index_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"},
    {"get_security_quotes", method<get_security_quotes>(), kFast,
     "get_security_quotes($self, all_stock)\n--\n\n"},
    {"get_security_list", method<get_security_list>(), kFast,
     "get_security_list($self, market, start=0)\n--\n\n"},
    {"get_security_count", method<get_security_count>(), kFast,
     "get_security_count($self, market)\n--\n\n"},
    {"get_minute_time_data", method<get_minute_time_data>(), kFast,
     "get_minute_time_data($self, market, code)\n--\n\n"},
    {"get_history_minute_time_data", method<get_history_minute_time_data>(), kFast,
     "get_history_minute_time_data($self, market, code, date)\n--\n\n"},
    {"get_transaction_data", method<get_transaction_data>(), kFast,
     "get_transaction_data($self, market, code, start=0, count=2000)\n--\n\n"},
    {"get_history_transaction_data", method<get_history_transaction_data>(), kFast,
     "get_history_transaction_data($self, market, code, start=0, count=2000, date=0)\n--\n\n"},
    {"get_finance_info", method<get_finance_info>(), kFast,
     "get_finance_info($self, market, code)\n--\n\n"},
    {"get_xdxr_info", method<get_xdxr_info>(), kFast,
     "get_xdxr_info($self, market, code)\n--\n\n"},
    {"get_and_parse_block_info", method<get_and_parse_block_info>(), kFast,
     "get_and_parse_block_info($self, block_file)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TdxDirectClient(ip, port=..., timeout=5.0)\n--\n\nTDX 裸连接客户端 — Python 绑定")},
    {Py_tp_new, new_slot<direct_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(direct_object_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quotix._internal.TdxDirectClient", sizeof(PyDirectObject), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyObject* direct_client_class(PyObject* module) { return cached_type(g_type, module, &kSpec); }

}  // namespace quotix::py
