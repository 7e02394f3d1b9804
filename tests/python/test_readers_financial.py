"""FinancialReader: local financial files, one dict per directory entry."""

import pathlib

import pytest

from quotix._internal import FinancialReader
from reader_files import f32, financial_file

KEYS = ["code", "report_date", "fields"]


def parse(data):
    return FinancialReader().parse_data(data)


def too_small():
    return pytest.raises(ValueError, match="^Invalid data: Financial file too small for header$")


# ---------------------------------------------------------------------------------------------
# Headers


@pytest.mark.parametrize("size", [0, 1, 19])
def test_short_headers(size):
    with too_small():
        parse(bytes(size))


def test_zero_entries_reads_nothing_more():
    assert parse(financial_file(20231231, [], 8)) == []
    # Whatever follows, a count of 0 ends the walk.
    assert parse(financial_file(20231231, [], 8, records=b"\xff" * 57)) == []


def test_declared_entries_without_directory_room():
    assert parse(financial_file(20231231, [], 8, declared=5)) == []


def test_entries_beyond_the_directory_room_are_ignored():
    # 3 declared, 42 bytes: (42 - 20) // 11 = 2 entries fit. Record size 0, so every offset up
    # to the end of the data gives an empty record.
    data = financial_file(1, [(b"000001", 0), (b"000002", 42)], 0, declared=3)
    assert len(data) == 42
    assert parse(data) == [
        {"code": "000001", "report_date": 1, "fields": []},
        {"code": "000002", "report_date": 1, "fields": []},
    ]


# ---------------------------------------------------------------------------------------------
# Records


def test_floats_are_widened_not_rounded():
    # Two entries (directory ends at 42); records at 42 and 50, record size 8.
    records = f32(0.1) + f32(2.5) + f32(-1.0) + f32(1e6)
    data = financial_file(20230930, [(b"600000", 42), (b"000001", 50)], 8, records=records)
    rows = parse(data)
    assert rows == [
        {"code": "600000", "report_date": 20230930, "fields": [0.10000000149011612, 2.5]},
        {"code": "000001", "report_date": 20230930, "fields": [-1.0, 1000000.0]},
    ]
    assert all(list(r) == KEYS for r in rows)
    assert type(rows[0]["report_date"]) is int


def test_duplicate_codes_are_kept_in_directory_order():
    records = f32(1.0) + f32(2.0)
    data = financial_file(7, [(b"600000", 42), (b"600000", 46)], 4, records=records)
    assert [(r["code"], r["fields"]) for r in parse(data)] == [("600000", [1.0]), ("600000", [2.0])]


def test_record_size_not_a_multiple_of_four():
    # Size 10: two floats; a record counts as present when offset + 8 fits.
    records = f32(3.0) + f32(4.0)  # bytes 31..38 of a one-entry file
    data = financial_file(1, [(b"1", 31)], 10, records=records)
    assert len(data) == 39
    assert parse(data)[0]["fields"] == [3.0, 4.0]
    assert parse(data[:-1]) == []


def test_partial_record_is_dropped_and_later_entries_survive():
    # Three entries (directory ends at 53), record size 8, 61 bytes in all.
    records = f32(5.0) + f32(6.0)
    data = financial_file(1, [(b"A", 53), (b"B", 57), (b"C", 53)], 8, records=records)
    assert len(data) == 61
    assert [(r["code"], r["fields"]) for r in parse(data)] == [("A", [5.0, 6.0]), ("C", [5.0, 6.0])]


def test_record_size_zero():
    data = financial_file(1, [(b"A", 42), (b"B", 43)], 0)
    assert len(data) == 42
    assert parse(data) == [{"code": "A", "report_date": 1, "fields": []}]


def test_code_bytes():
    data = financial_file(1, [(b"00001\0", 53), (b"\0" * 6, 53), (b"60\xff000", 53)], 0)
    assert [r["code"] for r in parse(data)] == ["00001", "", "60\ufffd000"]


def test_report_date_is_not_converted():
    data = financial_file(0xFFFFFFFF, [(b"A", 31)], 0)
    assert parse(data)[0]["report_date"] == 4294967295


# ---------------------------------------------------------------------------------------------
# Files


def test_file_gives_what_bytes_give(tmp_path):
    data = financial_file(20231231, [(b"600000", 42), (b"000001", 46)], 4, records=f32(1.5) + f32(2.5))
    path = tmp_path / "gpcw20231231.dat"
    path.write_bytes(data)
    r = FinancialReader()
    assert r.parse_file(str(path)) == r.parse_data(data)
    assert r.parse_file(filename=str(path)) == [
        {"code": "600000", "report_date": 20231231, "fields": [1.5]},
        {"code": "000001", "report_date": 20231231, "fields": [2.5]},
    ]


def test_short_and_missing_files(tmp_path):
    r = FinancialReader()
    short = tmp_path / "short.dat"
    short.write_bytes(bytes(19))
    with too_small():
        r.parse_file(str(short))
    with pytest.raises(ValueError, match="^IO error: "):
        r.parse_file(str(tmp_path / "missing.dat"))
    with pytest.raises(TypeError, match="filename"):
        r.parse_file(pathlib.Path(short))
    with pytest.raises(TypeError, match="filename"):
        r.parse_file(bytes(str(short), "utf-8"))
