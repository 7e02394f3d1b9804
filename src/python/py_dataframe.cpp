#include "python/py_dataframe.hpp"

namespace quotix::py {

Ref make_dataframe(std::vector<Column> columns) {
    Ref dict(PyDict_New());
    if (!dict) return dict;
    for (Column& c : columns) {
        if (!c.values) return Ref();
        if (PyDict_SetItemString(dict.get(), c.name, c.values.get()) != 0) return Ref();
    }
    // Through the normal import, so an already imported pandas comes from sys.modules and a
    // missing one is looked for again at every call.
    Ref pandas(PyImport_ImportModule("pandas"));
    if (!pandas) return pandas;
    Ref ctor(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!ctor) return ctor;
    return Ref(PyObject_CallOneArg(ctor.get(), dict.get()));
}

ColumnTable::ColumnTable(std::initializer_list<const char*> names, size_t rows) {
    cols_.reserve(names.size());
    for (const char* n : names) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(rows)));
        if (!list) {
            ok_ = false;  // no further Python call while the exception is pending
            return;
        }
        cols_.push_back(Column{n, std::move(list)});
    }
}

void ColumnTable::set(size_t col, size_t row, Ref value) {
    if (!value) {
        ok_ = false;
        return;
    }
    PyList_SET_ITEM(cols_[col].values.get(), static_cast<Py_ssize_t>(row), value.release());
}

Ref ColumnTable::to_dataframe() {
    if (!ok_) return Ref();
    return make_dataframe(std::move(cols_));
}

Ref security_bars_to_df(const std::vector<SecurityBar>& bars) {
    ColumnTable t({"datetime", "year", "month", "day", "hour", "minute", "open", "high", "low", "close",
                   "vol", "amount"},
                  bars.size());
    for (size_t i = 0; i < bars.size(); ++i) {
        const SecurityBar& b = bars[i];
        t.row(i, b.datetime, b.year, b.month, b.day, b.hour, b.minute, b.open, b.high, b.low, b.close,
              b.vol, b.amount);
    }
    return t.to_dataframe();
}

Ref index_bars_to_df(const std::vector<IndexBar>& bars) {
    ColumnTable t({"datetime", "year", "month", "day", "hour", "minute", "open", "high", "low", "close",
                   "vol", "amount", "up_count", "down_count"},
                  bars.size());
    for (size_t i = 0; i < bars.size(); ++i) {
        const IndexBar& b = bars[i];
        t.row(i, b.datetime, b.year, b.month, b.day, b.hour, b.minute, b.open, b.high, b.low, b.close,
              b.vol, b.amount, b.up_count, b.down_count);
    }
    return t.to_dataframe();
}

Ref quotes_to_df(const std::vector<SecurityQuote>& quotes) {
    ColumnTable t({"code", "market", "price", "last_close", "open", "high", "low", "vol", "cur_vol",
                   "amount", "s_vol", "b_vol", "servertime"},
                  quotes.size());
    for (size_t i = 0; i < quotes.size(); ++i) {
        const SecurityQuote& q = quotes[i];
        t.row(i, q.code, q.market, q.price, q.last_close, q.open, q.high, q.low, q.vol, q.cur_vol,
              q.amount, q.s_vol, q.b_vol, q.servertime);
    }
    return t.to_dataframe();
}

Ref finance_to_df(const std::vector<FinanceInfo>& infos) {
    ColumnTable t({"code", "market", "zongguben", "liutongguben", "jingzichan", "jinglirun",
                   "zhuyingshouru", "yingyelirun", "meigujingzichan", "province", "industry"},
                  infos.size());
    for (size_t i = 0; i < infos.size(); ++i) {
        const FinanceInfo& f = infos[i];
        t.row(i, f.code, f.market, f.zongguben, f.liutongguben, f.jingzichan, f.jinglirun,
              f.zhuyingshouru, f.yingyelirun, f.meigujingzichan, f.province, f.industry);
    }
    return t.to_dataframe();
}

}  // namespace quotix::py
