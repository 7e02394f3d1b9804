// The Python class TdxBlockClient: sector K-lines and quotes with their own limits.
// Only the class object exists so far: start-up adds it at its place, and instances cannot be
// made until the class gains its constructor and methods.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyTdxBlockClient {
    PyObject_HEAD
};
PyType_Slot kTdxBlockClientSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxBlockClient(ip, port, timeout)\n--\n\n板块行情客户端 - Python 绑定")},
    {0, nullptr},
};
PyType_Spec kTdxBlockClientSpec = {
    "quotix._internal.TdxBlockClient", sizeof(PyTdxBlockClient), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kTdxBlockClientSlots,
};
PyObject* g_TdxBlockClient = nullptr;

}  // namespace

PyObject* block_client_class(PyObject* module) { return cached_type(g_TdxBlockClient, module, &kTdxBlockClientSpec); }

}  // namespace quotix::py
