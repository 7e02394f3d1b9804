#include "python/py_async_frame.hpp"

#include <limits>

namespace quotix::py::async_frame {

// ---- borrows ---------------------------------------------------------------------------------

Borrow Borrow::shared(PyObject* self) {
    AsyncState& s = async_state(self);
    long cur = s.borrow.load();
    do {
        if (cur < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return Borrow(nullptr, false);
        }
    } while (!s.borrow.compare_exchange_weak(cur, cur + 1));
    return Borrow(&s, false);
}

Borrow Borrow::exclusive(PyObject* self) {
    AsyncState& s = async_state(self);
    long expected = 0;
    if (!s.borrow.compare_exchange_strong(expected, -1)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return Borrow(nullptr, true);
    }
    return Borrow(&s, true);
}

void Borrow::release() {
    if (!state_) return;
    if (exclusive_) state_->borrow.store(0);
    else state_->borrow.fetch_sub(1);
    state_ = nullptr;
}

// ---- conversions -----------------------------------------------------------------------------

namespace {

bool type_error(PyObject* obj, const char* what) {
    raise(PyExc_TypeError, std::string("'") + Py_TYPE(obj)->tp_name + "' object " + what);
    return false;
}

// Widths up to 32 bits: through the interpreter's 64-bit conversion, then the width.
template <class T>
bool narrow_unsigned(PyObject* obj, T& out) {
    Ref idx(PyNumber_Index(obj));
    if (!idx) return false;
    long long v = PyLong_AsLongLong(idx.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

}  // namespace

bool from_py(PyObject* obj, uint8_t& out) { return narrow_unsigned(obj, out); }
bool from_py(PyObject* obj, uint16_t& out) { return narrow_unsigned(obj, out); }
bool from_py(PyObject* obj, uint32_t& out) { return narrow_unsigned(obj, out); }

bool from_py(PyObject* obj, uint64_t& out) {
    Ref idx(PyNumber_Index(obj));
    if (!idx) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool from_py(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return type_error(obj, "cannot be converted to 'str'");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    out.assign(s, static_cast<size_t>(n));
    return true;
}

bool from_py(PyObject* obj, std::optional<double>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool from_py(PyObject* obj, Pairs& out) {
    if (PyUnicode_Check(obj)) return type_error(obj, "cannot be converted to a sequence of (market, code) tuples");
    if (!PySequence_Check(obj)) return type_error(obj, "is not a sequence");
    // A snapshot: converting an item runs Python code that could change a live sequence.
    Ref items(PySequence_Tuple(obj));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Pairs pairs;
    pairs.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item)) return type_error(item, "cannot be converted to 'tuple'");
        const Py_ssize_t len = PyTuple_GET_SIZE(item);
        if (len != 2) {
            raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(len));
            return false;
        }
        std::pair<uint8_t, std::string> p;
        if (!from_py(PyTuple_GET_ITEM(item, 0), p.first) || !from_py(PyTuple_GET_ITEM(item, 1), p.second))
            return false;
        pairs.push_back(std::move(p));
    }
    out = std::move(pairs);
    return true;
}

bool name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    // Making the TypeError's instance can itself run out of memory: that error then stands.
    if (!PyErr_GivenExceptionMatches(value, PyExc_TypeError)) {
        PyErr_Restore(type, value, tb);
        return false;
    }
    if (tb) PyException_SetTraceback(value, tb);
    Ref cause(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    Ref text(PyObject_Str(cause.get()));
    if (!text) return false;
    Ref prefix(PyUnicode_FromFormat("argument '%s': ", name));
    if (!prefix) return false;
    Ref message(PyUnicode_Concat(prefix.get(), text.get()));
    if (!message) return false;
    Ref error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return false;
    PyException_SetCause(error.get(), cause.release());  // steals
    PyErr_SetObject(PyExc_TypeError, error.get());
    return false;
}

}  // namespace quotix::py::async_frame
