// FinancialReader: local financial files, one dict per security with the report date and the
// record's floats in stored order (their meaning is left to the caller).

#include "python/py_classes.hpp"
#include "python/py_reader_common.hpp"
#include "reader/financial.hpp"

namespace quotix::py {
namespace {

using reader::FinancialRecord;

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

Ref row(const FinancialRecord& r) {
    static KeySet keys{"code", "report_date", "fields"};
    // Each f32 widened exactly: 0.1f stays 0.10000000149011612, not 0.1.
    Ref fields = list_of(r.fields, [](float f) { return to_py(static_cast<double>(f)); });
    if (!fields) return fields;
    DictBuilder d(keys);
    d.add(r.code).add(r.report_date).add(std::move(fields));
    return d.finish();
}

Ref rows(const std::vector<FinancialRecord>& records) { return list_of(records, row); }

PyObject* parse_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader_from_data("parse_data", args, nargs, kwnames, reader::parse_financial, rows);
}

PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reader_from_file("parse_file", args, nargs, kwnames, reader::parse_financial, rows);
}

PyMethodDef kMethods[] = {
    {"parse_data", method<parse_data>(), kFast, "parse_data($self, data)\n--\n\n解析财务数据"},
    {"parse_file", method<parse_file>(), kFast, "parse_file($self, filename)\n--\n\n从文件读取并解析"},
    {nullptr, nullptr, 0, nullptr},
};

struct PyFinancialReader {
    PyObject_HEAD
};
PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("FinancialReader()\n--\n\n财务数据 Reader")},
    {Py_tp_new, new_slot<new_reader_without_arguments>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};
PyType_Spec kSpec = {
    "quotix._internal.FinancialReader", sizeof(PyFinancialReader), 0, Py_TPFLAGS_DEFAULT, kSlots,
};
PyObject* g_type = nullptr;

}  // namespace

PyObject* financial_reader_class(PyObject* module) { return cached_type(g_type, module, &kSpec); }

}  // namespace quotix::py
