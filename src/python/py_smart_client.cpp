// The Python class TdxSmartClient: remembers good servers in its cache file.
// Only the class object exists so far: start-up adds it at its place, and instances cannot be
// made until the class gains its constructor and methods.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyTdxSmartClient {
    PyObject_HEAD
};
PyType_Slot kTdxSmartClientSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxSmartClient()\n--\n\n智能连接客户端")},
    {0, nullptr},
};
PyType_Spec kTdxSmartClientSpec = {
    "quotix._internal.TdxSmartClient", sizeof(PyTdxSmartClient), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kTdxSmartClientSlots,
};
PyObject* g_TdxSmartClient = nullptr;

}  // namespace

PyObject* smart_client_class(PyObject* module) { return cached_type(g_TdxSmartClient, module, &kTdxSmartClientSpec); }

}  // namespace quotix::py
