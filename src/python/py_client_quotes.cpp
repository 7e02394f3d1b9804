// Real-time quote methods of the Python TdxHqClient: one request for a batch of securities, as
// dicts, tuples or a DataFrame.

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "python/py_client.hpp"
#include "python/py_dataframe.hpp"
#include "python/py_records.hpp"

namespace quotix::py {
namespace {

template <Ref (*Shape)(const std::vector<SecurityQuote>&)>
PyObject* quotes(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Params<1> p{fname, {"all_stock"}, 1};
    Bound<1> b;
    std::vector<std::tuple<uint8_t, std::string>> given;
    // The whole sequence is converted before anything is sent.
    if (!p.bind(args, nargs, kwnames, b) || !b.get(0, given)) return nullptr;
    std::vector<std::pair<uint8_t, std::string>> stocks;
    stocks.reserve(given.size());
    for (auto& [market, code] : given) stocks.emplace_back(market, std::move(code));
    auto records = hq_core(self).get_security_quotes(stocks);
    if (!records) return raise_tdx(records.error());
    return Shape(*records).release();
}

}  // namespace

PyObject* hq_get_security_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return quotes<quote_dicts>("get_security_quotes", self, args, nargs, kwnames);
}

PyObject* hq_get_security_quotes_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return quotes<quote_tuples>("get_security_quotes_tuples", self, args, nargs, kwnames);
}

PyObject* hq_get_security_quotes_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    return quotes<quotes_to_df>("get_security_quotes_dataframe", self, args, nargs, kwnames);
}

}  // namespace quotix::py
