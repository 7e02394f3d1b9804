// The local data file reader classes.
// Only the class object exists so far: start-up adds it at its place, and instances cannot be
// made until the class gains its constructor and methods.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyDailyBarReader {
    PyObject_HEAD
};
PyType_Slot kDailyBarReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("DailyBarReader()\n--\n\n日线 Reader")},
    {0, nullptr},
};
PyType_Spec kDailyBarReaderSpec = {
    "quotix._internal.DailyBarReader", sizeof(PyDailyBarReader), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kDailyBarReaderSlots,
};
PyObject* g_DailyBarReader = nullptr;

struct PyMinBarReader {
    PyObject_HEAD
};
PyType_Slot kMinBarReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("MinBarReader()\n--\n\n5分钟线 Reader")},
    {0, nullptr},
};
PyType_Spec kMinBarReaderSpec = {
    "quotix._internal.MinBarReader", sizeof(PyMinBarReader), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kMinBarReaderSlots,
};
PyObject* g_MinBarReader = nullptr;

struct PyLcMinBarReader {
    PyObject_HEAD
};
PyType_Slot kLcMinBarReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("LcMinBarReader()\n--\n\nLC 格式分钟线 Reader")},
    {0, nullptr},
};
PyType_Spec kLcMinBarReaderSpec = {
    "quotix._internal.LcMinBarReader", sizeof(PyLcMinBarReader), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kLcMinBarReaderSlots,
};
PyObject* g_LcMinBarReader = nullptr;

struct PyBlockReader {
    PyObject_HEAD
};
PyType_Slot kBlockReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("BlockReader()\n--\n\n板块文件 Reader")},
    {0, nullptr},
};
PyType_Spec kBlockReaderSpec = {
    "quotix._internal.BlockReader", sizeof(PyBlockReader), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kBlockReaderSlots,
};
PyObject* g_BlockReader = nullptr;

struct PyFinancialReader {
    PyObject_HEAD
};
PyType_Slot kFinancialReaderSlots[] = {
    {Py_tp_doc, const_cast<char*>("FinancialReader()\n--\n\n财务数据 Reader")},
    {0, nullptr},
};
PyType_Spec kFinancialReaderSpec = {
    "quotix._internal.FinancialReader", sizeof(PyFinancialReader), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kFinancialReaderSlots,
};
PyObject* g_FinancialReader = nullptr;

}  // namespace

PyObject* daily_bar_reader_class(PyObject* module) { return cached_type(g_DailyBarReader, module, &kDailyBarReaderSpec); }

PyObject* min_bar_reader_class(PyObject* module) { return cached_type(g_MinBarReader, module, &kMinBarReaderSpec); }

PyObject* lc_min_bar_reader_class(PyObject* module) { return cached_type(g_LcMinBarReader, module, &kLcMinBarReaderSpec); }

PyObject* block_reader_class(PyObject* module) { return cached_type(g_BlockReader, module, &kBlockReaderSpec); }

PyObject* financial_reader_class(PyObject* module) { return cached_type(g_FinancialReader, module, &kFinancialReaderSpec); }

}  // namespace quotix::py
