// The Python class AsyncTdxHqClient: each object owns one runtime and one asynchronous core
// client, and every method blocks on that runtime, holding the interpreter lock, until the core
// operation is done.
//
// The methods live in py_async_client.cpp (construction, connections, rate control, the method
// table) and py_async_queries.cpp (the data methods); the frame they share, in
// py_async_frame.hpp.
#pragma once

#include <atomic>
#include <memory>

#include "async/client.hpp"
#include "async/runtime.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

struct AsyncState {
    // > 0: that many shared borrows; -1: one exclusive borrow.
    std::atomic<long> borrow{0};
    // Shut down before the client is dropped, so no task outlives what it works on.
    std::unique_ptr<net::AsyncRuntime> runtime;
    std::unique_ptr<net::AsyncTdxHqClient> core;
};

struct PyAsyncTdxHqClient {
    PyObject_HEAD
    AsyncState state;
};

inline AsyncState& async_state(PyObject* self) { return reinterpret_cast<PyAsyncTdxHqClient*>(self)->state; }
inline net::AsyncTdxHqClient& async_core(PyObject* self) { return *async_state(self).core; }

// Runs one core operation to completion on the object's runtime.
template <class T>
auto run_on(PyObject* self, asio::awaitable<T> op) {
    return async_state(self).runtime->block_on(std::move(op));
}

// ---- data methods (py_async_queries.cpp), in the order of the method table ----
PyObject* async_get_security_bars(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_bars_all(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_index_bars(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_index_bars_all(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_quotes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_count(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_list(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_minute_time_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_history_minute_time_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_transaction_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_history_transaction_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_finance_info(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_xdxr_info(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_bars_tuples(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_index_bars_tuples(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_quotes_tuples(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_bars_dataframe(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_index_bars_dataframe(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_security_quotes_dataframe(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* async_get_finance_info_dataframe(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace quotix::py
