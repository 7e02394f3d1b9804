// What the five local-file reader classes share: the `data` argument (bytes, bytearray or a
// sequence of ints, never text), the `filename` argument (a str path), constructors, and the
// one-argument method frame that parses, maps every TdxError to ValueError and builds the result.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/pyhelpers.hpp"
#include "reader/read_file.hpp"

namespace quotix::py {

// The caller's bytes, copied so that nothing the parser sees can change under it.
struct ReaderData {
    std::vector<uint8_t> bytes;
    std::span<const uint8_t> span() const { return bytes; }
};

// bytes and bytearray (subclasses included) give their bytes; a str is refused; any other
// sequence is taken item by item, each an int 0 to 255 (TypeError for a non-integer item,
// OverflowError outside the range); anything else is a TypeError naming the argument.
bool convert(const Arg& a, ReaderData& out);

// Binds the single required argument of a reader method, by position or keyword.
bool bind_reader_data(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      ReaderData& out);
bool bind_reader_filename(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          std::string& out);

// Binds constructor arguments (a tuple and a dict, as tp_new receives them) with the same rules
// and messages as the fast-call methods.
bool bind_constructor(const char* fname, const char* const* names, size_t n, size_t required, PyObject* args,
                      PyObject* kwargs, PyObject** out);

// tp_new of the reader classes that take no arguments.
PyObject* new_reader_without_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void reader_dealloc(PyObject* self) noexcept;

// The frame of every `data` method: convert, parse, and either raise the parse error as
// ValueError or build the Python result. The copied bytes are freed before the result is built.
template <class Parse, class Build>
PyObject* reader_from_data(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Parse&& parse, Build&& build) {
    ReaderData data;
    if (!bind_reader_data(fname, args, nargs, kwnames, data)) return nullptr;
    auto records = parse(data.span());
    data.bytes = {};
    if (!records.ok()) return raise_value_error(records.error());
    return build(*records).release();
}

// Runs the interpreter's signal handlers for a read cut short by a signal, as Python's own file
// I/O does: false (give up) when one raised, the exception then set.
bool read_goes_on_after_signal();

// The frame of every `filename` method: the whole file is read, then as reader_from_data. A
// file that cannot be read is TdxError::Io, raised as ValueError like any other reader error; a
// read that a signal handler ended raises the handler's exception.
template <class Parse, class Build>
PyObject* reader_from_file(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Parse&& parse, Build&& build) {
    std::string path;
    if (!bind_reader_filename(fname, args, nargs, kwnames, path)) return nullptr;
    auto bytes = reader::read_file_bytes(path, read_goes_on_after_signal);
    if (!bytes.ok()) return PyErr_Occurred() ? nullptr : raise_value_error(bytes.error());
    auto records = parse(std::span<const uint8_t>(*bytes));
    *bytes = {};
    if (!records.ok()) return raise_value_error(records.error());
    return build(*records).release();
}

}  // namespace quotix::py
