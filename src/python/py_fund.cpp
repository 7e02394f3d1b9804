// The Python class TdxHqFundClient: construction, connecting, the static fund-code methods and
// the method table of the whole class.

#include "python/py_fund.hpp"

#include "fund/utils.hpp"
#include "python/py_classes.hpp"
#include "python/py_core_object.hpp"
#include "python/py_query_args.hpp"

namespace quotix::py {
namespace {

// ---- construction ----------------------------------------------------------------------------

PyObject* fund_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return new_core_object<PyTdxHqFundClient>(type, args, kwds, "TdxHqFundClient() takes no arguments");
}

// ---- connecting ------------------------------------------------------------------------------
// Every connection failure is a ConnectionError here, coded errors included.

PyObject* raise_connection_error(const TdxError& e) { return raise(PyExc_ConnectionError, e.display()); }

PyObject* fund_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string ip;
    uint16_t port = 0;
    std::optional<double> timeout;
    if (!bind_connect(args, nargs, kwnames, ip, port, timeout)) return nullptr;
    Status st = fund_core(self).client.connect_internal(ip, port, timeout, true);
    if (!st) return raise_connection_error(st.error());
    Py_RETURN_TRUE;
}

PyObject* fund_connect_to_any(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<double> timeout;
    if (!bind_connect_to_any(args, nargs, kwnames, timeout)) return nullptr;
    Status st = fund_core(self).client.connect_to_any(timeout);
    if (!st) return raise_connection_error(st.error());
    Py_RETURN_TRUE;
}

PyObject* fund_disconnect(PyObject* self) {
    fund_core(self).client.disconnect();
    Py_RETURN_NONE;
}

PyObject* fund_is_connected(PyObject* self) { return to_py(fund_core(self).client.is_connected()).release(); }

// ---- static methods: no object, no network ---------------------------------------------------

bool market_and_code(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     uint8_t& market, std::string& code) {
    const Params<2> P{fname, {"market", "code"}, 2};
    Bound<2> b;
    return P.bind(args, nargs, kwnames, b) && b.get(0, market) && b.get(1, code);
}

PyObject* fund_is_fund(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!market_and_code("is_fund", args, nargs, kwnames, market, code)) return nullptr;
    return to_py(fund::is_fund_code(market, code)).release();
}

PyObject* fund_classify_fund(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint8_t market = 0;
    std::string code;
    if (!market_and_code("classify_fund", args, nargs, kwnames, market, code)) return nullptr;
    return to_py(fund::fund_type_name(fund::classify_fund(market, code))).release();
}

PyObject* fund_auto_market_code(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"auto_market_code", {"code"}, 1};
    Bound<1> b;
    std::string code;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, code)) return nullptr;
    // In UTF-8 an ASCII byte only ever stands for itself, so the first byte is the first
    // character whenever it is one of the digits asked about.
    const char first = code.empty() ? '\0' : code.front();
    const long market = (first == '5' || first == '6' || first == '9') ? 1 : 0;
    return PyLong_FromLong(market);
}

// ---- the class -------------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"connect", method<fund_connect>(), kFast,
     "connect($self, ip, port, timeout=None)\n--\n\n连接到 TDX 服务器"},
    {"connect_to_any", method<fund_connect_to_any>(), kFast,
     "connect_to_any($self, timeout=None)\n--\n\n连接到任意可用服务器"},
    {"disconnect", method<fund_disconnect>(), METH_NOARGS, "disconnect($self)\n--\n\n断开连接"},
    {"is_connected", method<fund_is_connected>(), METH_NOARGS, "is_connected($self)\n--\n\n是否已连接"},
    {"get_fund_list", method<fund_get_fund_list>(), kFast,
     "get_fund_list($self, market)\n--\n\n获取基金列表\n\n"
     "Args:\n    market: 市场代码 (0=深圳, 1=上海)\n\n"
     "Returns:\n    list[dict]: 基金信息列表"},
    {"get_fund_bars", method<fund_get_fund_bars>(), kFast,
     "get_fund_bars($self, category, market, code, start=0, count=800)\n--\n\n获取基金 K线数据"},
    {"get_fund_bars_all", method<fund_get_fund_bars_all>(), kFast,
     "get_fund_bars_all($self, category, market, code, count=800)\n--\n\n获取基金 K线数据 (自动分页)"},
    {"get_fund_quotes", method<fund_get_fund_quotes>(), kFast,
     "get_fund_quotes($self, stocks)\n--\n\n获取基金实时行情"},
    {"get_fund_minute_time_data", method<fund_get_fund_minute_time_data>(), kFast,
     "get_fund_minute_time_data($self, market, code)\n--\n\n获取基金分时数据"},
    {"get_fund_history_minute_time_data", method<fund_get_fund_history_minute_time_data>(), kFast,
     "get_fund_history_minute_time_data($self, market, code, date)\n--\n\n获取基金历史分时数据"},
    {"get_fund_transaction_data", method<fund_get_fund_transaction_data>(), kFast,
     "get_fund_transaction_data($self, market, code, start=0, count=2000)\n--\n\n获取基金逐笔成交"},
    {"get_fund_history_transaction_data", method<fund_get_fund_history_transaction_data>(), kFast,
     "get_fund_history_transaction_data($self, market, code, start, count, date)\n--\n\n"
     "获取基金历史逐笔成交"},
    {"get_fund_xdxr_info", method<fund_get_fund_xdxr_info>(), kFast,
     "get_fund_xdxr_info($self, market, code)\n--\n\n获取基金除权除息信息"},
    {"get_fund_finance_info", method<fund_get_fund_finance_info>(), kFast,
     "get_fund_finance_info($self, market, code)\n--\n\n获取基金财务信息"},
    {"is_fund", method<fund_is_fund>(), kFast | METH_STATIC,
     "is_fund(market, code)\n--\n\n判断是否为基金代码"},
    {"classify_fund", method<fund_classify_fund>(), kFast | METH_STATIC,
     "classify_fund(market, code)\n--\n\n分类基金类型\n\n"
     "Returns:\n    str: 基金类型名称 (ETF/LOF/REITs/Structured/OpenEnd/Bond/Money/Other)"},
    {"auto_market_code", method<fund_auto_market_code>(), kFast | METH_STATIC,
     "auto_market_code(code)\n--\n\n自动判断市场代码"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "TdxHqFundClient()\n--\n\n"
    "基金行情客户端 - Python 绑定\n\n"
    "封装 TdxHqClient，提供基金专用的 API。\n"
    "自动处理基金代码验证和系数转换。\n\n"
    "```python\n"
    "from quotix._internal import TdxHqFundClient, MARKET_SH, KLINE_DAILY\n\n"
    "client = TdxHqFundClient()\n"
    "client.connect_to_any()\n\n"
    "funds = client.get_fund_list(MARKET_SH)\n"
    "print(f\"找到 {len(funds)} 只基金\")\n\n"
    "bars = client.get_fund_bars(KLINE_DAILY, MARKET_SH, \"510300\", 0, 100)\n"
    "for bar in bars:\n"
    "    print(f\"{bar['datetime']}: {bar['open']:.3f}\")\n"
    "```";

PyType_Slot kTdxHqFundClientSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, new_slot<fund_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core_object<PyTdxHqFundClient>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};
PyType_Spec kTdxHqFundClientSpec = {
    "quotix._internal.TdxHqFundClient", sizeof(PyTdxHqFundClient), 0, Py_TPFLAGS_DEFAULT,
    kTdxHqFundClientSlots,
};
PyObject* g_TdxHqFundClient = nullptr;

}  // namespace

PyObject* fund_client_class(PyObject* module) {
    return cached_type(g_TdxHqFundClient, module, &kTdxHqFundClientSpec);
}

}  // namespace quotix::py
