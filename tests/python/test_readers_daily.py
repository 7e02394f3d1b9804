"""DailyBarReader: 32-byte daily records, prices times the reader's coefficient."""

import math

import pytest

from quotix._internal import DailyBarReader
from reader_files import daily_record, packed_date

DICT_KEYS = ["date", "open", "high", "low", "close", "amount", "volume", "year", "month", "day"]
FRAME_COLUMNS = ["date", "year", "month", "day", "open", "high", "low", "close", "volume", "amount"]

DAY1 = daily_record(20240315, 1234, 1250, 1200, 1240, 640.5, 500)
DAY2 = daily_record(20240318, 1240, 1300, 1238, 1299, 1.5e9, 123456789)
ROW1 = ("2024-03-15", 12.34, 12.5, 12.0, 12.4, 640.5, 500.0, 2024, 3, 15)
ROW2 = ("2024-03-18", 12.4, 13.0, 12.38, 12.99, 1.5e9, 123456789.0, 2024, 3, 18)


def test_dicts_tuples_and_frame():
    pd = pytest.importorskip("pandas")
    r = DailyBarReader()
    rows = r.parse_data(DAY1 + DAY2)
    assert [list(d) for d in rows] == [DICT_KEYS] * 2
    assert [tuple(d.values()) for d in rows] == [ROW1, ROW2]
    assert all(type(rows[0][k]) is int for k in ("year", "month", "day"))
    assert all(type(rows[0][k]) is float for k in ("open", "high", "low", "close", "amount", "volume"))
    assert r.parse_data_tuples(DAY2 + DAY1) == [ROW2, ROW1]  # file order
    df = r.to_dataframe(DAY1 + DAY2)
    assert isinstance(df, pd.DataFrame) and list(df.columns) == FRAME_COLUMNS and list(df.index) == [0, 1]
    assert list(df["date"]) == ["2024-03-15", "2024-03-18"]
    assert list(df["volume"]) == [500.0, 123456789.0] and list(df["amount"]) == [640.5, 1.5e9]
    assert all(df[c].dtype.kind == "i" for c in ("year", "month", "day"))
    assert all(df[c].dtype.kind == "f" for c in ("open", "high", "low", "close", "amount", "volume"))
    assert r.parse_data(b"") == [] and r.parse_data_tuples(b"") == []
    empty = r.to_dataframe(b"")
    assert list(empty.columns) == FRAME_COLUMNS and len(empty) == 0


# The date encodings in full are checked in the core's own tests.
@pytest.mark.parametrize("value, text, parts", [
    (packed_date(2024, 3, 15), "2024-03-15", (2024, 3, 15)),
    (20240315, "2024-03-15", (2024, 3, 15)),
    (2**32 - 1, "429496-72-95", (429496, 72, 95)),  # every digit of the year is printed
])
def test_date_encodings(value, text, parts):
    row = DailyBarReader().parse_data(daily_record(value, 0, 0, 0, 0, 0.0, 0, reserved=b"\xff\x01\x80\x7f"))[0]
    assert (row["date"], row["year"], row["month"], row["day"]) == (text, *parts)


class Half:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize("coefficient, open_", [
    (0.001, 1.234), (1, 1234.0), (-2.0, -2468.0), (Half(), 617.0), (math.inf, math.inf),
])
def test_coefficient_scales_prices_only(coefficient, open_):
    row = DailyBarReader(coefficient).parse_data(DAY1)[0]
    assert row["open"] == open_ and type(row["open"]) is float
    assert [row[k] for k in ("date", "amount", "volume", "year", "month", "day")] == [
        "2024-03-15", 640.5, 500.0, 2024, 3, 15]
    assert math.isnan(DailyBarReader(math.nan).parse_data(DAY1)[0]["close"])
    assert not hasattr(DailyBarReader(0.5), "coefficient")


@pytest.mark.parametrize("args, kwargs", [
    ((None,), {}), (("0.01",), {}), ((b"1",), {}), (([0.01],), {}),
    ((0.01, 0.02), {}), ((), {"coef": 0.01}), ((0.01,), {"coefficient": 0.02}),
])
def test_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        DailyBarReader(*args, **kwargs)


@pytest.mark.parametrize("size", [1, 31, 33, 63])
def test_sizes_that_are_not_whole_records(size, tmp_path):
    r = DailyBarReader()
    path = tmp_path / "cut.day"
    path.write_bytes((DAY1 + DAY2)[:size])
    text = f"Invalid data: Daily bar file size {size} is not a multiple of 32"
    for m, arg in [(r.parse_data, bytes(size)), (r.parse_data_tuples, bytes(size)), (r.to_dataframe, bytes(size)),
                   (r.parse_file, str(path)), (r.parse_file_tuples, str(path)), (r.to_dataframe_file, str(path))]:
        with pytest.raises(ValueError) as info:
            m(arg)
        assert str(info.value) == text


@pytest.mark.parametrize("data", [DAY1 + DAY2, b""])
def test_files_give_what_bytes_give(data, tmp_path):
    pytest.importorskip("pandas")
    path = tmp_path / "sh600000.day"
    path.write_bytes(data)
    r = DailyBarReader(0.001)
    assert r.parse_file(str(path)) == r.parse_data(data)
    assert r.parse_file_tuples(str(path)) == r.parse_data_tuples(data)
    assert r.to_dataframe_file(str(path)).equals(r.to_dataframe(data))
