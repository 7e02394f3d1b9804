"""MinBarReader (5-minute files, u32 prices in hundredths) and LcMinBarReader (LC minute files,
f32 prices): the same 32-byte layout, their own DataFrame column orders."""

import pytest

from quotix._internal import LcMinBarReader, MinBarReader
from reader_files import lc_record, min_record, packed_date

ROW_KEYS = ["date", "open", "high", "low", "close", "amount", "volume", "year", "month", "day", "hour", "minute"]
MIN_FRAME_COLUMNS = ["date", "year", "month", "day", "hour", "minute", "open", "high", "low", "close", "volume",
                     "amount"]

D = packed_date(2024, 3, 15)
# 09:35 is minute 575 of the day.
FIVE = min_record(D, 575, 1234, 1250, 1200, 1240, 640.5, 500) + min_record(D, 580, 1240, 1260, 1239, 1255, 99.25, 1200)
LC = lc_record(D, 575, 12.34, 12.5, 12.0, 12.4, 640.5, 500) + lc_record(D, 580, 12.4, 12.6, 12.39, 12.55, 99.25, 1200)
TAIL1 = (640.5, 500.0, 2024, 3, 15, 9, 35)
TAIL2 = (99.25, 1200.0, 2024, 3, 15, 9, 40)

READERS = [
    pytest.param(MinBarReader, "Min bar", FIVE, MIN_FRAME_COLUMNS, min_record, id="5min"),
    pytest.param(LcMinBarReader, "LC min bar", LC, ROW_KEYS, lc_record, id="lc"),
]


@pytest.mark.parametrize("reader, data, want", [
    (MinBarReader, FIVE, [("2024-03-15 09:35", 12.34, 12.5, 12.0, 12.4, *TAIL1),
                          ("2024-03-15 09:40", 12.4, 12.6, 12.39, 12.55, *TAIL2)]),
    # The f32 prices widened, not rounded back to two decimals.
    (LcMinBarReader, LC, [("2024-03-15 09:35", 12.34000015258789, 12.5, 12.0, 12.399999618530273, *TAIL1),
                          ("2024-03-15 09:40", 12.399999618530273, 12.600000381469727, 12.390000343322754,
                           12.550000190734863, *TAIL2)]),
], ids=["5min", "lc"])
def test_records(reader, data, want):
    r = reader()
    rows = r.parse_data(data)
    assert [list(d) for d in rows] == [ROW_KEYS] * 2
    assert [tuple(d.values()) for d in rows] == want == r.parse_data_tuples(data)
    assert type(rows[0]["volume"]) is float
    noisy = bytearray(data)
    noisy[28:32], noisy[60:64] = b"\xde\xad\xbe\xef", b"\xff\xff\xff\xff"   # reserved bytes
    assert r.parse_data(bytes(noisy)) == rows


def test_largest_five_minute_price_is_unsigned():
    row = MinBarReader().parse_data(min_record(D, 0, 2**32 - 1, 0, 0, 0, 0.0, 2**32 - 1))[0]
    assert (row["open"], row["volume"]) == (42949672.95, 4294967295.0)


@pytest.mark.parametrize("reader, _w, _d, _c, record", READERS)
# 65535 = 1092 * 60 + 15; 65535 >> 11 = 31 and 65535 & 0x7FF = 2047.
@pytest.mark.parametrize("date, minutes, text, parts", [(65535, 65535, "2035-20-47 1092:15", (2035, 20, 47, 1092, 15))])
def test_dates_and_times_pass_through(reader, _w, _d, _c, record, date, minutes, text, parts):
    t = reader().parse_data_tuples(record(date, minutes, 0, 0, 0, 0, 0.0, 0))[0]
    assert (t[0], t[7:]) == (text, parts)


@pytest.mark.parametrize("reader, _w, data, columns, _r", READERS)
def test_dataframe_and_empty_input(reader, _w, data, columns, _r, tmp_path):
    pytest.importorskip("pandas")
    r = reader()
    df = r.to_dataframe(data)
    assert list(df.columns) == columns and list(df.index) == [0, 1]
    assert list(df["date"]) == ["2024-03-15 09:35", "2024-03-15 09:40"]
    assert list(df["volume"]) == [500.0, 1200.0] and list(df["amount"]) == [640.5, 99.25]
    assert df["volume"].dtype.kind == "f"
    assert all(df[c].dtype.kind == "i" for c in ("year", "month", "day", "hour", "minute"))
    empty = r.to_dataframe(b"")
    assert list(empty.columns) == columns and len(empty) == 0
    path = tmp_path / "empty.5"
    path.write_bytes(b"")
    assert r.parse_data(b"") == r.parse_data_tuples(b"") == r.parse_file(str(path)) == []
    assert r.parse_file_tuples(str(path)) == []
    assert not hasattr(r, "to_dataframe_file")


@pytest.mark.parametrize("reader, words, data, _c, _r", READERS)
@pytest.mark.parametrize("size", [31, 33])
def test_sizes_that_are_not_whole_records(reader, words, data, _c, _r, size, tmp_path):
    r = reader()
    path = tmp_path / "cut"
    path.write_bytes(data[:size])
    text = f"Invalid data: {words} file size {size} is not a multiple of 32"
    for m, arg in [(r.parse_data, bytes(size)), (r.parse_data_tuples, bytes(size)), (r.to_dataframe, bytes(size)),
                   (r.parse_file, str(path)), (r.parse_file_tuples, str(path))]:
        with pytest.raises(ValueError) as info:
            m(arg)
        assert str(info.value) == text


@pytest.mark.parametrize("reader, _w, data, _c, _r", READERS)
def test_files_give_what_bytes_give(reader, _w, data, _c, _r, tmp_path):
    path = tmp_path / "sz000001.lc5"
    path.write_bytes(data)
    r = reader()
    assert r.parse_file(str(path)) == r.parse_data(data)
    assert r.parse_file_tuples(filename=str(path)) == r.parse_data_tuples(data=data)
