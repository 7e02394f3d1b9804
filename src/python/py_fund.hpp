// The Python class TdxHqFundClient: one core fund::TdxHqFundClient per object, held by value.
//
// Construction, connecting, the static fund-code methods and the method table are in
// py_fund.cpp; the fund list and the data methods in py_fund_queries.cpp.
#pragma once

#include "fund/client.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

struct PyTdxHqFundClient {
    PyObject_HEAD
    fund::TdxHqFundClient core;
};

inline fund::TdxHqFundClient& fund_core(PyObject* self) {
    return reinterpret_cast<PyTdxHqFundClient*>(self)->core;
}

// ---- data methods (py_fund_queries.cpp); every failure is a ValueError -----------------------

PyObject* fund_get_fund_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fund_get_fund_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fund_get_fund_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fund_get_fund_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fund_get_fund_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* fund_get_fund_history_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames);
PyObject* fund_get_fund_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* fund_get_fund_history_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames);
PyObject* fund_get_fund_xdxr_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fund_get_fund_finance_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace quotix::py
