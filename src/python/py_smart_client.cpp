// The Python class TdxSmartClient: one core net::TdxSmartClient per object, held by value. It
// connects fast, remembers good and bad servers in its cache file, and retries its two queries
// across servers; only connect_to_any raises ConnectionError, and the queries raise RuntimeError
// once their attempts are spent.

#include <utility>

#include "net/smart_client.hpp"
#include "python/py_classes.hpp"
#include "python/py_core_object.hpp"
#include "python/py_query_args.hpp"

namespace quotix::py {
namespace {

struct PyTdxSmartClient {
    PyObject_HEAD
    net::TdxSmartClient core;
};

net::TdxSmartClient& smart_core(PyObject* self) { return reinterpret_cast<PyTdxSmartClient*>(self)->core; }

// ---- construction ----------------------------------------------------------------------------

// Building the core loads the cache file; it writes nothing and opens no connection. Tearing it
// down leaves the cache file as the last recording operation wrote it.
PyObject* smart_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return new_core_object<PyTdxSmartClient>(type, args, kwds, "TdxSmartClient() takes no arguments");
}

// ---- connecting, probing, the cache ----------------------------------------------------------

PyObject* smart_connect_to_any(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<double> timeout;
    if (!bind_connect_to_any(args, nargs, kwnames, timeout)) return nullptr;
    Status st = smart_core(self).connect_to_any(timeout);
    if (!st) return raise(PyExc_ConnectionError, st.error().display());
    Py_RETURN_TRUE;
}

PyObject* smart_probe_and_cache(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"probe_and_cache", {"timeout_secs"}, 1};
    Bound<1> b;
    double timeout = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, timeout)) return nullptr;
    if (!check_timeout("probe_and_cache", "timeout_secs", timeout)) return nullptr;
    std::vector<net::SmartProbeResult> found = smart_core(self).probe_and_cache(timeout);
    return list_of(found, [](const net::SmartProbeResult& r) {
               return TupleBuilder(4).add(r.ip).add(r.port).add(r.name).add(r.ms).finish();
           })
        .release();
}

PyObject* smart_cache_stats(PyObject* self) { return to_py(smart_core(self).cache_stats()).release(); }

PyObject* smart_clear_cache(PyObject* self) {
    smart_core(self).clear_cache();
    Py_RETURN_NONE;
}

PyObject* smart_disconnect(PyObject* self) {
    smart_core(self).client.disconnect();
    Py_RETURN_NONE;
}

PyObject* smart_is_connected(PyObject* self) { return to_py(smart_core(self).client.is_connected()).release(); }

// ---- retrying queries ------------------------------------------------------------------------

// Whatever survives the attempts, connection failures included.
PyObject* raise_exhausted(const TdxError& error) { return raise(PyExc_RuntimeError, error.display()); }

Ref bar_dict(const SecurityBar& bar) {
    static KeySet keys{"open", "high", "low", "close", "vol", "amount",
                       "year", "month", "day", "hour", "minute", "datetime"};
    return DictBuilder(keys)
        .add(bar.open)
        .add(bar.high)
        .add(bar.low)
        .add(bar.close)
        .add(bar.vol)
        .add(bar.amount)
        .add(bar.year)
        .add(bar.month)
        .add(bar.day)
        .add(bar.hour)
        .add(bar.minute)
        .add(bar.datetime)
        .finish();
}

// The quote without its server time and the reserved fields past reversed_bytes2.
Ref quote_dict(const SecurityQuote& q) {
    static KeySet keys{
        "market",   "code",     "active1",  "price",    "last_close", "open",     "high",
        "low",      "vol",      "cur_vol",  "amount",   "s_vol",      "b_vol",    "bid1",
        "ask1",     "bid_vol1", "ask_vol1", "bid2",     "ask2",       "bid_vol2", "ask_vol2",
        "bid3",     "ask3",     "bid_vol3", "ask_vol3", "bid4",       "ask4",     "bid_vol4",
        "ask_vol4", "bid5",     "ask5",     "bid_vol5", "ask_vol5",   "reversed_bytes0",
        "reversed_bytes1", "reversed_bytes2", "active2"};
    return DictBuilder(keys)
        .add(q.market)
        .add(q.code)
        .add(q.active1)
        .add(q.price)
        .add(q.last_close)
        .add(q.open)
        .add(q.high)
        .add(q.low)
        .add(q.vol)
        .add(q.cur_vol)
        .add(q.amount)
        .add(q.s_vol)
        .add(q.b_vol)
        .add(q.bid1).add(q.ask1).add(q.bid_vol1).add(q.ask_vol1)
        .add(q.bid2).add(q.ask2).add(q.bid_vol2).add(q.ask_vol2)
        .add(q.bid3).add(q.ask3).add(q.bid_vol3).add(q.ask_vol3)
        .add(q.bid4).add(q.ask4).add(q.bid_vol4).add(q.ask_vol4)
        .add(q.bid5).add(q.ask5).add(q.bid_vol5).add(q.ask_vol5)
        .add(q.reversed_bytes0)
        .add(q.reversed_bytes1)
        .add(q.reversed_bytes2)
        .add(q.active2)
        .finish();
}

PyObject* smart_get_security_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<6> P = bar_params("get_security_bars");
    BarArgs a;
    if (!bind_bar_args(P, args, nargs, kwnames, a)) return nullptr;
    Result<std::vector<SecurityBar>> r =
        smart_core(self).get_security_bars(a.category, a.market, a.code, a.start, a.count, a.fq);
    if (!r) return raise_exhausted(r.error());
    return list_of(*r, bar_dict).release();
}

PyObject* smart_get_security_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P = all_stock_params("get_security_quotes");
    // Converted once: every attempt asks for the same pairs.
    StockPairs stocks;
    if (!bind_all_stock(P, args, nargs, kwnames, stocks)) return nullptr;
    Result<std::vector<SecurityQuote>> r = smart_core(self).get_security_quotes(stocks);
    if (!r) return raise_exhausted(r.error());
    return list_of(*r, quote_dict).release();
}

// ---- the class -------------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"connect_to_any", method<smart_connect_to_any>(), kFast,
     "connect_to_any($self, timeout=None)\n--\n\n连接到任意可用服务器 (快速模式)\n"
     "仅验证 TCP + 握手，不做 K 线健康检查。\n优先使用缓存的成功服务器。"},
    {"get_security_bars", method<smart_get_security_bars>(), kFast,
     "get_security_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取 K 线数据 (带自动重试)\n如果返回空数据，自动触发健康检查并尝试切换服务器。"},
    {"get_security_quotes", method<smart_get_security_quotes>(), kFast,
     "get_security_quotes($self, all_stock)\n--\n\n获取实时行情 (带自动重试)"},
    {"cache_stats", method<smart_cache_stats>(), METH_NOARGS, "cache_stats($self)\n--\n\n获取缓存统计信息"},
    {"clear_cache", method<smart_clear_cache>(), METH_NOARGS, "clear_cache($self)\n--\n\n清除缓存"},
    {"probe_and_cache", method<smart_probe_and_cache>(), kFast,
     "probe_and_cache($self, timeout_secs)\n--\n\n探测所有服务器并更新缓存"},
    {"disconnect", method<smart_disconnect>(), METH_NOARGS, "disconnect($self)\n--\n\n断开连接"},
    {"is_connected", method<smart_is_connected>(), METH_NOARGS, "is_connected($self)\n--\n\n是否已连接"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxSmartClient()\n--\n\n"
                                  "智能连接客户端\n\n"
                                  "与 TdxHqClient 相同的 API，但采用不同的连接策略:\n"
                                  "- 快速初始连接: 仅验证 TCP + 握手，不做 K 线健康检查\n"
                                  "- 惰性健康检查: 首次 K 线请求返回空时触发，自动切换服务器\n"
                                  "- 本地缓存: 记录成功/失败服务器，下次连接优先使用缓存\n"
                                  "- 黑名单机制: 连续失败的服务器自动加入黑名单 (24h 过期)")},
    {Py_tp_new, new_slot<smart_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core_object<PyTdxSmartClient>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quotix._internal.TdxSmartClient", sizeof(PyTdxSmartClient), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyObject* g_TdxSmartClient = nullptr;

}  // namespace

PyObject* smart_client_class(PyObject* module) { return cached_type(g_TdxSmartClient, module, &kSpec); }

}  // namespace quotix::py
