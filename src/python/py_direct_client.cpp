// The Python class TdxDirectClient: one fresh connection per request.
// Only the class object exists so far: start-up adds it at its place, and instances cannot be
// made until the class gains its constructor and methods.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyTdxDirectClient {
    PyObject_HEAD
};
PyType_Slot kTdxDirectClientSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxDirectClient(ip, port=7709, timeout=5.0)\n--\n\nTDX 裸连接客户端 — Python 绑定")},
    {0, nullptr},
};
PyType_Spec kTdxDirectClientSpec = {
    "quotix._internal.TdxDirectClient", sizeof(PyTdxDirectClient), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kTdxDirectClientSlots,
};
PyObject* g_TdxDirectClient = nullptr;

}  // namespace

PyObject* direct_client_class(PyObject* module) { return cached_type(g_TdxDirectClient, module, &kTdxDirectClientSpec); }

}  // namespace quotix::py
