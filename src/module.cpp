// Entry of the extension module quotix._internal. Importing reads the log level, adds the eleven
// classes and sets the constants; it starts no thread and opens no socket or file.
#include "core/logging.hpp"
#include "python/py_classes.hpp"

namespace {

using quotix::py::Ref;

struct ClassEntry {
    const char* name;
    PyObject* (*get)(PyObject* module);
};

// The order is part of the interface: __all__ lists the classes in it.
constexpr ClassEntry kClasses[] = {
    {"DailyBarReader", quotix::py::daily_bar_reader_class},
    {"MinBarReader", quotix::py::min_bar_reader_class},
    {"LcMinBarReader", quotix::py::lc_min_bar_reader_class},
    {"BlockReader", quotix::py::block_reader_class},
    {"FinancialReader", quotix::py::financial_reader_class},
    {"TdxHqClient", quotix::py::hq_client_class},
    {"TdxDirectClient", quotix::py::direct_client_class},
    {"AsyncTdxHqClient", quotix::py::async_client_class},
    {"TdxSmartClient", quotix::py::smart_client_class},
    {"TdxHqFundClient", quotix::py::fund_client_class},
    {"TdxBlockClient", quotix::py::block_client_class},
};

// The module's __all__, created empty when the module has none yet.
Ref all_list(PyObject* module) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (all) return all;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return Ref();
    return all;
}

int add_class(PyObject* module, const ClassEntry& entry) {
    PyObject* cls = entry.get(module);
    if (!cls) return -1;
    Ref all = all_list(module);
    if (!all) return -1;
    Ref name(PyUnicode_FromString(entry.name));
    if (!name || PyList_Append(all.get(), name.get()) != 0) return -1;
    return PyModule_AddObjectRef(module, entry.name, cls);
}

int exec_module(PyObject* module) {
    return quotix::py::guarded(-1, [&] {
        // Before any class exists, so every log line of every client honours it.
        quotix::logging::init_level_from_env();
        for (const ClassEntry& c : kClasses)
            if (add_class(module, c) != 0) return -1;
        return quotix::py::register_constants(module) ? 0 : -1;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_internal",
    "quotix - 通达信行情数据解析库\n\n提供高性能的 TDX 二进制数据解析，支持 Python 调用。",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__internal(void) { return PyModuleDef_Init(&kModule); }
