// The eleven class objects of the module and the constants, as module start-up adds them. Each
// getter makes its class object on first use and returns the same (borrowed) object afterwards,
// or nullptr with the Python exception set.
#pragma once

#include "python/pyhelpers.hpp"

namespace quotix::py {

PyObject* daily_bar_reader_class(PyObject* module);
PyObject* min_bar_reader_class(PyObject* module);
PyObject* lc_min_bar_reader_class(PyObject* module);
PyObject* block_reader_class(PyObject* module);
PyObject* financial_reader_class(PyObject* module);
PyObject* hq_client_class(PyObject* module);
PyObject* direct_client_class(PyObject* module);
PyObject* async_client_class(PyObject* module);
PyObject* smart_client_class(PyObject* module);
PyObject* fund_client_class(PyObject* module);
PyObject* block_client_class(PyObject* module);

// Sets the module constants as plain attributes, in their fixed order; false with the exception
// of the first one that could not be set.
bool register_constants(PyObject* module);

}  // namespace quotix::py
