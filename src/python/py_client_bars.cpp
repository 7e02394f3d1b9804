// K-line methods of the Python TdxHqClient: security and index bars as dicts, tuples and
// DataFrames, the paged whole-history forms, and the adjustment factor report.

#include <algorithm>
#include <string>
#include <vector>

#include "core/constants.hpp"
#include "python/py_client.hpp"
#include "python/py_dataframe.hpp"
#include "python/py_query_args.hpp"
#include "python/py_records.hpp"

namespace quotix::py {
namespace {

// (category, market, code, count=800, fq=1)
Params<5> bar_all_params(const char* fname) {
    return Params<5>{fname, {"category", "market", "code", "count", "fq"}, 3};
}

bool bind_bars_all(const Params<5>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BarArgs& a) {
    Bound<5> b;
    return p.bind(args, nargs, kwnames, b) && b.get(0, a.category) && b.get(1, a.market) && b.get(2, a.code) &&
           b.get(3, a.count) && b.get(4, a.fq);
}

template <Ref (*Shape)(const std::vector<SecurityBar>&)>
PyObject* security_bars(const Params<6>& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    BarArgs a;
    if (!bind_bar_args(p, args, nargs, kwnames, a)) return nullptr;
    auto bars = hq_core(self).get_security_bars(a.category, a.market, a.code, a.start, a.count, a.fq);
    if (!bars) return raise_tdx(bars.error());
    return Shape(*bars).release();
}

template <Ref (*Shape)(const std::vector<IndexBar>&)>
PyObject* index_bars(const Params<6>& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    BarArgs a;
    if (!bind_bar_args(p, args, nargs, kwnames, a)) return nullptr;
    auto bars = hq_core(self).get_index_bars(a.category, a.market, a.code, a.start, a.count);
    if (!bars) return raise_tdx(bars.error());
    return Shape(*bars).release();
}

// Pages of 800 from the newest bar back, joined oldest first. Each page is a full core query,
// with its own server switching on an empty result; the first failure fails the whole call.
Result<std::vector<IndexBar>> index_bars_all(net::TdxHqClient& core, const BarArgs& a) {
    std::vector<std::vector<IndexBar>> pages;  // newest page first
    uint32_t position = 0;
    uint16_t remaining = a.count;
    while (remaining > 0) {
        const uint16_t want = std::min<uint16_t>(remaining, MAX_KLINE_COUNT);
        auto page = core.get_index_bars(a.category, a.market, a.code, position, want);
        if (!page) return std::move(page).error();
        const size_t got = page->size();
        if (got == 0) break;
        pages.push_back(std::move(*page));
        if (got < want || got >= remaining) break;
        // got < remaining <= 65535 here, so neither number wraps.
        position += static_cast<uint32_t>(got);
        remaining = static_cast<uint16_t>(remaining - got);
    }
    std::vector<IndexBar> joined;
    size_t total = 0;
    for (const auto& pg : pages) total += pg.size();
    joined.reserve(total);
    for (auto it = pages.rbegin(); it != pages.rend(); ++it)
        joined.insert(joined.end(), std::make_move_iterator(it->begin()), std::make_move_iterator(it->end()));
    return joined;
}

}  // namespace

PyObject* hq_get_security_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<6> P = bar_params("get_security_bars");
    return security_bars<bar_dicts>(P, self, args, nargs, kwnames);
}

PyObject* hq_get_security_bars_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const Params<6> P = bar_params("get_security_bars_tuples");
    return security_bars<bar_tuples>(P, self, args, nargs, kwnames);
}

PyObject* hq_get_security_bars_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static const Params<6> P = bar_params("get_security_bars_dataframe");
    return security_bars<security_bars_to_df>(P, self, args, nargs, kwnames);
}

PyObject* hq_get_security_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<5> P = bar_all_params("get_security_bars_all");
    BarArgs a;
    if (!bind_bars_all(P, args, nargs, kwnames, a)) return nullptr;
    auto bars = hq_core(self).get_security_bars_all(a.category, a.market, a.code, a.count, a.fq);
    if (!bars) return raise_tdx(bars.error());
    return bar_dicts(*bars).release();
}

PyObject* hq_get_index_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<6> P = bar_params("get_index_bars");
    return index_bars<index_bar_dicts>(P, self, args, nargs, kwnames);
}

PyObject* hq_get_index_bars_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<6> P = bar_params("get_index_bars_tuples");
    return index_bars<index_bar_tuples>(P, self, args, nargs, kwnames);
}

PyObject* hq_get_index_bars_dataframe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const Params<6> P = bar_params("get_index_bars_dataframe");
    return index_bars<index_bars_to_df>(P, self, args, nargs, kwnames);
}

PyObject* hq_get_index_bars_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<5> P = bar_all_params("get_index_bars_all");
    BarArgs a;
    if (!bind_bars_all(P, args, nargs, kwnames, a)) return nullptr;
    auto bars = index_bars_all(hq_core(self), a);
    if (!bars) return raise_tdx(bars.error());
    return index_bar_dicts(*bars).release();
}

PyObject* hq_calc_fq_factors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> P{"calc_fq_factors", {"market", "code", "start", "count"}, 2};
    Bound<4> b;
    uint8_t market = 0;
    std::string code;
    uint32_t start = 0;
    uint16_t count = MAX_KLINE_COUNT;
    if (!P.bind(args, nargs, kwnames, b) || !b.get(0, market) || !b.get(1, code) || !b.get(2, start) ||
        !b.get(3, count))
        return nullptr;
    auto report = hq_core(self).calc_fq_factors(market, code, start, count);
    if (!report) return raise_tdx(report.error());
    return fq_report_dict(*report).release();
}

}  // namespace quotix::py
