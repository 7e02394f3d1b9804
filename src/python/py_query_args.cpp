#include "python/py_query_args.hpp"

#include <tuple>

namespace quotix::py {

Params<6> bar_params(const char* fname) {
    return Params<6>{fname, {"category", "market", "code", "start", "count", "fq"}, 3};
}

bool bind_bar_args(const Params<6>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BarArgs& a) {
    Bound<6> b;
    return p.bind(args, nargs, kwnames, b) && b.get(0, a.category) && b.get(1, a.market) && b.get(2, a.code) &&
           b.get(3, a.start) && b.get(4, a.count) && b.get(5, a.fq);
}

Params<4> tick_params(const char* fname) { return Params<4>{fname, {"market", "code", "start", "count"}, 2}; }

Params<5> history_tick_params(const char* fname) {
    return Params<5>{fname, {"market", "code", "start", "count", "date"}, 2};
}

bool bind_tick_args(const Params<4>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, TickArgs& a) {
    Bound<4> b;
    return p.bind(args, nargs, kwnames, b) && b.get(0, a.market) && b.get(1, a.code) && b.get(2, a.start) &&
           b.get(3, a.count);
}

bool bind_history_tick_args(const Params<5>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            TickArgs& a) {
    Bound<5> b;
    return p.bind(args, nargs, kwnames, b) && b.get(0, a.market) && b.get(1, a.code) && b.get(2, a.start) &&
           b.get(3, a.count) && b.get(4, a.date);
}

bool bind_market_code(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      uint8_t& market, std::string& code) {
    const Params<2> p{fname, {"market", "code"}, 2};
    Bound<2> b;
    return p.bind(args, nargs, kwnames, b) && b.get(0, market) && b.get(1, code);
}

Params<3> market_code_date_params(const char* fname) { return Params<3>{fname, {"market", "code", "date"}, 3}; }

bool bind_market_code_date(const Params<3>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           uint8_t& market, std::string& code, uint32_t& date) {
    Bound<3> b;
    return p.bind(args, nargs, kwnames, b) && b.get(0, market) && b.get(1, code) && b.get(2, date);
}

bool bind_connect(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& ip, uint16_t& port,
                  std::optional<double>& timeout) {
    static const Params<3> P{"connect", {"ip", "port", "timeout"}, 2};
    Bound<3> b;
    return P.bind(args, nargs, kwnames, b) && b.get(0, ip) && b.get(1, port) && b.get(2, timeout) &&
           (!timeout || check_timeout("connect", "timeout", *timeout));
}

bool bind_connect_to_any(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::optional<double>& timeout) {
    static const Params<1> P{"connect_to_any", {"timeout"}, 0};
    Bound<1> b;
    return P.bind(args, nargs, kwnames, b) && b.get(0, timeout) &&
           (!timeout || check_timeout("connect_to_any", "timeout", *timeout));
}

Params<1> all_stock_params(const char* fname) { return Params<1>{fname, {"all_stock"}, 1}; }

bool bind_all_stock(const Params<1>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    StockPairs& stocks) {
    Bound<1> b;
    std::vector<std::tuple<uint8_t, std::string>> given;
    if (!p.bind(args, nargs, kwnames, b) || !b.get(0, given)) return false;
    stocks.clear();
    stocks.reserve(given.size());
    for (auto& [market, code] : given) stocks.emplace_back(market, std::move(code));
    return true;
}

}  // namespace quotix::py
