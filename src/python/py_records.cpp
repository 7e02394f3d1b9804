#include "python/py_records.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace quotix::py {
namespace {

// ---------------------------------------------------------------------------------------------
// Field values, each a new reference or null with the exception set

PyObject* value(double v) { return PyFloat_FromDouble(v); }
PyObject* value(uint8_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* value(uint16_t v) { return PyLong_FromUnsignedLong(v); }
// Values up to 256 come from the interpreter's own small-int cache. Above that, the bars of one
// reply share their year and dates repeat from record to record, so the last such int made is
// kept and handed out again while the next value equals it (ints are immutable; the interpreter
// lock guards the cache).
PyObject* value(uint32_t v) {
    static uint32_t last = 0;
    static PyObject* last_obj = nullptr;
    if (v <= 256) return PyLong_FromUnsignedLong(v);
    if (last_obj && v == last) {
        Py_INCREF(last_obj);
        return last_obj;
    }
    PyObject* o = PyLong_FromUnsignedLong(v);
    if (o) {
        Py_INCREF(o);
        Py_XSETREF(last_obj, o);
        last = v;
    }
    return o;
}

PyObject* value(const std::optional<double>& v) {
    if (!v) Py_RETURN_NONE;
    return PyFloat_FromDouble(*v);
}

// Record texts are nearly always ASCII (dates, times, codes): those are copied straight into a
// compact str, which skips the UTF-8 decoder; anything else is decoded with replacement.
PyObject* value(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    unsigned char high = 0;
    for (size_t i = 0; i < n; ++i) high |= p[i];
    if (high < 0x80) {
        PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (o && n > 0) std::memcpy(PyUnicode_1BYTE_DATA(o), p, n);
        return o;
    }
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(n), "replace");
}

// ---------------------------------------------------------------------------------------------
// Containers

bool set_item(PyObject* dict, PyObject* key, PyObject* v) {
    if (!v) return false;
    const int rc = PyDict_SetItem(dict, key, v);
    Py_DECREF(v);
    return rc == 0;
}

constexpr size_t MAX_ROW_KEYS = 40;

// A row's keys, interned once, and what its dicts are copied from while one list is built: the
// template for the first row, then the row made before it. Consecutive records share much (the
// year, the month, a zero hour), and a value that is the very object the copy already holds needs
// no store.
struct RowKeys {
    PyObject* const* keys = nullptr;
    PyObject* tmpl = nullptr;                 // null: build the first dict from empty
    PyObject* const* tmpl_values = nullptr;   // the template's value under each key (borrowed)
    PyObject* prev = nullptr;                 // the last dict made (borrowed: the list holds it)
    std::array<PyObject*, MAX_ROW_KEYS> prev_values{};  // its values (borrowed)
};

// A dict holding `keys` in order, with None under each (0 under the `zero` ones), whose copies
// share one keys table. An instance of a
// plain class keeps its attributes in a keys table the class shares among its instances; the dict
// made from such an instance, and every copy of that dict, use that table rather than each
// allocating and filling a hash table of its own. So a row becomes one copy and a value per key.
// Null (no exception) when the table cannot be shared this way; rows are then built from empty.
PyObject* shared_keys_template(PyObject* const* keys, size_t n, const std::vector<bool>& zero,
                               PyObject*& owner, std::vector<PyObject*>& values) {
    Ref cls(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "row",
                                  reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref inst(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
    bool ok = static_cast<bool>(inst);
    Ref zero_int(PyLong_FromLong(0));
    ok = ok && zero_int;
    for (size_t i = 0; ok && i < n; ++i)
        ok = PyObject_SetAttr(inst.get(), keys[i], zero[i] ? zero_int.get() : Py_None) == 0;
    Ref d(ok ? PyObject_GetAttrString(inst.get(), "__dict__") : nullptr);
    ok = d && PyDict_CheckExact(d.get()) && PyDict_GET_SIZE(d.get()) == static_cast<Py_ssize_t>(n);
    // The template must iterate in exactly the row's key order, with the very key objects.
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    values.clear();
    for (size_t i = 0; ok && PyDict_Next(d.get(), &pos, &k, &v); ++i) {
        ok = k == keys[i];
        values.push_back(v);
    }
    if (!ok) {
        PyErr_Clear();
        return nullptr;
    }
    // The instance stays alive with its dict, so nothing ever tears the shared table down.
    owner = inst.release();
    return d.release();
}

// KeySet plus the row template, both made on first use and kept for the life of the process.
class RowShape {
public:
    RowShape(std::initializer_list<const char*> names) : keys_(names), zero_(names.size(), false) {}
    // `zero`: keys whose value is mostly the int 0 (hour and minute of daily and longer bars); the
    // template holds 0 under them, so such a value needs no store at all.
    RowShape(std::initializer_list<const char*> names, std::initializer_list<const char*> zero)
        : RowShape(names) {
        for (size_t i = 0; i < keys_.size(); ++i)
            for (const char* z : zero) zero_[i] = zero_[i] || std::strcmp(keys_.name(i), z) == 0;
    }
    size_t size() const { return keys_.size(); }
    // False with the exception set when the keys could not be made.
    bool get(RowKeys& out) {
        PyObject* const* keys = keys_.keys();
        if (!keys) return false;
        if (!tried_) {
            tried_ = true;
            tmpl_ = shared_keys_template(keys, keys_.size(), zero_, owner_, tmpl_values_);
        }
        out = RowKeys{keys, tmpl_, tmpl_ ? tmpl_values_.data() : nullptr};
        return true;
    }

private:
    KeySet keys_;
    std::vector<bool> zero_;
    PyObject* tmpl_ = nullptr;
    std::vector<PyObject*> tmpl_values_;
    PyObject* owner_ = nullptr;
    bool tried_ = false;
};

// Stores `v` (a new reference, or null after a failure) under `key`, unless the copied dict
// already holds that very object there (`held`). `now` receives the value the key ends up with.
bool put_value(PyObject* d, PyObject* key, PyObject* held, PyObject* v, PyObject*& now) {
    if (v && v == held) {
        Py_DECREF(v);
        now = held;
        return true;
    }
    now = v;
    return set_item(d, key, v);
}

// A dict of the given fields under the row's keys, in order: a copy of the previous row (or of
// the template) with the values that differ replaced, or, without either, a dict made at its
// final size so that no insertion resizes it.
template <class... T>
PyObject* make_dict(RowKeys& row, const T&... fields) {
    constexpr size_t n = sizeof...(T);
    static_assert(n <= MAX_ROW_KEYS);
    PyObject* base = row.prev ? row.prev : row.tmpl;
    PyObject* const* held = row.prev ? row.prev_values.data() : row.tmpl_values;
    PyObject* d = base ? PyDict_Copy(base) : _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
    if (!d) return nullptr;
    std::array<PyObject*, n> now{};
    size_t i = 0;
    auto put = [&](PyObject* v) {
        const size_t k = i++;
        return put_value(d, row.keys[k], held ? held[k] : nullptr, v, now[k]);
    };
    // The fold stops at the first failure: no Python call is made with an exception pending.
    if (!(put(value(fields)) && ...)) {
        Py_DECREF(d);
        return nullptr;
    }
    row.prev = d;
    std::copy(now.begin(), now.end(), row.prev_values.begin());
    return d;
}

template <class... T>
PyObject* make_tuple(const T&... fields) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(sizeof...(T)));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    auto put = [&](PyObject* v) {
        if (!v) return false;
        PyTuple_SET_ITEM(t, i++, v);
        return true;
    };
    if (!(put(value(fields)) && ...)) {
        Py_DECREF(t);
        return nullptr;
    }
    // Every item is a float, an int or a str, so the tuple can never be part of a cycle: the
    // collector need not traverse it (it would untrack it itself on its first pass).
    PyObject_GC_UnTrack(t);
    return t;
}

// A list made at its final length, one item per record.
template <class Rec, class Make>
Ref list_of_records(const std::vector<Rec>& records, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
    if (!list) return Ref();
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject* item = make(records[i]);
        if (!item) {
            Py_DECREF(list);  // unfilled slots are null, which the list's release skips
            return Ref();
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return Ref(list);
}

// The list of dicts of `records` in the row shape `shape`.
template <class Rec, class Make>
Ref dict_list(RowShape& shape, const std::vector<Rec>& records, Make&& make) {
    RowKeys row;
    if (!shape.get(row)) return Ref();
    return list_of_records(records, [&](const Rec& r) { return make(row, r); });
}

// ---------------------------------------------------------------------------------------------
// Key sets

RowShape& bar_keys() {
    static RowShape k{{"open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour", "minute",
                       "datetime"},
                      {"hour", "minute"}};
    return k;
}

RowShape& index_bar_keys() {
    static RowShape k{{"open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour", "minute",
                       "datetime", "up_count", "down_count"},
                      {"hour", "minute"}};
    return k;
}

RowShape& quote_keys() {
    static RowShape k{"market",   "code",   "price",    "last_close", "open",     "high",     "low",
                    "servertime", "vol",  "cur_vol",  "amount",     "s_vol",    "b_vol",    "bid1",
                    "bid_vol1", "bid2",   "bid_vol2", "bid3",       "bid_vol3", "bid4",     "bid_vol4",
                    "bid5",     "bid_vol5", "ask1",   "ask_vol1",   "ask2",     "ask_vol2", "ask3",
                    "ask_vol3", "ask4",   "ask_vol4", "ask5",       "ask_vol5"};
    return k;
}

RowShape& finance_keys() {
    static RowShape k{"market",        "code",           "liutongguben",   "province",
                    "industry",      "updated_date",   "ipo_date",       "zongguben",
                    "guojiagu",      "faqirenfarengu", "farengu",        "bgu",
                    "hgu",           "zhigonggu",      "zongzichan",     "liudongzichan",
                    "gudingzichan",  "wuxingzichan",   "gudongrenshu",   "liudongfuzhai",
                    "changqifuzhai", "zibengongjijin", "jingzichan",     "zhuyingshouru",
                    "zhuyinglirun",  "yingshouzhangkuan", "yingyelirun", "touzishouyu",
                    "jingyingxianjinliu", "zongxianjinliu", "cunhuo",    "lirunzonghe",
                    "shuihoulirun",  "jinglirun",      "weifenpeilirun", "meigujingzichan"};
    return k;
}

// ---------------------------------------------------------------------------------------------
// Shapes

template <class Bar>
PyObject* bar_dict(RowKeys& keys, const Bar& b) {
    return make_dict(keys, b.open, b.close, b.high, b.low, b.vol, b.amount, b.year, b.month, b.day, b.hour,
                     b.minute, b.datetime);
}

PyObject* index_bar_dict(RowKeys& keys, const IndexBar& b) {
    return make_dict(keys, b.open, b.close, b.high, b.low, b.vol, b.amount, b.year, b.month, b.day, b.hour,
                     b.minute, b.datetime, b.up_count, b.down_count);
}

PyObject* bar_tuple(const SecurityBar& b) {
    return make_tuple(b.open, b.close, b.high, b.low, b.vol, b.amount, b.year, b.month, b.day, b.hour,
                      b.minute, b.datetime);
}

PyObject* index_bar_tuple(const IndexBar& b) {
    return make_tuple(b.open, b.close, b.high, b.low, b.vol, b.amount, b.year, b.month, b.day, b.hour,
                      b.minute, b.datetime, b.up_count, b.down_count);
}

PyObject* quote_dict(RowKeys& keys, const SecurityQuote& q) {
    return make_dict(keys, q.market, q.code, q.price, q.last_close, q.open, q.high, q.low, q.servertime, q.vol,
                     q.cur_vol, q.amount, q.s_vol, q.b_vol, q.bid1, q.bid_vol1, q.bid2, q.bid_vol2, q.bid3,
                     q.bid_vol3, q.bid4, q.bid_vol4, q.bid5, q.bid_vol5, q.ask1, q.ask_vol1, q.ask2, q.ask_vol2,
                     q.ask3, q.ask_vol3, q.ask4, q.ask_vol4, q.ask5, q.ask_vol5);
}

PyObject* quote_tuple(const SecurityQuote& q) {
    return make_tuple(q.market, q.code, q.price, q.last_close, q.open, q.high, q.low, q.vol, q.cur_vol, q.amount,
                      q.s_vol, q.b_vol, q.bid1, q.bid_vol1, q.ask1, q.ask_vol1, q.bid2, q.bid_vol2, q.ask2,
                      q.ask_vol2, q.bid3, q.bid_vol3, q.ask3, q.ask_vol3, q.bid4, q.bid_vol4, q.ask4, q.ask_vol4,
                      q.bid5, q.bid_vol5, q.ask5, q.ask_vol5);
}

PyObject* finance_dict_of(RowKeys& keys, const FinanceInfo& f) {
    return make_dict(keys, f.market, f.code, f.liutongguben, f.province, f.industry, f.updated_date, f.ipo_date,
                     f.zongguben, f.guojiagu, f.faqirenfarengu, f.farengu, f.bgu, f.hgu, f.zhigonggu, f.zongzichan,
                     f.liudongzichan, f.gudingzichan, f.wuxingzichan, f.gudongrenshu, f.liudongfuzhai,
                     f.changqifuzhai, f.zibengongjijin, f.jingzichan, f.zhuyingshouru, f.zhuyinglirun,
                     f.yingshouzhangkuan, f.yingyelirun, f.touzishouyu, f.jingyingxianjinliu, f.zongxianjinliu,
                     f.cunhuo, f.lirunzonghe, f.shuihoulirun, f.jinglirun, f.weifenpeilirun, f.meigujingzichan);
}

}  // namespace

Ref bar_dicts(const std::vector<SecurityBar>& bars) {
    return dict_list(bar_keys(), bars, bar_dict<SecurityBar>);
}

Ref bar_tuples(const std::vector<SecurityBar>& bars) { return list_of_records(bars, bar_tuple); }

Ref index_bar_dicts(const std::vector<IndexBar>& bars) {
    return dict_list(index_bar_keys(), bars, index_bar_dict);
}

Ref index_bar_tuples(const std::vector<IndexBar>& bars) { return list_of_records(bars, index_bar_tuple); }

Ref quote_dicts(const std::vector<SecurityQuote>& quotes) { return dict_list(quote_keys(), quotes, quote_dict); }

Ref quote_tuples(const std::vector<SecurityQuote>& quotes) { return list_of_records(quotes, quote_tuple); }

Ref security_info_dicts(const std::vector<SecurityInfo>& infos) {
    static RowShape keys{"code", "volunit", "decimal_point", "name", "pre_close"};
    return dict_list(keys, infos, [](RowKeys& k, const SecurityInfo& s) {
        return make_dict(k, s.code, s.volunit, s.decimal_point, s.name, s.pre_close);
    });
}

Ref minute_dicts(const std::vector<MinuteTimePrice>& points) {
    static RowShape keys{"time", "price", "avg_price", "vol"};
    return dict_list(keys, points, [](RowKeys& k, const MinuteTimePrice& m) {
        return make_dict(k, m.time, m.price, m.avg_price, m.vol);
    });
}

Ref tick_dicts(const std::vector<TickData>& ticks) {
    static RowShape keys{"time", "price", "vol", "num", "buyorsell", "reserved"};
    return dict_list(keys, ticks, [](RowKeys& k, const TickData& t) {
        return make_dict(k, t.time, t.price, t.vol, t.num, t.buyorsell, t.reserved);
    });
}

Ref finance_dict(const FinanceInfo& info) {
    RowKeys row;
    if (!finance_keys().get(row)) return Ref();
    return Ref(finance_dict_of(row, info));
}

Ref xdxr_dicts(const std::vector<XdXrInfo>& events) {
    static RowShape keys{"year",  "month",       "day",    "category",       "name",          "fenhong",
                       "peigujia", "songzhuangu", "peigu", "suogu",        "panqianliutong", "panhouliutong",
                       "qianzongguben", "houzongguben", "fenshu", "xingquanjia"};
    return dict_list(keys, events, [](RowKeys& k, const XdXrInfo& e) {
        return make_dict(k, e.year, e.month, e.day, e.category, e.name, e.fenhong, e.peigujia, e.songzhuangu,
                         e.peigu, e.suogu, e.panqianliutong, e.panhouliutong, e.qianzongguben, e.houzongguben,
                         e.fenshu, e.xingquanjia);
    });
}

Ref block_record_dicts(const std::vector<BlockRecord>& records) {
    static RowShape keys{"blockname", "block_type", "code_index", "code"};
    return dict_list(keys, records, [](RowKeys& k, const BlockRecord& r) {
        return make_dict(k, r.blockname, r.block_type, r.code_index, r.code);
    });
}

Ref fq_report_dict(const FqFactorReport& report) {
    static RowShape row_keys{"date",         "close_before", "qfq_factor",   "hfq_factor",
                           "div_per_share", "bonus_ratio", "rights_ratio", "rights_price"};
    static KeySet outer_keys{"factors", "cumulative_qfq", "cumulative_hfq"};
    PyObject* const* outer = outer_keys.keys();
    if (!outer) return Ref();
    Ref rows = dict_list(row_keys, report.factors, [](RowKeys& k, const FqFactor& f) {
        return make_dict(k, f.date, f.close_before, f.qfq_factor, f.hfq_factor, f.div_per_share, f.bonus_ratio,
                         f.rights_ratio, f.rights_price);
    });
    if (!rows) return Ref();
    Ref d(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), outer[0], rows.get()) != 0 ||
        !set_item(d.get(), outer[1], value(report.cumulative_qfq)) ||
        !set_item(d.get(), outer[2], value(report.cumulative_hfq)))
        return Ref();
    return d;
}

}  // namespace quotix::py
