// The small layer every Python class of the module stands on: owned references, argument binding
// and conversion with CPython-like errors, result builders with cached key objects, and the one
// mapping from TdxError to a Python exception.
//
// A method is written METH_FASTCALL | METH_KEYWORDS:
//
//   PyObject* connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//       static const Params<3> P{"connect", {"ip", "port", "timeout"}, 2};
//       Bound<3> b;
//       std::string ip;
//       uint16_t port = 0;
//       std::optional<double> timeout;  // the default stays when the argument is omitted
//       if (!P.bind(args, nargs, kwnames, b) || !b.get(0, ip) || !b.get(1, port) ||
//           !b.get(2, timeout))
//           return nullptr;
//       ...
//   }
//
// and a result is built after the core call has returned:
//
//   Result<std::vector<SecurityBar>> r = hq_core(self).get_security_bars(...);
//   if (!r) return raise_tdx(r.error());
//   static KeySet keys{"open", "close", "high", "low"};
//   return list_of(*r, [](const SecurityBar& b) {
//              return DictBuilder(keys).add(b.open).add(b.close).add(b.high).add(b.low).finish();
//          }).release();
//
// Every function that returns bool or a null Ref has set a Python exception when it fails.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace quotix::py {

// ---------------------------------------------------------------------------------------------
// Owned references

// False only on a thread that CPython is ending (a forced unwind while the interpreter finalises
// and another thread holds its lock): such a thread leaves what it owns unreleased, which is
// harmless at exit, where releasing it would touch objects without the lock.
inline bool may_release() noexcept { return !_Py_IsFinalizing() || PyGILState_Check(); }

namespace detail {
// Freeing an object of one of these exact types runs no Python code: they hold no other object,
// have no finaliser and take no weak references.
inline bool frees_quietly(PyObject* o) noexcept {
    return PyFloat_CheckExact(o) || PyLong_CheckExact(o) || PyUnicode_CheckExact(o) ||
           PyBytes_CheckExact(o);
}
// Keeps `o` for the innermost guard on this thread to release when its body has returned;
// released at once when no guard runs here or the list cannot grow.
void defer_release(PyObject* o) noexcept;
// What guarded() does around its body: enter returns the mark that leave releases back to.
size_t enter_guard() noexcept;
void leave_guard(size_t mark);
}  // namespace detail

// Drops one owned reference. Dropping the last one can run any Python code (a __del__, a
// weak-reference callback, the release of what the object held), and that code can let go of
// the interpreter lock; should finalisation start meanwhile, CPython ends this thread with
// pthread_exit when it asks for the lock again, and that forced unwind aborts the process at the
// first noexcept frame it meets: every destructor is one, and so is every std container's. So
// such a release waits for the end of the guard the method runs in (guarded() below), whose
// frame lets the unwind pass. Lowering a count that stays above zero, or freeing a plain scalar,
// runs no code and is done here.
inline void release_ref(PyObject* o) noexcept {
    if (!may_release()) return;
    if (Py_REFCNT(o) > 1 || detail::frees_quietly(o)) Py_DECREF(o);
    else detail::defer_release(o);
}

// Owns one strong reference (or none). Move-only.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference; nullptr is allowed and means "failed" to callers that test it.
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            if (old) release_ref(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p_) release_ref(p_);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning from a method or stealing APIs).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Exceptions

// Sets `type` with one str argument decoded from UTF-8 (invalid bytes replaced), so server and
// user text never pass through a format string. Always returns nullptr.
PyObject* raise(PyObject* type, std::string_view text);

// The exception a failed core call raises: ConnectionError for Connection, ConnectionTimeout and
// Disconnected, ValueError for everything else (coded errors in their coded form). The text is
// always the error's display text. Always returns nullptr.
PyObject* raise_tdx(const TdxError& error);
// ValueError with the display text, whatever the variant (for methods that map every failure
// to ValueError). Always returns nullptr.
PyObject* raise_value_error(const TdxError& error);

// ---------------------------------------------------------------------------------------------
// Argument binding

// Binds fast-call arguments to N named parameters, each allowed by position or by keyword; the
// first `required` are mandatory. Errors follow CPython's own keyword parsing: "f() takes at most
// N arguments (M given)", "argument for f() given by name ('x') and position (1)",
// "f() missing required argument 'x' (pos 1)", "'y' is an invalid keyword argument for f()".
bool bind_arguments(const char* fname, const char* const* names, size_t n, size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// One argument on its way to a C++ value; names it in error messages.
struct Arg {
    const char* fname;
    const char* name;
    PyObject* obj;
    Py_ssize_t item = -1;  // index within a sequence argument, or -1
    int element = -1;      // index within that item's tuple, or -1

    // "connect() argument 'port'" or "set_servers() argument 'servers' item 2 element 3".
    std::string describe() const;
};

template <size_t N>
struct Bound {
    const char* fname = nullptr;
    const char* const* names = nullptr;
    PyObject* v[N > 0 ? N : 1] = {};

    bool given(size_t i) const { return v[i] != nullptr; }
    PyObject* obj(size_t i) const { return v[i]; }
    // Converts argument i into `out`; an omitted argument leaves `out` (its default) untouched.
    template <class T>
    bool get(size_t i, T& out) const;
};

template <size_t N>
struct Params {
    const char* fname;
    std::array<const char*, N> names;
    size_t required;

    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& b) const {
        b.fname = fname;
        b.names = names.data();
        return bind_arguments(fname, names.data(), N, required, args, nargs, kwnames, b.v);
    }
};

// ---------------------------------------------------------------------------------------------
// Converters. Wrong Python type: TypeError naming the argument; integer outside the width:
// OverflowError naming it. Integers are taken through __index__ (so bools and numpy integers are
// ints, floats are not).

bool convert(const Arg& a, uint8_t& out);
bool convert(const Arg& a, uint16_t& out);
bool convert(const Arg& a, uint32_t& out);
bool convert(const Arg& a, uint64_t& out);
// A float or an int (or anything with __index__); None and other types raise TypeError, an int
// past the double range OverflowError.
bool convert(const Arg& a, double& out);
// None gives nullopt; otherwise as double.
bool convert(const Arg& a, std::optional<double>& out);
// A str, as UTF-8 (a str with lone surrogates raises UnicodeEncodeError).
bool convert(const Arg& a, std::string& out);
// A Python bool, or a numpy boolean scalar through its truth value; nothing else.
bool convert(const Arg& a, bool& out);

// A sequence (never a str) of tuples of exactly sizeof...(Ts) items, each item converted by the
// converter of its type. A tuple of another length raises ValueError "expected tuple of length
// N, but got tuple of length M". The whole sequence is converted before `out` is replaced.
template <class... Ts>
bool convert(const Arg& a, std::vector<std::tuple<Ts...>>& out);

// Timeouts in seconds: refuses negative, NaN and infinite values with ValueError, so they never
// reach a socket. Returns false with the error set.
bool check_timeout(const char* fname, const char* name, double seconds);

// ---------------------------------------------------------------------------------------------
// Result values

inline Ref to_py(double v) { return Ref(PyFloat_FromDouble(v)); }
Ref to_py(std::string_view s);  // UTF-8, invalid bytes replaced
inline Ref to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline Ref to_py(const char* s) { return to_py(std::string_view(s)); }
template <class T>
    requires std::is_integral_v<T>
Ref to_py(T v) {
    if constexpr (std::is_same_v<T, bool>) return Ref::borrow(v ? Py_True : Py_False);
    else if constexpr (std::is_signed_v<T>) return Ref(PyLong_FromLongLong(static_cast<long long>(v)));
    else return Ref(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
}
template <class T>
Ref to_py(const std::optional<T>& v) {
    if (!v) return Ref::borrow(Py_None);
    return to_py(*v);
}
inline Ref to_py(Ref&& r) { return std::move(r); }
inline Ref none() { return Ref::borrow(Py_None); }

// A fixed set of dict keys, made into interned str objects once (on first use) and kept for the
// life of the process. Declare one per result shape as a function-local static:
//   static KeySet keys{"open", "close", ...};
class KeySet {
public:
    KeySet(std::initializer_list<const char*> names);
    size_t size() const { return names_.size(); }
    const char* name(size_t i) const { return names_[i]; }
    // The interned key objects (borrowed), or nullptr with an error set on the first failure.
    PyObject* const* keys();

private:
    std::vector<const char*> names_;
    std::vector<PyObject*> objs_;
};

// Fills a new dict key by key in the KeySet's order:
//   DictBuilder d(keys); d.add(bar.open); ...; Ref r = d.finish();
// Each add converts with to_py; after the first failure the rest are skipped and finish() returns
// a null Ref with the error set. finish() also checks that every key received a value.
class DictBuilder {
public:
    explicit DictBuilder(KeySet& keys);
    template <class T>
    DictBuilder& add(T&& v) {
        if (ok_) put(to_py(std::forward<T>(v)));
        return *this;
    }
    Ref finish();

private:
    void put(Ref value);
    PyObject* const* keys_ = nullptr;
    size_t n_ = 0;
    size_t next_ = 0;
    bool ok_ = false;
    Ref dict_;
};

// Fills a new tuple of n items in order; same failure rule as DictBuilder.
class TupleBuilder {
public:
    explicit TupleBuilder(size_t n);
    template <class T>
    TupleBuilder& add(T&& v) {
        if (ok_) put(to_py(std::forward<T>(v)));
        return *this;
    }
    Ref finish();

private:
    void put(Ref value);
    size_t n_;
    size_t next_ = 0;
    bool ok_ = false;
    Ref tuple_;
};

// A list with one item per element of `items`, made by `make(const T&) -> Ref`.
template <class Seq, class F>
Ref list_of(const Seq& items, F&& make) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        Ref v = make(item);
        if (!v) return Ref();
        PyList_SET_ITEM(list.get(), i++, v.release());
    }
    return list;
}

// ---------------------------------------------------------------------------------------------
// Class objects

// Each class object is made once per process from its spec and reused by every later import.
// Returns a borrowed reference to the cached type, or nullptr with the error set.
PyObject* cached_type(PyObject*& slot, PyObject* module, PyType_Spec* spec);

// Turns the C++ exception being handled (memory exhaustion, a failed thread start) into a Python
// one; call only inside a catch block. Always returns nullptr.
PyObject* raise_current_exception();

// Runs `body` and returns its value; a C++ exception becomes a Python one and `failed` is
// returned. CPython ends a thread that asks for the interpreter lock during finalisation with
// pthread_exit, whose forced unwind must pass on: a catch-all that swallows it aborts the
// process, and so does a noexcept frame it meets, hence no noexcept on any of these guards.
// The releases the body's destructors deferred (release_ref) are made here, in this frame, after
// the body has returned; a forced unwind out of the body or out of one of them leaves the rest
// unreleased, as the thread ends without the lock.
template <class R, class Body>
R guarded(R failed, Body&& body) {
    const size_t mark = detail::enter_guard();
    R result = failed;
    try {
        result = body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_current_exception();
    }
    detail::leave_guard(mark);
    return result;
}

// The guarded entry points behind the method table and the tp_new slot: no C++ exception may
// unwind into the interpreter.
template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] { return F(self, args, nargs, kwnames); });
}
template <PyObject* (*F)(PyObject*)>
PyObject* noargs(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return F(self); });
}
template <PyObject* (*F)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] { return F(type, args, kwargs); });
}

// The PyCFunction of a method table entry, always through the guard, so no method can be
// registered without it:
//   {"connect", method<hq_connect>(), METH_FASTCALL | METH_KEYWORDS, doc}
//   {"disconnect", method<hq_disconnect>(), METH_NOARGS, doc}
template <auto F>
PyCFunction method() {
    if constexpr (std::is_invocable_v<decltype(F), PyObject*>)
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&noargs<F>));
    else
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fastcall<F>));
}
// The same for a tp_new slot: {Py_tp_new, new_slot<daily_new>()}.
template <auto F>
void* new_slot() {
    return reinterpret_cast<void*>(&constructor<F>);
}

// ---------------------------------------------------------------------------------------------
// Template definitions

template <size_t N>
template <class T>
bool Bound<N>::get(size_t i, T& out) const {
    if (!v[i]) return true;
    return convert(Arg{fname, names[i], v[i]}, out);
}

namespace detail {
// A tuple holding the items of a non-str sequence: a snapshot, so converting an item cannot
// change the sequence under the loop.
bool sequence_items(const Arg& a, Ref& items);
bool tuple_of_length(const Arg& item_arg, Py_ssize_t want);

template <class Tuple, size_t... I>
bool convert_members(const Arg& item_arg, Tuple& t, std::index_sequence<I...>) {
    return (convert(Arg{item_arg.fname, item_arg.name, PyTuple_GET_ITEM(item_arg.obj, I),
                        item_arg.item, static_cast<int>(I)},
                    std::get<I>(t)) &&
            ...);
}
}  // namespace detail

template <class... Ts>
bool convert(const Arg& a, std::vector<std::tuple<Ts...>>& out) {
    Ref seq;
    if (!detail::sequence_items(a, seq)) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    std::vector<std::tuple<Ts...>> result;
    result.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Arg item{a.fname, a.name, PyTuple_GET_ITEM(seq.get(), i), i};
        if (!detail::tuple_of_length(item, sizeof...(Ts))) return false;
        std::tuple<Ts...> t{};
        if (!detail::convert_members(item, t, std::index_sequence_for<Ts...>{})) return false;
        result.push_back(std::move(t));
    }
    out = std::move(result);
    return true;
}

}  // namespace quotix::py
