// The frame every method of AsyncTdxHqClient runs in: a borrow of the object (shared, or
// exclusive for the rate setters) held from before the arguments are converted until the method
// returns, and argument converters whose errors name the parameter:
//
//   TypeError     "argument 'port': 'str' object cannot be interpreted as an integer" (with the
//                 conversion's own TypeError as its __cause__)
//   OverflowError "out of range integral type conversion attempted" for integers up to 32 bits
//                 that fit in 64 bits; the interpreter's own text beyond that and for 64 bits
//
// Only re-entry (Python code run by a conversion that calls back into the same object) can meet
// a borrow already held, since every call holds the interpreter lock from start to end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/py_async_client.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py::async_frame {

class Borrow {
public:
    // RuntimeError "Already mutably borrowed" while an exclusive borrow is held.
    static Borrow shared(PyObject* self);
    // RuntimeError "Already borrowed" while any borrow is held.
    static Borrow exclusive(PyObject* self);
    // Holds nothing (a borrow not taken yet).
    Borrow() = default;
    Borrow(Borrow&& o) noexcept : state_(std::exchange(o.state_, nullptr)), exclusive_(o.exclusive_) {}
    Borrow& operator=(Borrow&& o) noexcept {
        if (this != &o) {
            release();
            state_ = std::exchange(o.state_, nullptr);
            exclusive_ = o.exclusive_;
        }
        return *this;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() { release(); }
    explicit operator bool() const { return state_ != nullptr; }

private:
    void release();
    Borrow(AsyncState* s, bool exclusive) : state_(s), exclusive_(exclusive) {}
    AsyncState* state_ = nullptr;
    bool exclusive_ = false;
};

using Pairs = std::vector<std::pair<uint8_t, std::string>>;

// Conversions of one Python object, without the parameter's name.
bool from_py(PyObject* obj, uint8_t& out);
bool from_py(PyObject* obj, uint16_t& out);
bool from_py(PyObject* obj, uint32_t& out);
bool from_py(PyObject* obj, uint64_t& out);
bool from_py(PyObject* obj, std::string& out);
// None is absent; otherwise anything float() accepts.
bool from_py(PyObject* obj, std::optional<double>& out);
// A sequence (never a str) of (market, code) tuples of exactly two items, converted whole.
bool from_py(PyObject* obj, Pairs& out);

// Prefixes a pending TypeError with "argument '<name>': ", keeping the original as its cause.
// Other exceptions are left as they are. Always returns false.
bool name_type_error(const char* name);

// Converts argument i if it was given; an omitted one keeps `out`, its default.
template <size_t N, class T>
bool arg(const Bound<N>& b, size_t i, T& out) {
    if (!b.given(i)) return true;
    return from_py(b.obj(i), out) || name_type_error(b.names[i]);
}

}  // namespace quotix::py::async_frame
