#include "python/py_direct_object.hpp"

#include <new>

#include "core/constants.hpp"
#include "python/py_core_object.hpp"
#include "python/py_reader_common.hpp"

namespace quotix::py {

PyObject* new_direct_object(PyTypeObject* type, std::string ip, uint16_t port, double timeout) {
    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<PyDirectObject*>(self);
    try {
        new (&obj->mu) std::mutex();
        new (&obj->core) net::TdxDirectClient(std::move(ip), port, timeout, net::FQ_CONTEXT_MID);
    } catch (...) {
        // The core never came to life: undo the mutex and free the bare object.
        obj->mu.~mutex();
        free_instance(self);
        return raise_current_exception();
    }
    return self;
}

void direct_object_dealloc(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<PyDirectObject*>(self);
    obj->core.~TdxDirectClient();
    obj->mu.~mutex();
    free_instance(self);
}

PyObject* construct_direct_object(const char* fname, size_t required, PyTypeObject* type,
                                  PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ip", "port", "timeout"};
    PyObject* given[3] = {};
    if (!bind_constructor(fname, names, 3, required, args, kwargs, given)) return nullptr;
    std::string ip;
    uint16_t port = DEFAULT_PORT;
    double timeout = 5.0;
    if (!convert(Arg{fname, "ip", given[0]}, ip)) return nullptr;
    if (given[1] && !convert(Arg{fname, "port", given[1]}, port)) return nullptr;
    if (given[2] && !convert(Arg{fname, "timeout", given[2]}, timeout)) return nullptr;
    // Refused here, so a value no socket can take never sits in the object.
    if (!check_timeout(fname, "timeout", timeout)) return nullptr;
    return new_direct_object(type, std::move(ip), port, timeout);
}

PyObject* direct_set_server(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const Params<2> P{"set_server", {"ip", "port"}, 2};
    Bound<2> b;
    std::string ip;
    uint16_t port = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, ip) || !b.get(1, port)) return nullptr;
    with_core(self, [&](net::TdxDirectClient& c) { c.set_server(ip, port); });
    Py_RETURN_NONE;
}

PyObject* direct_set_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const Params<1> P{"set_timeout", {"timeout"}, 1};
    Bound<1> b;
    double timeout = 0;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, timeout)) return nullptr;
    if (!check_timeout("set_timeout", "timeout", timeout)) return nullptr;
    with_core(self, [&](net::TdxDirectClient& c) { c.timeout = timeout; });
    Py_RETURN_NONE;
}

}  // namespace quotix::py
