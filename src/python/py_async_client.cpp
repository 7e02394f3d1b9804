// The Python class AsyncTdxHqClient: construction and tear-down, the connection methods, request
// rate control and the method table of the whole class.

#include "python/py_async_client.hpp"

#include <new>

#include "async/compound.hpp"
#include "async/trading_phase.hpp"
#include "python/py_async_frame.hpp"
#include "python/py_classes.hpp"
#include "shared/servers.hpp"

namespace quotix::py {
namespace {

using async_frame::arg;
using async_frame::Borrow;

PyObject* g_AsyncTdxHqClient = nullptr;

// ---- construction ----------------------------------------------------------------------------

constexpr uint64_t DEFAULT_POOL_SIZE = 4;

// A failure to build the runtime is no ordinary error of a call: like the interpreter's own
// internal failures it derives from BaseException, so `except Exception` does not swallow it.
PyObject* internal_error_type() {
    static PyObject* type = nullptr;
    // Made on first use; a failure (its MemoryError set) is tried again on the next one.
    if (!type) type = PyErr_NewException("quotix._internal.InternalError", PyExc_BaseException, nullptr);
    return type;
}

PyObject* make_client(PyTypeObject* type, uint64_t pool_size) {
    // The runtime's threads start here and live as long as the object.
    auto runtime = net::AsyncRuntime::create(0);
    if (!runtime) {
        PyObject* exc = internal_error_type();
        if (!exc) return nullptr;
        return raise(exc, "could not create the async runtime: " + runtime.error().display());
    }
    auto core = net::AsyncTdxHqClient::with_pool_size(**runtime, pool_size);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;  // the runtime is shut down on the way out
    AsyncState* state = new (&reinterpret_cast<PyAsyncTdxHqClient*>(self)->state) AsyncState();
    state->runtime = std::move(*runtime);
    state->core = std::move(core);
    return self;
}

PyObject* async_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if ((args && PyTuple_GET_SIZE(args) != 0) || (kwds && PyDict_GET_SIZE(kwds) != 0))
        return raise(PyExc_TypeError, "AsyncTdxHqClient() takes no arguments");
    return make_client(type, DEFAULT_POOL_SIZE);
}

void async_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    AsyncState& s = async_state(self);
    // The runtime first: its workers stop and every task it still holds (connection tasks, the
    // heartbeat) is destroyed with its socket; then the client those tasks worked for.
    s.runtime->shutdown();
    s.core.reset();
    s.runtime.reset();
    s.~AsyncState();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // never the last reference: the class object stays cached
}

PyObject* async_with_pool_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"with_pool_size", {"pool_size"}, 0};
    Bound<1> b;
    uint64_t pool_size = DEFAULT_POOL_SIZE;
    if (!P.bind(args, nargs, kwnames, b) || !arg(b, 0, pool_size)) return nullptr;
    return make_client(reinterpret_cast<PyTypeObject*>(g_AsyncTdxHqClient), pool_size);
}

// ---- connections -----------------------------------------------------------------------------

PyObject* async_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> P{"connect", {"ip", "port", "timeout"}, 2};
    Bound<3> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    std::string ip;
    uint16_t port = 0;
    std::optional<double> timeout;
    if (!arg(b, 0, ip) || !arg(b, 1, port) || !arg(b, 2, timeout)) return nullptr;
    // Refused before the old pool is dropped: a bad value costs no connection.
    if (timeout && !check_timeout("connect", "timeout", *timeout)) return nullptr;
    Status st = run_on(self, async_core(self).connect(ip, port, timeout));
    if (!st) return raise_tdx(st.error());
    Py_RETURN_TRUE;
}

PyObject* async_connect_to_any(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"connect_to_any", {"timeout"}, 0};
    Bound<1> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    std::optional<double> timeout;
    if (!arg(b, 0, timeout)) return nullptr;
    if (timeout && !check_timeout("connect_to_any", "timeout", *timeout)) return nullptr;
    Status st = run_on(self, net::connect_to_first(async_core(self), net::to_entries(net::PRIMARY_SERVERS), timeout));
    if (!st) return raise_tdx(st.error());
    Py_RETURN_TRUE;
}

PyObject* async_disconnect(PyObject* self) {
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    (void)run_on(self, async_core(self).disconnect());
    Py_RETURN_NONE;
}

PyObject* async_connection_count(PyObject* self) {
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    auto n = run_on(self, async_core(self).connection_count());
    if (!n) return raise_tdx(n.error());
    return to_py(*n).release();
}

PyObject* async_is_connected(PyObject* self) {
    Borrow borrow = Borrow::shared(self);
    if (!borrow) return nullptr;
    return to_py(async_core(self).is_alive()).release();
}

// ---- request rate ----------------------------------------------------------------------------

void set_rate(PyObject* self, uint32_t rps) { async_core(self).rate_limiter().set_interval(net::interval_for_rps(rps)); }

PyObject* async_set_rate_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"set_rate_limit", {"rps"}, 1};
    Bound<1> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::exclusive(self);
    if (!borrow) return nullptr;
    uint32_t rps = 0;
    if (!arg(b, 0, rps)) return nullptr;
    set_rate(self, rps);
    Py_RETURN_NONE;
}

PyObject* async_set_phase(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"set_phase", {"phase"}, 1};
    Bound<1> b;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    Borrow borrow = Borrow::exclusive(self);
    if (!borrow) return nullptr;
    std::string phase;
    if (!arg(b, 0, phase)) return nullptr;
    // An unknown name leaves the rate as it was.
    if (auto rps = net::phase_rps(phase)) set_rate(self, *rps);
    Py_RETURN_NONE;
}

PyObject* async_auto_detect_phase(PyObject* self) {
    Borrow borrow = Borrow::exclusive(self);
    if (!borrow) return nullptr;
    std::string_view phase = net::detect_trading_phase(net::wall_clock_seconds());
    set_rate(self, *net::phase_rps(phase));
    return to_py(phase).release();
}

// ---- the class -------------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;


PyMethodDef kMethods[] = {
    {"with_pool_size", method<async_with_pool_size>(), kFast | METH_STATIC,
     "with_pool_size(pool_size=4)\n--\n\n指定连接池大小创建"},
    {"connect", method<async_connect>(), kFast,
     "connect($self, ip, port, timeout=None)\n--\n\n连接到 TDX 服务器 (建立连接池)"},
    {"connect_to_any", method<async_connect_to_any>(), kFast,
     "connect_to_any($self, timeout=None)\n--\n\n连接到任意可用服务器"},
    {"disconnect", method<async_disconnect>(), METH_NOARGS, "disconnect($self)\n--\n\n断开所有连接"},
    {"connection_count", method<async_connection_count>(), METH_NOARGS,
     "connection_count($self)\n--\n\n当前连接数"},
    {"is_connected", method<async_is_connected>(), METH_NOARGS, "is_connected($self)\n--\n\n连接是否存活"},
    {"set_rate_limit", method<async_set_rate_limit>(), kFast,
     "set_rate_limit($self, rps)\n--\n\n设置限流 RPS (每秒请求数, 0=禁用, 上限 200)"},
    {"set_phase", method<async_set_phase>(), kFast,
     "set_phase($self, phase)\n--\n\n按交易阶段设置限流 (trading / prepost / closed)"},
    {"auto_detect_phase", method<async_auto_detect_phase>(), METH_NOARGS,
     "auto_detect_phase($self)\n--\n\n自动检测交易阶段并设置限流，返回阶段名称"},
    {"get_security_bars", method<async_get_security_bars>(), kFast,
     "get_security_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n获取K线数据\n\n"
     "fq: 复权类型, 0=未复权 1=前复权(默认) 2=后复权"},
    {"get_security_bars_all", method<async_get_security_bars_all>(), kFast,
     "get_security_bars_all($self, category, market, code, count=800, fq=1)\n--\n\n获取K线数据 (自动分页)"},
    {"get_index_bars", method<async_get_index_bars>(), kFast,
     "get_index_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n获取指数K线"},
    {"get_index_bars_all", method<async_get_index_bars_all>(), kFast,
     "get_index_bars_all($self, category, market, code, count=800, fq=1)\n--\n\n获取指数K线 (自动分页)"},
    {"get_security_quotes", method<async_get_security_quotes>(), kFast,
     "get_security_quotes($self, all_stock)\n--\n\n获取实时行情 (批量)"},
    {"get_security_count", method<async_get_security_count>(), kFast,
     "get_security_count($self, market)\n--\n\n获取证券数量"},
    {"get_security_list", method<async_get_security_list>(), kFast,
     "get_security_list($self, market, start=0)\n--\n\n获取证券列表"},
    {"get_minute_time_data", method<async_get_minute_time_data>(), kFast,
     "get_minute_time_data($self, market, code)\n--\n\n获取分时数据"},
    {"get_history_minute_time_data", method<async_get_history_minute_time_data>(), kFast,
     "get_history_minute_time_data($self, market, code, date)\n--\n\n获取历史分时数据"},
    {"get_transaction_data", method<async_get_transaction_data>(), kFast,
     "get_transaction_data($self, market, code, start=0, count=2000)\n--\n\n获取逐笔成交"},
    {"get_history_transaction_data", method<async_get_history_transaction_data>(), kFast,
     "get_history_transaction_data($self, market, code, start=0, count=2000, date=0)\n--\n\n获取历史逐笔成交"},
    {"get_finance_info", method<async_get_finance_info>(), kFast,
     "get_finance_info($self, market, code)\n--\n\n获取财务信息"},
    {"get_xdxr_info", method<async_get_xdxr_info>(), kFast,
     "get_xdxr_info($self, market, code)\n--\n\n获取除权除息"},
    {"get_security_bars_tuples", method<async_get_security_bars_tuples>(), kFast,
     "get_security_bars_tuples($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取K线数据, 返回 list of tuple (高性能模式)\n"
     "tuple: (open, close, high, low, vol, amount, year, month, day, hour, minute, datetime)"},
    {"get_index_bars_tuples", method<async_get_index_bars_tuples>(), kFast,
     "get_index_bars_tuples($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取指数K线, 返回 list of tuple (高性能模式)"},
    {"get_security_quotes_tuples", method<async_get_security_quotes_tuples>(), kFast,
     "get_security_quotes_tuples($self, all_stock)\n--\n\n获取实时行情, 返回 list of tuple (高性能模式)"},
    {"get_security_bars_dataframe", method<async_get_security_bars_dataframe>(), kFast,
     "get_security_bars_dataframe($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取K线数据, 返回 pandas DataFrame"},
    {"get_index_bars_dataframe", method<async_get_index_bars_dataframe>(), kFast,
     "get_index_bars_dataframe($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取指数K线, 返回 pandas DataFrame"},
    {"get_security_quotes_dataframe", method<async_get_security_quotes_dataframe>(), kFast,
     "get_security_quotes_dataframe($self, all_stock)\n--\n\n获取实时行情, 返回 pandas DataFrame"},
    {"get_finance_info_dataframe", method<async_get_finance_info_dataframe>(), kFast,
     "get_finance_info_dataframe($self, stocks)\n--\n\n获取多只股票的财务信息, 返回 pandas DataFrame"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("AsyncTdxHqClient()\n--\n\n"
                                  "异步 TDX 行情客户端: 自带异步运行时, 通过通道连接池并发处理请求")},
    {Py_tp_new, new_slot<async_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(async_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quotix._internal.AsyncTdxHqClient", sizeof(PyAsyncTdxHqClient), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

PyObject* async_client_class(PyObject* module) { return cached_type(g_AsyncTdxHqClient, module, &kSpec); }

}  // namespace quotix::py
