// Argument lists that several client classes take alike, each converted in the order listed.
// The *_params functions make the Params of one method (kept static by the caller); the bind
// functions bind and convert, false with the Python exception set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/constants.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

// (category, market, code, start=0, count=800, fq=1)
struct BarArgs {
    uint8_t category = 0;
    uint8_t market = 0;
    std::string code;
    uint32_t start = 0;
    uint16_t count = MAX_KLINE_COUNT;
    uint8_t fq = FQ_QFQ;  // index bars convert and check it, then drop it
};
Params<6> bar_params(const char* fname);
bool bind_bar_args(const Params<6>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BarArgs& a);

// (market, code, start=0, count=2000), and with date=0 after them for the history form; the
// date is sent as given: 0 does not stand for today.
struct TickArgs {
    uint8_t market = 0;
    std::string code;
    uint16_t start = 0;
    uint16_t count = MAX_TRANSACTION_COUNT;
    uint32_t date = 0;
};
Params<4> tick_params(const char* fname);
Params<5> history_tick_params(const char* fname);
bool bind_tick_args(const Params<4>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, TickArgs& a);
bool bind_history_tick_args(const Params<5>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            TickArgs& a);

// (market, code), both required.
bool bind_market_code(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      uint8_t& market, std::string& code);

// (market, code, date), all required.
Params<3> market_code_date_params(const char* fname);
bool bind_market_code_date(const Params<3>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           uint8_t& market, std::string& code, uint32_t& date);

// connect(ip, port, timeout=None) and connect_to_any(timeout=None). A time-out no socket can take
// is refused here, before any attempt.
bool bind_connect(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& ip, uint16_t& port,
                  std::optional<double>& timeout);
bool bind_connect_to_any(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::optional<double>& timeout);

// (all_stock): a sequence of (market, code) tuples, the whole of it converted before anything is
// sent.
using StockPairs = std::vector<std::pair<uint8_t, std::string>>;
Params<1> all_stock_params(const char* fname);
bool bind_all_stock(const Params<1>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    StockPairs& stocks);

}  // namespace quotix::py
