#include "python/pyhelpers.hpp"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace quotix::py {

// ---------------------------------------------------------------------------------------------
// Deferred releases

namespace {

// Per thread, since each thread runs its own guards; only touched with the interpreter lock held.
struct DeferredReleases {
    size_t depth = 0;               // guards running on this thread
    std::vector<PyObject*> owned;   // references waiting for the end of a guard, oldest first
};
thread_local DeferredReleases t_deferred;

}  // namespace

namespace detail {

void defer_release(PyObject* o) noexcept {
    DeferredReleases& d = t_deferred;
    if (d.depth > 0) {
        try {
            d.owned.push_back(o);
            return;
        } catch (const std::exception&) {
            // Not even room for a pointer: released here rather than leaked.
        }
    }
    // Outside any guard no frame of ours is left to release it later.
    Py_DECREF(o);
}

size_t enter_guard() noexcept {
    DeferredReleases& d = t_deferred;
    ++d.depth;
    return d.owned.size();
}

void leave_guard(size_t mark) {
    DeferredReleases& d = t_deferred;
    --d.depth;
    // Each reference is taken off the list before it is released. The Python code a release
    // runs may call another of our methods, whose guard then releases only what it deferred
    // itself, above its own mark; should the thread be ended during one, the rest stays
    // unreleased, harmless at exit.
    for (size_t i = mark; i < d.owned.size(); ++i) {
        PyObject* o = std::exchange(d.owned[i], nullptr);
        Py_DECREF(o);
    }
    d.owned.resize(mark);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Exceptions

Ref to_py(std::string_view s) {
    return Ref(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

PyObject* raise(PyObject* type, std::string_view text) {
    Ref s = to_py(text);
    if (s) PyErr_SetObject(type, s.get());
    return nullptr;
}

namespace {

PyObject* exception_type_for(const TdxError& e) {
    switch (e.kind()) {
        case TdxError::Kind::Connection:
        case TdxError::Kind::ConnectionTimeout:
        case TdxError::Kind::Disconnected:
            return PyExc_ConnectionError;
        default:
            return PyExc_ValueError;
    }
}

}  // namespace

PyObject* raise_tdx(const TdxError& error) { return raise(exception_type_for(error), error.display()); }

PyObject* raise_value_error(const TdxError& error) { return raise(PyExc_ValueError, error.display()); }

// ---------------------------------------------------------------------------------------------
// Argument binding

bool bind_arguments(const char* fname, const char* const* names, size_t n, size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t len = static_cast<Py_ssize_t>(n);
    if (nargs + nkw > len) {
        std::string msg = std::string(fname) + "()";
        if (n == 0) {
            msg += " takes no arguments (" + std::to_string(nargs + nkw) + " given)";
        } else {
            msg += " takes at most " + std::to_string(n) + (nargs == 0 ? " keyword" : "") +
                   (n == 1 ? " argument (" : " arguments (") + std::to_string(nargs + nkw) + " given)";
        }
        raise(PyExc_TypeError, msg);
        return false;
    }
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;

    // Keywords first find their slots; the errors are reported in CPython's order below.
    PyObject* unknown = nullptr;
    std::vector<PyObject*> by_name(n, nullptr);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t j = 0;
        while (j < n && PyUnicode_CompareWithASCIIString(key, names[j]) != 0) ++j;
        if (j == n) {
            if (!unknown) unknown = key;
            continue;
        }
        by_name[j] = args[nargs + k];
    }
    for (size_t i = 0; i < n; ++i) {
        if (by_name[i]) {
            if (out[i]) {
                raise(PyExc_TypeError, std::string("argument for ") + fname + "() given by name ('" +
                                           names[i] + "') and position (" + std::to_string(i + 1) + ")");
                return false;
            }
            out[i] = by_name[i];
        }
        if (!out[i] && i < required) {
            raise(PyExc_TypeError, std::string(fname) + "() missing required argument '" + names[i] +
                                       "' (pos " + std::to_string(i + 1) + ")");
            return false;
        }
    }
    if (unknown) {
        // The keyword is the caller's text: it goes in as an argument (%U), never as the format.
        Ref msg(PyUnicode_FromFormat("'%U' is an invalid keyword argument for %s()", unknown, fname));
        if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
        return false;
    }
    return true;
}

std::string Arg::describe() const {
    std::string s = std::string(fname) + "() argument '" + name + "'";
    if (item >= 0) s += " item " + std::to_string(item);
    if (element >= 0) s += " element " + std::to_string(element);
    return s;
}

// ---------------------------------------------------------------------------------------------
// Converters

namespace {

bool type_error(const Arg& a, const char* expected) {
    raise(PyExc_TypeError,
          a.describe() + " must be " + expected + ", not " + Py_TYPE(a.obj)->tp_name);
    return false;
}

bool range_error(const Arg& a, const std::string& lo, const std::string& hi) {
    raise(PyExc_OverflowError, a.describe() + " out of range (" + lo + " to " + hi + ")");
    return false;
}

bool index_of(const Arg& a, Ref& idx) {
    if (!PyIndex_Check(a.obj)) return type_error(a, "int");
    idx = Ref(PyNumber_Index(a.obj));
    return static_cast<bool>(idx);
}

bool unsigned_value(const Arg& a, uint64_t max, uint64_t& out) {
    Ref idx;
    if (!index_of(a, idx)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
        if (v < 0 || static_cast<unsigned long long>(v) > max) return range_error(a, "0", std::to_string(max));
        out = static_cast<uint64_t>(v);
        return true;
    }
    if (overflow < 0 || max != std::numeric_limits<uint64_t>::max())
        return range_error(a, "0", std::to_string(max));
    unsigned long long u = PyLong_AsUnsignedLongLong(idx.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return range_error(a, "0", std::to_string(max));
    }
    out = u;
    return true;
}

template <class T>
bool unsigned_into(const Arg& a, T& out) {
    uint64_t v = 0;
    if (!unsigned_value(a, std::numeric_limits<T>::max(), v)) return false;
    out = static_cast<T>(v);
    return true;
}

}  // namespace

bool convert(const Arg& a, uint8_t& out) { return unsigned_into(a, out); }
bool convert(const Arg& a, uint16_t& out) { return unsigned_into(a, out); }
bool convert(const Arg& a, uint32_t& out) { return unsigned_into(a, out); }
bool convert(const Arg& a, uint64_t& out) { return unsigned_into(a, out); }

bool convert(const Arg& a, double& out) {
    if (PyFloat_Check(a.obj)) {
        out = PyFloat_AS_DOUBLE(a.obj);
        return true;
    }
    PyNumberMethods* nm = Py_TYPE(a.obj)->tp_as_number;
    if (!PyIndex_Check(a.obj) && !(nm && nm->nb_float)) return type_error(a, "float");
    double v = PyFloat_AsDouble(a.obj);
    if (v == -1.0 && PyErr_Occurred()) {
        // An int past the double range: said of this argument, like any other overflow.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        raise(PyExc_OverflowError, a.describe() + " too large to convert to float");
        return false;
    }
    out = v;
    return true;
}

bool convert(const Arg& a, std::optional<double>& out) {
    if (a.obj == Py_None) {
        out.reset();
        return true;
    }
    double v = 0;
    if (!convert(a, v)) return false;
    out = v;
    return true;
}

bool convert(const Arg& a, std::string& out) {
    if (!PyUnicode_Check(a.obj)) return type_error(a, "str");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(a.obj, &n);
    if (!s) return false;
    out.assign(s, static_cast<size_t>(n));
    return true;
}

bool convert(const Arg& a, bool& out) {
    if (PyBool_Check(a.obj)) {
        out = a.obj == Py_True;
        return true;
    }
    // numpy's boolean scalar, recognised by its type's name so numpy is never imported here
    // ("numpy.bool_" before numpy 2, "numpy.bool" since).
    const char* tn = Py_TYPE(a.obj)->tp_name;
    if (std::strcmp(tn, "numpy.bool_") == 0 || std::strcmp(tn, "numpy.bool") == 0) {
        int t = PyObject_IsTrue(a.obj);
        if (t < 0) return false;
        out = t != 0;
        return true;
    }
    return type_error(a, "bool");
}

namespace detail {

bool sequence_items(const Arg& a, Ref& items) {
    if (PyUnicode_Check(a.obj) || !PySequence_Check(a.obj))
        return type_error(a, "a list or tuple of tuples");
    items = Ref(PySequence_Tuple(a.obj));
    return static_cast<bool>(items);
}

bool tuple_of_length(const Arg& item_arg, Py_ssize_t want) {
    if (!PyTuple_Check(item_arg.obj)) return type_error(item_arg, "tuple");
    Py_ssize_t got = PyTuple_GET_SIZE(item_arg.obj);
    if (got != want) {
        raise(PyExc_ValueError, "expected tuple of length " + std::to_string(want) +
                                    ", but got tuple of length " + std::to_string(got));
        return false;
    }
    return true;
}

}  // namespace detail

bool check_timeout(const char* fname, const char* name, double seconds) {
    if (std::isfinite(seconds) && seconds >= 0) return true;
    raise(PyExc_ValueError, std::string(fname) + "() argument '" + name +
                                "' must be a finite, non-negative number of seconds");
    return false;
}

// ---------------------------------------------------------------------------------------------
// Result builders

KeySet::KeySet(std::initializer_list<const char*> names) : names_(names) {}

PyObject* const* KeySet::keys() {
    if (objs_.size() == names_.size()) return objs_.data();
    std::vector<PyObject*> made;
    made.reserve(names_.size());
    for (const char* n : names_) {
        PyObject* k = PyUnicode_InternFromString(n);
        if (!k) {
            for (PyObject* o : made) Py_DECREF(o);
            return nullptr;
        }
        made.push_back(k);
    }
    // Kept for the life of the process, like the class objects that use them.
    objs_ = std::move(made);
    return objs_.data();
}

DictBuilder::DictBuilder(KeySet& keys) : n_(keys.size()) {
    keys_ = keys.keys();
    if (!keys_) return;
    dict_ = Ref(PyDict_New());
    ok_ = static_cast<bool>(dict_);
}

void DictBuilder::put(Ref value) {
    if (!value || next_ >= n_) {
        if (value) PyErr_SetString(PyExc_SystemError, "DictBuilder: more values than keys");
        ok_ = false;
        return;
    }
    if (PyDict_SetItem(dict_.get(), keys_[next_], value.get()) != 0) {
        ok_ = false;
        return;
    }
    ++next_;
}

Ref DictBuilder::finish() {
    if (!ok_) return Ref();
    if (next_ != n_) {
        PyErr_SetString(PyExc_SystemError, "DictBuilder: fewer values than keys");
        return Ref();
    }
    return std::move(dict_);
}

TupleBuilder::TupleBuilder(size_t n) : n_(n) {
    tuple_ = Ref(PyTuple_New(static_cast<Py_ssize_t>(n)));
    ok_ = static_cast<bool>(tuple_);
}

void TupleBuilder::put(Ref value) {
    if (!value || next_ >= n_) {
        if (value) PyErr_SetString(PyExc_SystemError, "TupleBuilder: more values than slots");
        ok_ = false;
        return;
    }
    PyTuple_SET_ITEM(tuple_.get(), static_cast<Py_ssize_t>(next_++), value.release());
}

Ref TupleBuilder::finish() {
    if (!ok_) return Ref();
    if (next_ != n_) {
        PyErr_SetString(PyExc_SystemError, "TupleBuilder: fewer values than slots");
        return Ref();
    }
    return std::move(tuple_);
}

// ---------------------------------------------------------------------------------------------
// Class objects

PyObject* raise_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise(PyExc_RuntimeError, e.what());
    } catch (...) {
        return raise(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

PyObject* cached_type(PyObject*& slot, PyObject* module, PyType_Spec* spec) {
    if (slot) return slot;
    slot = PyType_FromModuleAndSpec(module, spec, nullptr);
    // CPython 3.11 fails without an exception when it cannot copy the type's name; the start-up
    // that called us must still end in the MemoryError it is, not in a SystemError.
    if (!slot && !PyErr_Occurred()) PyErr_NoMemory();
    return slot;
}

}  // namespace quotix::py
