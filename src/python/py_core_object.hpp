// Python objects that hold their C++ core by value right after the object header: the core is
// built in place when the object is made and destroyed in place when it goes, so no second
// allocation stands between Python and the client.
#pragma once

#include <new>

#include "python/pyhelpers.hpp"

namespace quotix::py {

// A bare instance of `type` from the type's own allocator; null with the exception set.
inline PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

// Gives back the memory of an instance whose C++ members are already destroyed (or never came
// to life) and drops the reference it held on its heap type. That is never the type's last
// reference (each class object stays cached for the life of the process), so this runs no Python
// code, which a noexcept dealloc slot must not.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// tp_new of a class whose constructor takes no arguments and whose object `Obj` holds a
// default-constructed member `core`. `no_args` is the TypeError text for any argument given.
template <class Obj>
PyObject* new_core_object(PyTypeObject* type, PyObject* args, PyObject* kwds, const char* no_args) {
    if ((args && PyTuple_GET_SIZE(args) != 0) || (kwds && PyDict_GET_SIZE(kwds) != 0))
        return raise(PyExc_TypeError, no_args);
    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    try {
        new (&reinterpret_cast<Obj*>(self)->core) decltype(Obj::core)();
    } catch (...) {
        // The core never came to life: free the bare object without running its destructor.
        free_instance(self);
        return raise_current_exception();
    }
    return self;
}

// tp_dealloc to match new_core_object: the core's destructor runs first (for a network client
// it joins a running heartbeat thread, which never needs the interpreter lock).
template <class Obj>
void dealloc_core_object(PyObject* self) noexcept {
    using Core = decltype(Obj::core);
    reinterpret_cast<Obj*>(self)->core.~Core();
    free_instance(self);
}

}  // namespace quotix::py
