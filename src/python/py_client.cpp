// The Python class TdxHqClient: construction, connecting, settings, server lists, probing and
// the method table of the whole class.

#include "python/py_client.hpp"

#include "net/probe.hpp"
#include "python/py_classes.hpp"
#include "python/py_core_object.hpp"
#include "python/py_query_args.hpp"

namespace quotix::py {
namespace {

using ServerTuple = std::tuple<std::string, std::string, uint16_t>;

// ---- construction ----------------------------------------------------------------------------

PyObject* hq_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return new_core_object<PyTdxHqClient>(type, args, kwds, "TdxHqClient() takes no arguments");
}

// ---- connecting ------------------------------------------------------------------------------

PyObject* hq_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string ip;
    uint16_t port = 0;
    std::optional<double> timeout;
    if (!bind_connect(args, nargs, kwnames, ip, port, timeout)) return nullptr;
    Status st = hq_core(self).connect_internal(ip, port, timeout, true);
    if (!st) return raise_tdx(st.error());
    Py_RETURN_TRUE;
}

PyObject* hq_disconnect(PyObject* self) {
    hq_core(self).disconnect();
    Py_RETURN_NONE;
}

PyObject* hq_is_connected(PyObject* self) { return to_py(hq_core(self).is_connected()).release(); }

PyObject* hq_connect_to_any(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<double> timeout;
    if (!bind_connect_to_any(args, nargs, kwnames, timeout)) return nullptr;
    Status st = hq_core(self).connect_to_any(timeout);
    if (!st) return raise_tdx(st.error());
    Py_RETURN_TRUE;
}

// ---- settings --------------------------------------------------------------------------------

PyObject* hq_set_auto_retry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"set_auto_retry", {"enabled"}, 1};
    Bound<1> b;
    bool enabled = true;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, enabled)) return nullptr;
    hq_core(self).set_auto_retry(enabled);
    Py_RETURN_NONE;
}

PyObject* hq_set_cache_ttl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"set_cache_ttl", {"ttl_secs"}, 1};
    Bound<1> b;
    uint64_t ttl = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, ttl)) return nullptr;
    hq_core(self).set_cache_ttl(ttl);
    Py_RETURN_NONE;
}

PyObject* hq_set_connect_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const Params<1> P{"set_connect_timeout", {"timeout"}, 1};
    Bound<1> b;
    double timeout = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, timeout)) return nullptr;
    // Refused here rather than at the next connect, so a bad value never sits in the client.
    if (!check_timeout("set_connect_timeout", "timeout", timeout)) return nullptr;
    hq_core(self).set_connect_timeout(timeout);
    Py_RETURN_NONE;
}

PyObject* hq_set_rate_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"set_rate_limit", {"rps"}, 1};
    Bound<1> b;
    uint32_t rps = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, rps)) return nullptr;
    hq_core(self).rate_limiter().set_rps(rps);
    Py_RETURN_NONE;
}

PyObject* hq_set_rate_limit_daily(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const Params<1> P{"set_rate_limit_daily", {"rps"}, 1};
    Bound<1> b;
    uint32_t rps = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, rps)) return nullptr;
    hq_core(self).daily_rate_limiter().set_rps(rps);
    Py_RETURN_NONE;
}

// The minute limiter's rate is fixed; nothing is read.
PyObject* hq_rate_limit_minute(PyObject*) { return PyLong_FromLong(10); }

// ---- server and block lists ------------------------------------------------------------------

std::vector<net::ServerEntry> to_entries(std::vector<ServerTuple>&& tuples) {
    std::vector<net::ServerEntry> out;
    out.reserve(tuples.size());
    for (auto& [name, ip, port] : tuples) out.push_back({std::move(name), std::move(ip), port});
    return out;
}

PyObject* replace_servers(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const Params<1> P{fname, {"servers"}, 1};
    Bound<1> b;
    std::vector<ServerTuple> servers;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, servers)) return nullptr;
    hq_core(self).set_servers(to_entries(std::move(servers)));
    Py_RETURN_NONE;
}

PyObject* hq_set_servers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return replace_servers("set_servers", self, args, nargs, kwnames);
}

PyObject* hq_reorder_servers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return replace_servers("reorder_servers", self, args, nargs, kwnames);
}

PyObject* hq_add_server(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> P{"add_server", {"name", "ip", "port"}, 3};
    Bound<3> b;
    std::string name, ip;
    uint16_t port = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, name) || !b.get(1, ip) || !b.get(2, port))
        return nullptr;
    hq_core(self).add_server(name, ip, port);
    Py_RETURN_NONE;
}

// (ip, port) of block_server and unblock_server.
bool server_address(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::string& ip, uint16_t& port) {
    const Params<2> P{fname, {"ip", "port"}, 2};
    Bound<2> b;
    return P.bind(args, nargs, kwnames, b) && b.get(0, ip) && b.get(1, port);
}

PyObject* hq_block_server(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string ip;
    uint16_t port = 0;
    if (!server_address("block_server", args, nargs, kwnames, ip, port)) return nullptr;
    hq_core(self).block_server(ip, port);
    Py_RETURN_NONE;
}

PyObject* hq_unblock_server(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string ip;
    uint16_t port = 0;
    if (!server_address("unblock_server", args, nargs, kwnames, ip, port)) return nullptr;
    hq_core(self).unblock_server(ip, port);
    Py_RETURN_NONE;
}

PyObject* hq_blocked_servers(PyObject* self) {
    // Copied under the list's mutex by the core; the Python objects are built after.
    std::vector<net::ServerAddr> blocked = hq_core(self).blocked_servers();
    return list_of(blocked, [](const net::ServerAddr& s) {
               return TupleBuilder(2).add(s.first).add(s.second).finish();
           })
        .release();
}

PyObject* hq_clear_blocked_servers(PyObject* self) {
    hq_core(self).clear_blocked_servers();
    Py_RETURN_NONE;
}

PyObject* hq_probe_servers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"probe_servers", {"timeout"}, 0};
    Bound<1> b;
    double timeout = 3.0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, timeout)) return nullptr;
    if (!check_timeout("probe_servers", "timeout", timeout)) return nullptr;
    // The full built-in table; the client's own state is not touched.
    std::vector<net::ProbeResult> results = net::probe_servers(hq_core(self).all_known_servers(), timeout);
    return list_of(results, [](const net::ProbeResult& r) {
               return TupleBuilder(6)
                   .add(r.name)
                   .add(r.ip)
                   .add(r.port)
                   .add(r.tcp_ms)
                   .add(r.hs_ms)
                   .add(r.api_ms)
                   .finish();
           })
        .release();
}

PyObject* hq_pool_stats(PyObject* self) {
    static KeySet keys{"idle", "active", "total", "max_size"};
    net::PoolStats s = hq_core(self).pool_stats();
    return DictBuilder(keys).add(s.idle).add(s.active).add(s.total).add(s.max_size).finish().release();
}

// ---- adjustment context tier -----------------------------------------------------------------

PyObject* hq_set_fq_context_tier(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const Params<1> P{"set_fq_context_tier", {"tier"}, 1};
    Bound<1> b;
    std::string utf8;
    if (!P.bind(args, nargs, kwnames, b)) return nullptr;
    // A str with no UTF-8 form (a lone surrogate) names no tier: it is refused as any other text.
    const bool encodable = b.get(0, utf8);
    if (!encodable) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
        PyErr_Clear();
    }
    // Full Unicode lower-casing by str's own lower() (not a subclass's); no trimming.
    Ref exact(PyUnicode_FromObject(b.obj(0)));
    if (!exact) return nullptr;
    std::string lower;
    if (encodable) {
        Ref lowered(PyObject_CallMethod(exact.get(), "lower", nullptr));
        if (!lowered || !convert(Arg{"set_fq_context_tier", "tier", lowered.get()}, lower)) return nullptr;
    }
    uint8_t tier;
    if (lower == "high") tier = net::FQ_CONTEXT_HIGH;
    else if (lower == "low") tier = net::FQ_CONTEXT_LOW;
    else if (lower == "mid") tier = net::FQ_CONTEXT_MID;
    else {
        // The argument as it was given, built as a str so that no character of it is lost.
        Ref text(PyUnicode_FromFormat("Invalid tier '%U'. Use 'low', 'mid', or 'high'.", exact.get()));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
    }
    hq_core(self).set_fq_context_tier(tier);
    Py_RETURN_NONE;
}

PyObject* hq_fq_context_tier(PyObject* self) {
    uint8_t t = hq_core(self).fq_context_tier();
    return to_py(t == net::FQ_CONTEXT_LOW ? "low" : t == net::FQ_CONTEXT_HIGH ? "high" : "mid").release();
}

// ---- the class -------------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// Registration order is the order of the class's method table.
PyMethodDef kMethods[] = {
    {"connect", method<hq_connect>(), kFast,
     "connect($self, ip, port, timeout=None)\n--\n\n连接到 TDX 服务器"},
    {"disconnect", method<hq_disconnect>(), METH_NOARGS, "disconnect($self)\n--\n\n断开连接"},
    {"is_connected", method<hq_is_connected>(), METH_NOARGS, "is_connected($self)\n--\n\n是否已连接"},
    {"connect_to_any", method<hq_connect_to_any>(), kFast,
     "connect_to_any($self, timeout=None)\n--\n\n连接到任意可用服务器 (从默认列表中选择)"},
    {"set_auto_retry", method<hq_set_auto_retry>(), kFast,
     "set_auto_retry($self, enabled)\n--\n\n设置是否自动重试"},
    {"set_cache_ttl", method<hq_set_cache_ttl>(), kFast,
     "set_cache_ttl($self, ttl_secs)\n--\n\n设置缓存 TTL (秒)"},
    {"set_connect_timeout", method<hq_set_connect_timeout>(), kFast,
     "set_connect_timeout($self, timeout)\n--\n\n设置连接超时 (秒)"},
    {"set_rate_limit", method<hq_set_rate_limit>(), kFast,
     "set_rate_limit($self, rps)\n--\n\n设置默认请求速率限制 (每秒请求数, 0=禁用)\n"
     "默认 50 req/s。影响: 实时行情、财务、除权等通用接口。"},
    {"set_rate_limit_daily", method<hq_set_rate_limit_daily>(), kFast,
     "set_rate_limit_daily($self, rps)\n--\n\n设置日K 级别速率限制 (每秒请求数, 0=禁用)\n"
     "默认 15 req/s。影响: get_security_bars / get_index_bars。"},
    {"rate_limit_minute", method<hq_rate_limit_minute>(), METH_NOARGS,
     "rate_limit_minute($self)\n--\n\n获取分时级别速率限制 (固定 10 req/s, 不可修改)"},
    {"set_servers", method<hq_set_servers>(), kFast,
     "set_servers($self, servers)\n--\n\n设置自定义优先服务器列表\n"
     "servers: list of (name, ip, port) tuples, 例如 [(\"主站A\", \"192.0.2.10\", 7709)]"},
    {"add_server", method<hq_add_server>(), kFast,
     "add_server($self, name, ip, port)\n--\n\n在优先列表头部添加一台服务器"},
    {"reorder_servers", method<hq_reorder_servers>(), kFast,
     "reorder_servers($self, servers)\n--\n\n按响应时间重排优先服务器\n"
     "servers: 从 probe_servers() 返回的排序结果, 取前N个"},
    {"block_server", method<hq_block_server>(), kFast,
     "block_server($self, ip, port)\n--\n\n将服务器加入黑名单\n"
     "服务器持续超时、返回空数据或异常数据时将其拉黑,\n"
     "connect_to_any() 和自动切换服务器时会跳过黑名单中的服务器。\n"
     "例如: client.block_server(\"192.0.2.10\", 7709); client.connect_to_any()"},
    {"unblock_server", method<hq_unblock_server>(), kFast,
     "unblock_server($self, ip, port)\n--\n\n从黑名单移除服务器"},
    {"blocked_servers", method<hq_blocked_servers>(), METH_NOARGS,
     "blocked_servers($self)\n--\n\n获取黑名单列表\n返回: list of (ip, port) tuples"},
    {"clear_blocked_servers", method<hq_clear_blocked_servers>(), METH_NOARGS,
     "clear_blocked_servers($self)\n--\n\n清空黑名单"},
    {"probe_servers", method<hq_probe_servers>(), kFast,
     "probe_servers($self, timeout=3.0)\n--\n\n探测全部已知服务器, 返回按 API 响应时间排序的结果\n"
     "返回: list of (name, ip, port, tcp_ms, hs_ms, api_ms)\n"
     "不会自动修改优先列表, 用户根据结果自行调用 reorder_servers()"},
    {"pool_stats", method<hq_pool_stats>(), METH_NOARGS, "pool_stats($self)\n--\n\n获取连接池状态"},

    // ---- data methods (positions 20 to 40) ----
    {"get_security_bars", method<hq_get_security_bars>(), kFast,
     "get_security_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取K线数据\n\nfq: 复权类型, 0=未复权 1=前复权(默认) 2=后复权"},
    {"get_security_bars_all", method<hq_get_security_bars_all>(), kFast,
     "get_security_bars_all($self, category, market, code, count=800, fq=1)\n--\n\n获取K线数据 (自动分页)"},
    {"get_index_bars", method<hq_get_index_bars>(), kFast,
     "get_index_bars($self, category, market, code, start=0, count=800, fq=1)\n--\n\n获取指数K线"},
    {"get_index_bars_all", method<hq_get_index_bars_all>(), kFast,
     "get_index_bars_all($self, category, market, code, count=800, fq=1)\n--\n\n获取指数K线 (自动分页)"},
    {"get_security_quotes", method<hq_get_security_quotes>(), kFast,
     "get_security_quotes($self, all_stock)\n--\n\n获取实时行情"},
    {"get_security_list", method<hq_get_security_list>(), kFast,
     "get_security_list($self, market, start=0)\n--\n\n获取证券列表"},
    {"get_security_count", method<hq_get_security_count>(), kFast,
     "get_security_count($self, market)\n--\n\n获取证券数量"},
    {"get_minute_time_data", method<hq_get_minute_time_data>(), kFast,
     "get_minute_time_data($self, market, code)\n--\n\n获取分时数据"},
    {"get_history_minute_time_data", method<hq_get_history_minute_time_data>(), kFast,
     "get_history_minute_time_data($self, market, code, date)\n--\n\n获取历史分时数据"},
    {"get_transaction_data", method<hq_get_transaction_data>(), kFast,
     "get_transaction_data($self, market, code, start=0, count=2000)\n--\n\n获取逐笔成交"},
    {"get_history_transaction_data", method<hq_get_history_transaction_data>(), kFast,
     "get_history_transaction_data($self, market, code, start=0, count=2000, date=0)\n--\n\n"
     "获取历史逐笔成交"},
    {"get_finance_info", method<hq_get_finance_info>(), kFast,
     "get_finance_info($self, market, code)\n--\n\n获取财务信息"},
    {"get_xdxr_info", method<hq_get_xdxr_info>(), kFast,
     "get_xdxr_info($self, market, code)\n--\n\n获取除权除息"},
    {"get_and_parse_block_info", method<hq_get_and_parse_block_info>(), kFast,
     "get_and_parse_block_info($self, block_file)\n--\n\n获取并解析板块信息"},
    {"get_security_bars_tuples", method<hq_get_security_bars_tuples>(), kFast,
     "get_security_bars_tuples($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取K线数据，返回 list of tuple (高性能模式)\n"
     "tuple: (open, close, high, low, vol, amount, year, month, day, hour, minute, datetime)"},
    {"get_index_bars_tuples", method<hq_get_index_bars_tuples>(), kFast,
     "get_index_bars_tuples($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取指数K线，返回 list of tuple (高性能模式)\n"
     "tuple: (open, close, high, low, vol, amount, year, month, day, hour, minute, datetime, up_count, "
     "down_count)"},
    {"get_security_quotes_tuples", method<hq_get_security_quotes_tuples>(), kFast,
     "get_security_quotes_tuples($self, all_stock)\n--\n\n获取实时行情，返回 list of tuple (高性能模式)\n"
     "tuple: (market, code, price, last_close, open, high, low, vol, cur_vol, amount,\n"
     "        s_vol, b_vol, bid1, bid_vol1, ask1, ask_vol1, ..., bid5, bid_vol5, ask5, ask_vol5)"},
    {"get_security_bars_dataframe", method<hq_get_security_bars_dataframe>(), kFast,
     "get_security_bars_dataframe($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取K线数据, 返回 pandas DataFrame"},
    {"get_index_bars_dataframe", method<hq_get_index_bars_dataframe>(), kFast,
     "get_index_bars_dataframe($self, category, market, code, start=0, count=800, fq=1)\n--\n\n"
     "获取指数K线, 返回 pandas DataFrame"},
    {"get_security_quotes_dataframe", method<hq_get_security_quotes_dataframe>(), kFast,
     "get_security_quotes_dataframe($self, all_stock)\n--\n\n获取实时行情, 返回 pandas DataFrame"},
    {"get_finance_info_dataframe", method<hq_get_finance_info_dataframe>(), kFast,
     "get_finance_info_dataframe($self, stocks)\n--\n\n获取多只股票的财务信息, 返回 pandas DataFrame"},

    {"set_fq_context_tier", method<hq_set_fq_context_tier>(), kFast,
     "set_fq_context_tier($self, tier)\n--\n\n设置复权上下文数据量档位"},
    {"fq_context_tier", method<hq_fq_context_tier>(), METH_NOARGS,
     "fq_context_tier($self)\n--\n\n获取当前复权上下文档位"},

    {"calc_fq_factors", method<hq_calc_fq_factors>(), kFast,
     "calc_fq_factors($self, market, code, start=0, count=800)\n--\n\n计算复权因子 (不修改 K 线数据)"},

    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxHqClient()\n--\n\nTDX 行情客户端 - Python 绑定")},
    {Py_tp_new, new_slot<hq_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_core_object<PyTdxHqClient>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quotix._internal.TdxHqClient", sizeof(PyTdxHqClient), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyObject* hq_client_class(PyObject* module) { return cached_type(g_type, module, &kSpec); }

}  // namespace quotix::py
