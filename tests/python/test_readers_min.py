"""MinBarReader (5-minute files, u32 prices in hundredths) and LcMinBarReader (LC minute files,
f32 prices): the same 32-byte layout, their own DataFrame column orders."""

import pytest

from quotix._internal import LcMinBarReader, MinBarReader
from reader_files import lc_record, min_record, packed_date

ROW_KEYS = ["date", "open", "high", "low", "close", "amount", "volume", "year", "month", "day", "hour", "minute"]
MIN_FRAME_COLUMNS = ["date", "year", "month", "day", "hour", "minute", "open", "high", "low", "close", "volume",
                     "amount"]
LC_FRAME_COLUMNS = ROW_KEYS

D = packed_date(2024, 3, 15)  # (20 << 11) + 315
# 09:35 is minute 575 of the day.
FIVE = min_record(D, 575, 1234, 1250, 1200, 1240, 640.5, 500)
FIVE_NEXT = min_record(D, 580, 1240, 1260, 1239, 1255, 99.25, 1200)
LC = lc_record(D, 575, 12.34, 12.5, 12.0, 12.4, 640.5, 500)
LC_NEXT = lc_record(D, 580, 12.4, 12.6, 12.39, 12.55, 99.25, 1200)

READERS = [
    pytest.param(MinBarReader, "Min bar", FIVE + FIVE_NEXT, MIN_FRAME_COLUMNS, id="5min"),
    pytest.param(LcMinBarReader, "LC min bar", LC + LC_NEXT, LC_FRAME_COLUMNS, id="lc"),
]


# ---------------------------------------------------------------------------------------------
# Values


def test_five_minute_record():
    row = MinBarReader().parse_data(FIVE)[0]
    assert list(row) == ROW_KEYS
    assert row == {
        "date": "2024-03-15 09:35", "open": 12.34, "high": 12.5, "low": 12.0, "close": 12.4,
        "amount": 640.5, "volume": 500.0, "year": 2024, "month": 3, "day": 15, "hour": 9, "minute": 35,
    }
    assert "datetime" not in row
    assert type(row["volume"]) is float


def test_lc_record_keeps_single_precision_prices():
    row = LcMinBarReader().parse_data(LC)[0]
    assert list(row) == ROW_KEYS
    # The f32 values widened, not rounded back to two decimals.
    assert row["open"] == 12.34000015258789
    assert row["high"] == 12.5
    assert row["low"] == 12.0
    assert row["close"] == 12.399999618530273
    assert (row["date"], row["amount"], row["volume"]) == ("2024-03-15 09:35", 640.5, 500.0)
    assert (row["year"], row["month"], row["day"], row["hour"], row["minute"]) == (2024, 3, 15, 9, 35)


def test_largest_five_minute_price_is_unsigned():
    row = MinBarReader().parse_data(min_record(D, 0, 2**32 - 1, 0, 0, 0, 0.0, 2**32 - 1))[0]
    assert row["open"] == 42949672.95
    assert row["volume"] == 4294967295.0


@pytest.mark.parametrize("reader", [MinBarReader, LcMinBarReader])
@pytest.mark.parametrize(
    "date, minutes, text, parts",
    [
        (0, 0, "2004-00-00 00:00", (2004, 0, 0, 0, 0)),
        (D, 1500, "2024-03-15 25:00", (2024, 3, 15, 25, 0)),
        # 65535 = 1092 * 60 + 15; 65535 >> 11 = 31 and 65535 & 0x7FF = 2047.
        (65535, 65535, "2035-20-47 1092:15", (2035, 20, 47, 1092, 15)),
    ],
)
def test_dates_and_times_pass_through(reader, date, minutes, text, parts):
    record = (min_record if reader is MinBarReader else lc_record)(date, minutes, 0, 0, 0, 0, 0.0, 0)
    t = reader().parse_data_tuples(record)[0]
    assert t[0] == text
    assert t[7:] == parts


@pytest.mark.parametrize("reader, _msg, data, _cols", READERS)
def test_reserved_bytes_change_nothing(reader, _msg, data, _cols):
    noisy = bytearray(data)
    noisy[28:32] = b"\xde\xad\xbe\xef"
    noisy[60:64] = b"\xff\xff\xff\xff"
    assert reader().parse_data(bytes(noisy)) == reader().parse_data(data)


# ---------------------------------------------------------------------------------------------
# Shapes


@pytest.mark.parametrize("reader, _msg, data, _cols", READERS)
def test_tuples_follow_the_dict_order_in_file_order(reader, _msg, data, _cols):
    r = reader()
    dicts = r.parse_data(data)
    tuples = r.parse_data_tuples(data)
    assert [d["minute"] for d in dicts] == [35, 40]
    assert tuples == [tuple(d.values()) for d in dicts]
    assert all(len(t) == 12 for t in tuples)


def test_five_minute_second_row_by_hand():
    t = MinBarReader().parse_data_tuples(FIVE + FIVE_NEXT)[1]
    assert t == ("2024-03-15 09:40", 12.4, 12.6, 12.39, 12.55, 99.25, 1200.0, 2024, 3, 15, 9, 40)


@pytest.mark.parametrize("reader, _msg, data, columns", READERS)
def test_dataframe_columns(reader, _msg, data, columns):
    pytest.importorskip("pandas")
    df = reader().to_dataframe(data)
    assert list(df.columns) == columns
    assert list(df.index) == [0, 1]
    assert list(df["date"]) == ["2024-03-15 09:35", "2024-03-15 09:40"]
    assert list(df["volume"]) == [500.0, 1200.0]
    assert list(df["amount"]) == [640.5, 99.25]
    assert list(df["minute"]) == [35, 40]
    assert df["volume"].dtype.kind == "f"
    assert all(df[c].dtype.kind == "i" for c in ("year", "month", "day", "hour", "minute"))


def test_frame_orders_differ_between_the_two_readers():
    # 5-minute: calendar right after date, volume before amount; LC: the dict order.
    pytest.importorskip("pandas")
    assert list(MinBarReader().to_dataframe(b"").columns) == MIN_FRAME_COLUMNS
    assert list(LcMinBarReader().to_dataframe(b"").columns) == LC_FRAME_COLUMNS


@pytest.mark.parametrize("reader, _msg, _data, columns", READERS)
def test_empty_input(reader, _msg, _data, columns, tmp_path):
    pytest.importorskip("pandas")
    r = reader()
    assert r.parse_data(b"") == []
    assert r.parse_data_tuples(b"") == []
    df = r.to_dataframe(b"")
    assert list(df.columns) == columns and len(df) == 0
    path = tmp_path / "empty.5"
    path.write_bytes(b"")
    assert r.parse_file(str(path)) == []
    assert r.parse_file_tuples(str(path)) == []


# ---------------------------------------------------------------------------------------------
# Errors and files


@pytest.mark.parametrize("reader, words, _data, _cols", READERS)
@pytest.mark.parametrize("size", [31, 33])
def test_sizes_that_are_not_whole_records(reader, words, _data, _cols, size):
    r = reader()
    text = f"Invalid data: {words} file size {size} is not a multiple of 32"
    for m in (r.parse_data, r.parse_data_tuples, r.to_dataframe):
        with pytest.raises(ValueError) as info:
            m(bytes(size))
        assert str(info.value) == text


@pytest.mark.parametrize("reader, _msg, data, _cols", READERS)
def test_files_give_what_bytes_give(reader, _msg, data, _cols, tmp_path):
    path = tmp_path / "sz000001.lc5"
    path.write_bytes(data)
    r = reader()
    assert r.parse_file(str(path)) == r.parse_data(data)
    assert r.parse_file_tuples(filename=str(path)) == r.parse_data_tuples(data=data)


@pytest.mark.parametrize("reader, words, data, _cols", READERS)
def test_cut_short_file(reader, words, data, _cols, tmp_path):
    path = tmp_path / "cut"
    path.write_bytes(data[:33])
    for m in (reader().parse_file, reader().parse_file_tuples):
        with pytest.raises(ValueError, match=f"^Invalid data: {words} file size 33 is not a multiple of 32$"):
            m(str(path))


def test_no_dataframe_method_for_files():
    assert not hasattr(MinBarReader(), "to_dataframe_file")
    assert not hasattr(LcMinBarReader(), "to_dataframe_file")
