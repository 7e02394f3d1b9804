#include "python/py_reader_common.hpp"

#include <cstring>

namespace quotix::py {

namespace {

bool data_type_error(const Arg& a) {
    raise(PyExc_TypeError, a.describe() + " must be bytes, bytearray or a sequence of int, not " +
                               Py_TYPE(a.obj)->tp_name);
    return false;
}

bool copy_items(const Arg& a, std::vector<uint8_t>& out) {
    // A snapshot: an item's __index__ cannot resize what is being walked.
    Ref items(PySequence_Tuple(a.obj));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        uint8_t b = 0;
        if (PyLong_CheckExact(item)) {
            // The common case of a list of small ints, without the general conversion.
            int overflow = 0;
            const long v = PyLong_AsLongAndOverflow(item, &overflow);
            if (overflow == 0 && v >= 0 && v <= 255) {
                bytes.push_back(static_cast<uint8_t>(v));
                continue;
            }
        }
        if (!convert(Arg{a.fname, a.name, item, i}, b)) return false;
        bytes.push_back(b);
    }
    out = std::move(bytes);
    return true;
}

bool bind_one(const char* fname, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject*& out) {
    const char* const names[] = {name};
    return bind_arguments(fname, names, 1, 1, args, nargs, kwnames, &out);
}

}  // namespace

bool convert(const Arg& a, ReaderData& out) {
    PyObject* o = a.obj;
    if (PyBytes_Check(o)) {
        const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
        out.bytes.assign(p, p + PyBytes_GET_SIZE(o));
        return true;
    }
    if (PyByteArray_Check(o)) {
        const auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(o));
        out.bytes.assign(p, p + PyByteArray_GET_SIZE(o));
        return true;
    }
    // Text is never encoded into bytes, although a str is a sequence.
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return data_type_error(a);
    return copy_items(a, out.bytes);
}

bool bind_reader_data(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      ReaderData& out) {
    PyObject* obj = nullptr;
    if (!bind_one(fname, "data", args, nargs, kwnames, obj)) return false;
    return convert(Arg{fname, "data", obj}, out);
}

bool bind_reader_filename(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          std::string& out) {
    PyObject* obj = nullptr;
    if (!bind_one(fname, "filename", args, nargs, kwnames, obj)) return false;
    return convert(Arg{fname, "filename", obj}, out);
}

bool bind_constructor(const char* fname, const char* const* names, size_t n, size_t required, PyObject* args,
                      PyObject* kwargs, PyObject** out) {
    // Lay the tuple and the dict out as a fast call: positional values, then keyword values in
    // the order of their names.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> values(static_cast<size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw > 0) {
        kwnames = Ref(PyTuple_New(nkw));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            values[static_cast<size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return bind_arguments(fname, names, n, required, values.data(), nargs, kwnames.get(), out);
}

PyObject* new_reader_without_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Every reader's name is "quotix._internal.<class>", and none can be subclassed.
    const char* name = std::strrchr(type->tp_name, '.') + 1;
    if (!bind_constructor(name, nullptr, 0, 0, args, kwargs, nullptr)) return nullptr;
    return type->tp_alloc(type, 0);
}

bool read_goes_on_after_signal() { return PyErr_CheckSignals() == 0; }

void reader_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // never the last reference: the class object stays cached
}

}  // namespace quotix::py
