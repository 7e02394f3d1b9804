// Real-time quote methods of the Python TdxHqClient: one request for a batch of securities, as
// dicts, tuples or a DataFrame.

#include <vector>

#include "python/py_client.hpp"
#include "python/py_dataframe.hpp"
#include "python/py_query_args.hpp"
#include "python/py_records.hpp"

namespace quotix::py {
namespace {

template <Ref (*Shape)(const std::vector<SecurityQuote>&)>
PyObject* quotes(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    StockPairs stocks;
    if (!bind_all_stock(all_stock_params(fname), args, nargs, kwnames, stocks)) return nullptr;
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
