// The bar file readers: DailyBarReader (daily files, prices scaled by the reader's coefficient),
// MinBarReader (5-minute files, integer prices) and LcMinBarReader (LC minute files, float
// prices). Each key, tuple and column order below is part of the interface, and they differ
// between the shapes on purpose: callers index tuples by position and select columns by name.

#include "python/py_classes.hpp"
#include "python/py_dataframe.hpp"
#include "python/py_reader_common.hpp"
#include "reader/daily_bar.hpp"
#include "reader/min_bar.hpp"

namespace quotix::py {
namespace {

using reader::DailyBarRecord;
using reader::MinBarRecord;

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// ---------------------------------------------------------------------------------------------
// Shapes

Ref daily_dict(const DailyBarRecord& r) {
    static KeySet keys{"date", "open", "high", "low", "close", "amount", "volume", "year", "month", "day"};
    DictBuilder d(keys);
    d.add(r.date).add(r.open).add(r.high).add(r.low).add(r.close).add(r.amount).add(r.volume);
    d.add(r.year).add(r.month).add(r.day);
    return d.finish();
}

Ref daily_tuple(const DailyBarRecord& r) {
    TupleBuilder t(10);
    t.add(r.date).add(r.open).add(r.high).add(r.low).add(r.close).add(r.amount).add(r.volume);
    t.add(r.year).add(r.month).add(r.day);
    return t.finish();
}

// The dict, the tuple and the LC DataFrame share this order.
Ref min_dict(const MinBarRecord& r) {
    static KeySet keys{"date", "open",  "high", "low", "close", "amount",
                       "volume", "year", "month", "day", "hour", "minute"};
    DictBuilder d(keys);
    d.add(r.date).add(r.open).add(r.high).add(r.low).add(r.close).add(r.amount).add(r.volume);
    d.add(r.year).add(r.month).add(r.day).add(r.hour).add(r.minute);
    return d.finish();
}

Ref min_tuple(const MinBarRecord& r) {
    TupleBuilder t(12);
    t.add(r.date).add(r.open).add(r.high).add(r.low).add(r.close).add(r.amount).add(r.volume);
    t.add(r.year).add(r.month).add(r.day).add(r.hour).add(r.minute);
    return t.finish();
}

Ref min_frame(const std::vector<MinBarRecord>& records) {
    ColumnTable t({"date", "year", "month", "day", "hour", "minute", "open", "high", "low", "close", "volume",
                   "amount"},
                  records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const MinBarRecord& r = records[i];
        t.row(i, r.date, r.year, r.month, r.day, r.hour, r.minute, r.open, r.high, r.low, r.close, r.volume,
              r.amount);
    }
    return t.to_dataframe();
}

Ref lc_min_frame(const std::vector<MinBarRecord>& records) {
    ColumnTable t({"date", "open", "high", "low", "close", "amount", "volume", "year", "month", "day", "hour",
                   "minute"},
                  records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const MinBarRecord& r = records[i];
        t.row(i, r.date, r.open, r.high, r.low, r.close, r.amount, r.volume, r.year, r.month, r.day, r.hour,
              r.minute);
    }
    return t.to_dataframe();
}

template <Ref (*Row)(const DailyBarRecord&)>
Ref daily_rows(const std::vector<DailyBarRecord>& records) {
    return list_of(records, Row);
}

template <Ref (*Row)(const MinBarRecord&)>
Ref min_rows(const std::vector<MinBarRecord>& records) {
    return list_of(records, Row);
}

Ref daily_frame(const std::vector<DailyBarRecord>& records) { return daily_records_to_df(records); }

// ---------------------------------------------------------------------------------------------
// DailyBarReader

struct PyDailyBarReader {
    PyObject_HEAD
    double coefficient;
};

PyObject* daily_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"coefficient"};
    PyObject* given = nullptr;
    if (!bind_constructor("DailyBarReader", names, 1, 0, args, kwargs, &given)) return nullptr;
    double coefficient = 0.01;
    if (given && !convert(Arg{"DailyBarReader", "coefficient", given}, coefficient)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<PyDailyBarReader*>(self)->coefficient = coefficient;
    return self;
}

// A parser bound to this reader's coefficient.
auto daily_parser(PyObject* self) {
    const double c = reinterpret_cast<PyDailyBarReader*>(self)->coefficient;
    return [c](std::span<const uint8_t> d) { return reader::parse_daily_bar(d, c); };
}

template <Ref (*Build)(const std::vector<DailyBarRecord>&)>
PyObject* daily_data(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return reader_from_data(fname, args, nargs, kwnames, daily_parser(self), Build);
}

template <Ref (*Build)(const std::vector<DailyBarRecord>&)>
PyObject* daily_file(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return reader_from_file(fname, args, nargs, kwnames, daily_parser(self), Build);
}

PyObject* daily_parse_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_data<daily_rows<daily_dict>>("parse_data", self, args, nargs, kwnames);
}
PyObject* daily_parse_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_file<daily_rows<daily_dict>>("parse_file", self, args, nargs, kwnames);
}
PyObject* daily_parse_data_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_data<daily_rows<daily_tuple>>("parse_data_tuples", self, args, nargs, kwnames);
}
PyObject* daily_parse_file_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_file<daily_rows<daily_tuple>>("parse_file_tuples", self, args, nargs, kwnames);
}
PyObject* daily_to_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_data<daily_frame>("to_dataframe", self, args, nargs, kwnames);
}
PyObject* daily_to_dataframe_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_file<daily_frame>("to_dataframe_file", self, args, nargs, kwnames);
}

PyMethodDef kDailyMethods[] = {
    {"parse_data", method<daily_parse_data>(), kFast,
     "parse_data($self, data)\n--\n\n解析日线数据，返回 Python list of dict"},
    {"parse_file", method<daily_parse_file>(), kFast, "parse_file($self, filename)\n--\n\n从文件读取并解析"},
    {"parse_data_tuples", method<daily_parse_data_tuples>(), kFast,
     "parse_data_tuples($self, data)\n--\n\n解析日线数据，返回 Python list of tuple (高性能模式)"},
    {"parse_file_tuples", method<daily_parse_file_tuples>(), kFast,
     "parse_file_tuples($self, filename)\n--\n\n从文件读取并解析，返回 Python list of tuple (高性能模式)"},
    {"to_dataframe", method<daily_to_dataframe>(), kFast,
     "to_dataframe($self, data)\n--\n\n解析日线数据, 返回 pandas DataFrame (列式, 高性能)"},
    {"to_dataframe_file", method<daily_to_dataframe_file>(), kFast,
     "to_dataframe_file($self, filename)\n--\n\n从文件读取并解析, 返回 pandas DataFrame"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kDailySlots[] = {
    {Py_tp_doc, const_cast<char*>("DailyBarReader(coefficient=0.01)\n--\n\n日线 Reader")},
    {Py_tp_new, new_slot<daily_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kDailyMethods},
    {0, nullptr},
};
PyType_Spec kDailySpec = {
    "quotix._internal.DailyBarReader", sizeof(PyDailyBarReader), 0, Py_TPFLAGS_DEFAULT, kDailySlots,
};
PyObject* g_DailyBarReader = nullptr;

// ---------------------------------------------------------------------------------------------
// MinBarReader and LcMinBarReader: no state, so the methods only pick parser and shape.

struct PyMinBarReader {
    PyObject_HEAD
};

using MinParser = Result<std::vector<MinBarRecord>> (*)(std::span<const uint8_t>);
using MinBuild = Ref (*)(const std::vector<MinBarRecord>&);

template <MinParser Parse, MinBuild Build>
PyObject* min_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname) {
    return reader_from_data(fname, args, nargs, kwnames, Parse, Build);
}

template <MinParser Parse, MinBuild Build>
PyObject* min_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname) {
    return reader_from_file(fname, args, nargs, kwnames, Parse, Build);
}

// One fast-call method per (parser, shape, source); the name is only for argument errors.
#define QTX_MIN_METHOD(ident, runner, parser, build, pyname)                                        \
    PyObject* ident(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return runner<parser, build>(self, args, nargs, kwnames, pyname);                           \
    }

QTX_MIN_METHOD(min_parse_data, min_data, reader::parse_min_bar, min_rows<min_dict>, "parse_data")
QTX_MIN_METHOD(min_parse_file, min_file, reader::parse_min_bar, min_rows<min_dict>, "parse_file")
QTX_MIN_METHOD(min_parse_data_tuples, min_data, reader::parse_min_bar, min_rows<min_tuple>, "parse_data_tuples")
QTX_MIN_METHOD(min_parse_file_tuples, min_file, reader::parse_min_bar, min_rows<min_tuple>, "parse_file_tuples")
QTX_MIN_METHOD(min_to_dataframe, min_data, reader::parse_min_bar, min_frame, "to_dataframe")

QTX_MIN_METHOD(lc_parse_data, min_data, reader::parse_lc_min_bar, min_rows<min_dict>, "parse_data")
QTX_MIN_METHOD(lc_parse_file, min_file, reader::parse_lc_min_bar, min_rows<min_dict>, "parse_file")
QTX_MIN_METHOD(lc_parse_data_tuples, min_data, reader::parse_lc_min_bar, min_rows<min_tuple>, "parse_data_tuples")
QTX_MIN_METHOD(lc_parse_file_tuples, min_file, reader::parse_lc_min_bar, min_rows<min_tuple>, "parse_file_tuples")
QTX_MIN_METHOD(lc_to_dataframe, min_data, reader::parse_lc_min_bar, lc_min_frame, "to_dataframe")

#undef QTX_MIN_METHOD

PyMethodDef kMinMethods[] = {
    {"parse_data", method<min_parse_data>(), kFast, "parse_data($self, data)\n--\n\n解析 5分钟线数据 (整数格式)"},
    {"parse_file", method<min_parse_file>(), kFast, "parse_file($self, filename)\n--\n\n从文件读取并解析"},
    {"parse_data_tuples", method<min_parse_data_tuples>(), kFast,
     "parse_data_tuples($self, data)\n--\n\n解析 5分钟线数据，返回 list of tuple (高性能模式)"},
    {"parse_file_tuples", method<min_parse_file_tuples>(), kFast,
     "parse_file_tuples($self, filename)\n--\n\n从文件读取并解析，返回 list of tuple (高性能模式)"},
    {"to_dataframe", method<min_to_dataframe>(), kFast,
     "to_dataframe($self, data)\n--\n\n解析5分钟线数据, 返回 pandas DataFrame"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMinSlots[] = {
    {Py_tp_doc, const_cast<char*>("MinBarReader()\n--\n\n5分钟线 Reader")},
    {Py_tp_new, new_slot<new_reader_without_arguments>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kMinMethods},
    {0, nullptr},
};
PyType_Spec kMinSpec = {
    "quotix._internal.MinBarReader", sizeof(PyMinBarReader), 0, Py_TPFLAGS_DEFAULT, kMinSlots,
};
PyObject* g_MinBarReader = nullptr;

PyMethodDef kLcMethods[] = {
    {"parse_data", method<lc_parse_data>(), kFast,
     "parse_data($self, data)\n--\n\n解析 LC 格式分钟线数据 (浮点格式)"},
    {"parse_file", method<lc_parse_file>(), kFast, "parse_file($self, filename)\n--\n\n从文件读取并解析"},
    {"parse_data_tuples", method<lc_parse_data_tuples>(), kFast,
     "parse_data_tuples($self, data)\n--\n\n解析 LC 格式分钟线数据，返回 list of tuple (高性能模式)"},
    {"parse_file_tuples", method<lc_parse_file_tuples>(), kFast,
     "parse_file_tuples($self, filename)\n--\n\n从文件读取并解析，返回 list of tuple (高性能模式)"},
    {"to_dataframe", method<lc_to_dataframe>(), kFast,
     "to_dataframe($self, data)\n--\n\n解析LC分钟线数据, 返回 pandas DataFrame"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLcSlots[] = {
    {Py_tp_doc, const_cast<char*>("LcMinBarReader()\n--\n\nLC 格式分钟线 Reader")},
    {Py_tp_new, new_slot<new_reader_without_arguments>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kLcMethods},
    {0, nullptr},
};
PyType_Spec kLcSpec = {
    "quotix._internal.LcMinBarReader", sizeof(PyMinBarReader), 0, Py_TPFLAGS_DEFAULT, kLcSlots,
};
PyObject* g_LcMinBarReader = nullptr;

}  // namespace

PyObject* daily_bar_reader_class(PyObject* module) { return cached_type(g_DailyBarReader, module, &kDailySpec); }

PyObject* min_bar_reader_class(PyObject* module) { return cached_type(g_MinBarReader, module, &kMinSpec); }

PyObject* lc_min_bar_reader_class(PyObject* module) { return cached_type(g_LcMinBarReader, module, &kLcSpec); }

}  // namespace quotix::py
