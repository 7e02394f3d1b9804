// The Python class TdxHqClient: one core net::TdxHqClient per object, held by value.
//
// The class's methods live in several files: connection, settings, server lists and probing in
// py_client.cpp; the data methods in py_client_*.cpp files, each declared below and listed in the
// method table of py_client.cpp at its position.
#pragma once

#include "net/client.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

struct PyTdxHqClient {
    PyObject_HEAD
    net::TdxHqClient core;
};

inline net::TdxHqClient& hq_core(PyObject* self) { return reinterpret_cast<PyTdxHqClient*>(self)->core; }

// Signature of a method entry: (self, args, nargs, kwnames), bound with Params/Bound.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// ---- data methods, listed in the method table of py_client.cpp at their positions ----------

// K-lines and the adjustment factor report (py_client_bars.cpp)
PyObject* hq_get_security_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_security_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_index_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_index_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_security_bars_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_index_bars_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_security_bars_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_index_bars_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_calc_fq_factors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Real-time quotes (py_client_quotes.cpp)
PyObject* hq_get_security_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_security_quotes_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_security_quotes_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Lists, counts, minute time, transactions, finance, XDXR, block files (py_client_misc.cpp)
PyObject* hq_get_security_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_security_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_history_minute_time_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_history_transaction_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_finance_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_finance_info_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_xdxr_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hq_get_and_parse_block_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quotix::py
