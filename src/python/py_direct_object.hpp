// The Python object shared by TdxDirectClient and TdxBlockClient: one core net::TdxDirectClient
// behind a mutex. Each call takes the mutex for all of its round trips and lets it go before any
// Python result is built, so one object serves one call at a time.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "net/direct_client.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

struct PyDirectObject {
    PyObject_HEAD
    std::mutex mu;
    net::TdxDirectClient core;
};

// Allocates an object of `type` and builds its core in place (mid adjustment tier). Returns null
// with the exception set on failure.
PyObject* new_direct_object(PyTypeObject* type, std::string ip, uint16_t port, double timeout);
void direct_object_dealloc(PyObject* self) noexcept;

// Runs `f(core)` under the object's mutex and returns what it returns.
template <class F>
auto with_core(PyObject* self, F&& f) {
    auto* obj = reinterpret_cast<PyDirectObject*>(self);
    std::lock_guard lock(obj->mu);
    return std::forward<F>(f)(obj->core);
}

// The constructor arguments and the two setters, the same in both classes. `fname` names the
// class in error messages; `required` is how many of (ip, port, timeout) have no default.
PyObject* construct_direct_object(const char* fname, size_t required, PyTypeObject* type,
                                  PyObject* args, PyObject* kwargs);
PyObject* direct_set_server(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* direct_set_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace quotix::py
