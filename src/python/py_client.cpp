// The Python class TdxHqClient (the pooled main client).
// Only the class object exists so far.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyTdxHqClient {
    PyObject_HEAD
};
PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxHqClient()\n--\n\nTDX 行情客户端 - Python 绑定")},
    {0, nullptr},
};
PyType_Spec kSpec = {
    "quotix._internal.TdxHqClient", sizeof(PyTdxHqClient), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots,
};
PyObject* g_type = nullptr;

}  // namespace

PyObject* hq_client_class(PyObject* module) { return cached_type(g_type, module, &kSpec); }

}  // namespace quotix::py
