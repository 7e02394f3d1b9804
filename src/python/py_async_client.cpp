// The Python class AsyncTdxHqClient: owns its own runtime and asynchronous client.
// Only the class object exists so far: start-up adds it at its place, and instances cannot be
// made until the class gains its constructor and methods.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyAsyncTdxHqClient {
    PyObject_HEAD
};
PyType_Slot kAsyncTdxHqClientSlots[] = {
    {Py_tp_doc, const_cast<char*>("AsyncTdxHqClient()\n--\n\n异步 TDX 行情客户端")},
    {0, nullptr},
};
PyType_Spec kAsyncTdxHqClientSpec = {
    "quotix._internal.AsyncTdxHqClient", sizeof(PyAsyncTdxHqClient), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kAsyncTdxHqClientSlots,
};
PyObject* g_AsyncTdxHqClient = nullptr;

}  // namespace

PyObject* async_client_class(PyObject* module) { return cached_type(g_AsyncTdxHqClient, module, &kAsyncTdxHqClientSpec); }

}  // namespace quotix::py
