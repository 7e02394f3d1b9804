// The Python class TdxHqFundClient: fund codes, fund classification and the fund list.
// Only the class object exists so far: start-up adds it at its place, and instances cannot be
// made until the class gains its constructor and methods.

#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

struct PyTdxHqFundClient {
    PyObject_HEAD
};
PyType_Slot kTdxHqFundClientSlots[] = {
    {Py_tp_doc, const_cast<char*>("TdxHqFundClient()\n--\n\n基金行情客户端")},
    {0, nullptr},
};
PyType_Spec kTdxHqFundClientSpec = {
    "quotix._internal.TdxHqFundClient", sizeof(PyTdxHqFundClient), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kTdxHqFundClientSlots,
};
PyObject* g_TdxHqFundClient = nullptr;

}  // namespace

PyObject* fund_client_class(PyObject* module) { return cached_type(g_TdxHqFundClient, module, &kTdxHqFundClientSpec); }

}  // namespace quotix::py
