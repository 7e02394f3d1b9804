"""DailyBarReader: daily bar files (32-byte records, prices times the reader's coefficient)."""

import math

import pytest

from quotix._internal import DailyBarReader
from reader_files import daily_record, packed_date

DICT_KEYS = ["date", "open", "high", "low", "close", "amount", "volume", "year", "month", "day"]
FRAME_COLUMNS = ["date", "year", "month", "day", "open", "high", "low", "close", "volume", "amount"]

# 2024-03-15, open 12.34, high 12.50, low 12.00, close 12.40, amount 640.5, volume 500.
DAY1 = daily_record(20240315, 1234, 1250, 1200, 1240, 640.5, 500)
DAY2 = daily_record(20240318, 1240, 1300, 1238, 1299, 1.5e9, 123456789)


# ---------------------------------------------------------------------------------------------
# Shapes


def test_dict_keys_values_and_types():
    rows = DailyBarReader().parse_data(DAY1)
    assert len(rows) == 1
    row = rows[0]
    assert list(row) == DICT_KEYS
    assert row == {
        "date": "2024-03-15", "open": 12.34, "high": 12.5, "low": 12.0, "close": 12.4,
        "amount": 640.5, "volume": 500.0, "year": 2024, "month": 3, "day": 15,
    }
    assert type(row["volume"]) is float
    assert all(type(row[k]) is int for k in ("year", "month", "day"))
    assert all(type(row[k]) is float for k in ("open", "high", "low", "close", "amount"))


def test_tuples_follow_the_dict_order():
    rows = DailyBarReader().parse_data_tuples(DAY1 + DAY2)
    assert rows == [
        ("2024-03-15", 12.34, 12.5, 12.0, 12.4, 640.5, 500.0, 2024, 3, 15),
        ("2024-03-18", 12.4, 13.0, 12.38, 12.99, 1.5e9, 123456789.0, 2024, 3, 18),
    ]
    assert all(type(t) is tuple for t in rows)


def test_two_records_come_in_file_order():
    r = DailyBarReader()
    assert [d["date"] for d in r.parse_data(DAY2 + DAY1)] == ["2024-03-18", "2024-03-15"]


def test_dataframe_columns_and_dtypes():
    pd = pytest.importorskip("pandas")
    df = DailyBarReader().to_dataframe(DAY1 + DAY2)
    assert isinstance(df, pd.DataFrame)
    assert list(df.columns) == FRAME_COLUMNS
    assert list(df.index) == [0, 1]
    assert list(df["date"]) == ["2024-03-15", "2024-03-18"]
    assert list(df["volume"]) == [500.0, 123456789.0]
    assert list(df["amount"]) == [640.5, 1.5e9]
    assert df["volume"].dtype.kind == "f"
    assert all(df[c].dtype.kind == "i" for c in ("year", "month", "day"))
    assert all(df[c].dtype.kind == "f" for c in ("open", "high", "low", "close", "amount"))


def test_empty_input():
    pytest.importorskip("pandas")
    r = DailyBarReader()
    assert r.parse_data(b"") == []
    assert r.parse_data_tuples(b"") == []
    df = r.to_dataframe(b"")
    assert list(df.columns) == FRAME_COLUMNS
    assert len(df) == 0


# ---------------------------------------------------------------------------------------------
# Dates


@pytest.mark.parametrize(
    "value, text, parts",
    [
        (0, "2004-00-00", (2004, 0, 0)),
        (packed_date(2024, 3, 15), "2024-03-15", (2024, 3, 15)),
        (20240315, "2024-03-15", (2024, 3, 15)),
        # 100000 is still packed: 100000 >> 11 = 48, 100000 & 0x7FF = 1696.
        (100000, "2052-16-96", (2052, 16, 96)),
        (100001, "0010-00-01", (10, 0, 1)),
        # 4294967295 / 10000 = 429496, 7295 / 100 = 72, 95: every digit of the year is printed.
        (2**32 - 1, "429496-72-95", (429496, 72, 95)),
    ],
)
def test_date_encodings(value, text, parts):
    row = DailyBarReader().parse_data(daily_record(value, 0, 0, 0, 0, 0.0, 0))[0]
    assert row["date"] == text
    assert (row["year"], row["month"], row["day"]) == parts


def test_reserved_bytes_change_nothing():
    r = DailyBarReader()
    plain = daily_record(20240315, 1234, 1250, 1200, 1240, 640.5, 500, reserved=b"\0\0\0\0")
    noisy = daily_record(20240315, 1234, 1250, 1200, 1240, 640.5, 500, reserved=b"\xff\x01\x80\x7f")
    assert r.parse_data(plain) == r.parse_data(noisy)


# ---------------------------------------------------------------------------------------------
# Coefficient


def test_coefficient_scales_prices_only():
    cents = DailyBarReader().parse_data(DAY1)[0]
    mills = DailyBarReader(coefficient=0.001).parse_data(DAY1)[0]
    assert cents["open"] == 12.34
    assert mills["open"] == 1.234
    for key in ("date", "amount", "volume", "year", "month", "day"):
        assert cents[key] == mills[key]


def test_int_coefficient_gives_unscaled_floats():
    row = DailyBarReader(1).parse_data(DAY1)[0]
    assert (row["open"], row["high"], row["low"], row["close"]) == (1234.0, 1250.0, 1200.0, 1240.0)
    assert type(row["open"]) is float


def test_coefficient_has_no_range_check():
    row = DailyBarReader(-2.0).parse_data(DAY1)[0]
    assert row["open"] == -2468.0
    assert math.isnan(DailyBarReader(float("nan")).parse_data(DAY1)[0]["close"])
    assert DailyBarReader(float("inf")).parse_data(DAY1)[0]["low"] == math.inf


def test_coefficient_accepts_objects_with_float_conversion():
    class Half:
        def __float__(self):
            return 0.5

    assert DailyBarReader(Half()).parse_data(DAY1)[0]["open"] == 617.0


@pytest.mark.parametrize("bad", [None, "0.01", b"1", [0.01]])
def test_unconvertible_coefficient_is_a_type_error(bad):
    with pytest.raises(TypeError, match="coefficient"):
        DailyBarReader(bad)


def test_constructor_argument_errors():
    with pytest.raises(TypeError):
        DailyBarReader(0.01, 0.02)
    with pytest.raises(TypeError):
        DailyBarReader(coef=0.01)
    with pytest.raises(TypeError):
        DailyBarReader(0.01, coefficient=0.02)


def test_coefficient_is_not_visible():
    r = DailyBarReader(0.5)
    assert not hasattr(r, "coefficient")


# ---------------------------------------------------------------------------------------------
# Errors and files


@pytest.mark.parametrize("size", [31, 33, 1])
def test_sizes_that_are_not_whole_records(size):
    r = DailyBarReader()
    text = f"Invalid data: Daily bar file size {size} is not a multiple of 32"
    for m in (r.parse_data, r.parse_data_tuples, r.to_dataframe):
        with pytest.raises(ValueError) as info:
            m(b"\0" * size)
        assert str(info.value) == text


def test_files_give_what_bytes_give(tmp_path):
    pytest.importorskip("pandas")
    path = tmp_path / "sh600000.day"
    path.write_bytes(DAY1 + DAY2)
    r = DailyBarReader(0.001)
    assert r.parse_file(str(path)) == r.parse_data(DAY1 + DAY2)
    assert r.parse_file_tuples(str(path)) == r.parse_data_tuples(DAY1 + DAY2)
    assert r.to_dataframe_file(str(path)).equals(r.to_dataframe(DAY1 + DAY2))


def test_cut_short_file(tmp_path):
    path = tmp_path / "cut.day"
    path.write_bytes((DAY1 + DAY2)[:-1])
    r = DailyBarReader()
    for m in (r.parse_file, r.parse_file_tuples, r.to_dataframe_file):
        with pytest.raises(ValueError, match=r"^Invalid data: Daily bar file size 63 is not a multiple of 32$"):
            m(str(path))


def test_empty_file(tmp_path):
    pytest.importorskip("pandas")
    path = tmp_path / "empty.day"
    path.write_bytes(b"")
    r = DailyBarReader()
    assert r.parse_file(str(path)) == []
    assert r.parse_file_tuples(str(path)) == []
    assert list(r.to_dataframe_file(str(path)).columns) == FRAME_COLUMNS
