// pandas DataFrames built column-wise from record lists. pandas is imported by name only when a
// DataFrame is made, so the module imports and every dict or tuple method works without it.
#pragma once

#include <initializer_list>
#include <vector>

#include "protocol/types.hpp"
#include "python/pyhelpers.hpp"

namespace quotix::py {

struct Column {
    const char* name;
    Ref values;  // a list, one item per row
};

// pandas.DataFrame({name: values, ...}) with the columns in the given order. Any failure (the
// import of pandas included) comes back as a null Ref with that exception set, unchanged.
Ref make_dataframe(std::vector<Column> columns);

// Named columns of a fixed row count, filled one record at a time.
class ColumnTable {
public:
    ColumnTable(std::initializer_list<const char*> names, size_t rows);
    // Sets row `i` of every column, the values in column order.
    template <class... T>
    void row(size_t i, const T&... values) {
        size_t c = 0;
        // No Python call is made once one has failed: the exception stays as it was set.
        auto put = [&](const auto& v) {
            if (ok_) set(c, i, to_py(v));
            ++c;
        };
        (put(values), ...);
    }
    Ref to_dataframe();

private:
    void set(size_t col, size_t row, Ref value);
    std::vector<Column> cols_;
    bool ok_ = true;
};

Ref security_bars_to_df(const std::vector<SecurityBar>& bars);
Ref index_bars_to_df(const std::vector<IndexBar>& bars);
Ref quotes_to_df(const std::vector<SecurityQuote>& quotes);
Ref finance_to_df(const std::vector<FinanceInfo>& infos);

// Records of the local daily-bar file reader (fields date, year, month, day, open, high, low,
// close, volume, amount); a template so this layer does not depend on the reader's header.
template <class Record>
Ref daily_records_to_df(const std::vector<Record>& records) {
    ColumnTable t({"date", "year", "month", "day", "open", "high", "low", "close", "volume", "amount"},
                  records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        t.row(i, r.date, r.year, r.month, r.day, r.open, r.high, r.low, r.close, r.volume, r.amount);
    }
    return t.to_dataframe();
}

}  // namespace quotix::py
