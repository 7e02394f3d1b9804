// The Python class TdxBlockClient: sector K-lines and quotes with the block client's own limits,
// and the server's block files. Block codes live on the Shanghai market, so every bar and quote
// request goes to market 1. Every failure, a refused connection included, is a ValueError.

#include <string>
#include <utility>
#include <vector>

#include "block/client.hpp"
#include "core/constants.hpp"
#include "python/py_classes.hpp"
#include "python/py_direct_object.hpp"
#include "python/py_records.hpp"

namespace quotix::py {
namespace {

using net::TdxDirectClient;

template <class T, class Build>
PyObject* result_or_value_error(Result<T>&& r, Build&& build) {
    if (!r) return raise_value_error(r.error());
    return build(*r).release();
}

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_direct_object("TdxBlockClient", 3, type, args, kwargs);
}

// ---- result shapes ---------------------------------------------------------------------------

// The date-time text first, prices open/high/low/close, amount before vol: the shape sector
// tools expect, unlike the direct client's bar dicts.
Ref block_bar_dicts(const std::vector<IndexBar>& bars) {
    static KeySet keys{"datetime", "open", "high",  "low", "close",  "amount",   "vol",
                       "year",     "month", "day",  "hour", "minute", "up_count", "down_count"};
    return list_of(bars, [](const IndexBar& b) {
        return DictBuilder(keys)
            .add(b.datetime).add(b.open).add(b.high).add(b.low).add(b.close).add(b.amount)
            .add(b.vol).add(b.year).add(b.month).add(b.day).add(b.hour).add(b.minute)
            .add(b.up_count).add(b.down_count)
            .finish();
    });
}

// A sector has no order book worth showing: prices and totals only.
Ref block_quote_dicts(const std::vector<SecurityQuote>& quotes) {
    static KeySet keys{"market", "code", "price", "last_close", "open",
                       "high",   "low",  "vol",   "amount"};
    return list_of(quotes, [](const SecurityQuote& q) {
        return DictBuilder(keys)
            .add(q.market).add(q.code).add(q.price).add(q.last_close).add(q.open).add(q.high)
            .add(q.low).add(q.vol).add(q.amount)
            .finish();
    });
}

// ---- bars ------------------------------------------------------------------------------------

PyObject* block_bars(PyObject* self, uint8_t category, const std::string& code, uint32_t start,
                     uint16_t count) {
    // Refused categories never take the lock or touch the network.
    if (Status st = block::check_category(category); !st) return raise_value_error(st.error());
    const uint16_t effective = block::effective_count(category, count);
    auto fetch = [&](TdxDirectClient& c) {
        return c.get_index_bars_inner(category, block::BLOCK_MARKET, code, start, effective);
    };
    auto r = with_core(self, fetch);
    return result_or_value_error(std::move(r), block_bar_dicts);
}

PyObject* get_block_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> P{"get_block_bars", {"category", "code", "start", "count"}, 2};
    Bound<4> b;
    uint8_t category = 0;
    std::string code;
    uint32_t start = 0;
    uint16_t count = 0;  // 0: the category's default
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, category) || !b.get(1, code) ||
        !b.get(2, start) || !b.get(3, count))
        return nullptr;
    return block_bars(self, category, code, start, count);
}

PyObject* get_block_bars_default(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const Params<2> P{"get_block_bars_default", {"category", "code"}, 2};
    Bound<2> b;
    uint8_t category = 0;
    std::string code;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, category) || !b.get(1, code)) return nullptr;
    return block_bars(self, category, code, 0, 0);
}

// ---- quotes ----------------------------------------------------------------------------------

// A sequence (never a str) whose every item is a str; the whole sequence is read first.
bool convert_codes(const Arg& a, std::vector<std::string>& out) {
    if (PyUnicode_Check(a.obj) || !PySequence_Check(a.obj)) {
        raise(PyExc_TypeError, a.describe() + " must be a list or tuple of str, not " +
                                   Py_TYPE(a.obj)->tp_name);
        return false;
    }
    Ref items(PySequence_Tuple(a.obj));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::vector<std::string> codes(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Arg item{a.fname, a.name, PyTuple_GET_ITEM(items.get(), i), i};
        if (!convert(item, codes[static_cast<size_t>(i)])) return false;
    }
    out = std::move(codes);
    return true;
}

PyObject* get_block_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static const Params<1> P{"get_block_quotes", {"codes"}, 1};
    Bound<1> b;
    std::vector<std::string> codes;
    if (!P.bind(args, nargs, kwnames, b) ||
        !convert_codes(Arg{"get_block_quotes", "codes", b.obj(0)}, codes))
        return nullptr;
    std::vector<std::pair<uint8_t, std::string>> stocks;
    stocks.reserve(codes.size());
    for (auto& code : codes) stocks.emplace_back(block::BLOCK_MARKET, std::move(code));
    auto r = with_core(self, [&](TdxDirectClient& c) { return c.get_security_quotes_inner(stocks); });
    return result_or_value_error(std::move(r), block_quote_dicts);
}

// ---- block files -----------------------------------------------------------------------------

PyObject* block_list(PyObject* self, const std::string& block_file) {
    auto r = with_core(self, [&](TdxDirectClient& c) { return c.get_and_parse_block_info(block_file); });
    return result_or_value_error(std::move(r), block_record_dicts);
}

PyObject* get_block_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> P{"get_block_list", {"block_file"}, 1};
    Bound<1> b;
    std::string block_file;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, block_file)) return nullptr;
    return block_list(self, block_file);
}

PyObject* get_industry_blocks(PyObject* self) { return block_list(self, BLOCK_FG); }
PyObject* get_concept_blocks(PyObject* self) { return block_list(self, BLOCK_GN); }
PyObject* get_index_blocks(PyObject* self) { return block_list(self, BLOCK_SZ); }

// ---- the class -------------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"set_server", method<direct_set_server>(), kFast,
     "set_server($self, ip, port)\n--\n\n更新服务器"},
    {"set_timeout", method<direct_set_timeout>(), kFast,
     "set_timeout($self, timeout)\n--\n\n更新超时"},
    {"get_block_bars", method<get_block_bars>(), kFast,
     "get_block_bars($self, category, code, start=0, count=0)\n--\n\n获取板块 K 线数据\n"
     "count=0 取该周期默认条数; 超过上限时自动截为上限 (分钟级 200, 其余 800)。\n"
     "1 分钟周期 (KLINE_EXHQ_1MIN / KLINE_1MIN) 不支持。"},
    {"get_block_bars_default", method<get_block_bars_default>(), kFast,
     "get_block_bars_default($self, category, code)\n--\n\n获取板块 K 线 (默认条数)"},
    {"get_block_quotes", method<get_block_quotes>(), kFast,
     "get_block_quotes($self, codes)\n--\n\n获取板块实时行情\n"
     "codes: list of str, 例如 [\"880001\", \"880002\"]; 单次最多 60 个"},
    {"get_block_list", method<get_block_list>(), kFast,
     "get_block_list($self, block_file)\n--\n\n从服务器下载并解析板块文件\n"
     "block_file: 例如 BLOCK_SZ / BLOCK_GN / BLOCK_FG / BLOCK_DEFAULT"},
    {"get_industry_blocks", method<get_industry_blocks>(), METH_NOARGS,
     "get_industry_blocks($self)\n--\n\n获取行业板块列表 (block_fg.dat)"},
    {"get_concept_blocks", method<get_concept_blocks>(), METH_NOARGS,
     "get_concept_blocks($self)\n--\n\n获取概念板块列表 (block_gn.dat)"},
    {"get_index_blocks", method<get_index_blocks>(), METH_NOARGS,
     "get_index_blocks($self)\n--\n\n获取指数成分列表 (block_zs.dat)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TdxBlockClient(ip, port, timeout)\n--\n\n"
                    "板块行情客户端 - Python 绑定\n\n"
                    "板块代码 (88xxxx) 属上海市场, 每次请求单独建立连接。\n"
                    "内置板块查询限制 (1min 禁用，分钟级默认 50 条)。\n\n"
                    "示例:\n"
                    "```python\n"
                    "from quotix._internal import TdxBlockClient, KLINE_DAILY\n"
                    "client = TdxBlockClient(\"192.0.2.10\", 7709, 5.0)\n"
                    "bars = client.get_block_bars(KLINE_DAILY, \"880001\", 0, 100)\n"
                    "quotes = client.get_block_quotes([\"880001\", \"880002\"])\n"
                    "```")},
    {Py_tp_new, new_slot<block_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(direct_object_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quotix._internal.TdxBlockClient", sizeof(PyDirectObject), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyObject* block_client_class(PyObject* module) { return cached_type(g_type, module, &kSpec); }

}  // namespace quotix::py
