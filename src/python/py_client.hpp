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

// ---- data methods (defined in py_client_*.cpp) --------------------------------------------
// Declare each one here, e.g.
//   PyObject* hq_get_security_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
//                                  PyObject* kwnames);
// and add its entry to kMethods in py_client.cpp at its place in the table.

}  // namespace quotix::py
