"""FinancialReader: local financial files, one dict per directory entry."""

import pathlib

import pytest

from quotix._internal import FinancialReader
from reader_files import f32, financial_file


def parse(data):
    return FinancialReader().parse_data(data)


def rows(data):
    return [(r["code"], r["fields"]) for r in parse(data)]


@pytest.mark.parametrize("size", [0, 1, 19])
def test_short_headers(size, tmp_path):
    path = tmp_path / "short.dat"
    path.write_bytes(bytes(size))
    for m, arg in [(FinancialReader().parse_data, bytes(size)), (FinancialReader().parse_file, str(path))]:
        with pytest.raises(ValueError, match="^Invalid data: Financial file too small for header$"):
            m(arg)


def test_floats_are_widened_not_rounded():
    records = f32(0.1) + f32(2.5) + f32(-1.0) + f32(1e6)
    got = parse(financial_file(20230930, [(b"600000", 42), (b"000001", 50)], 8, records=records))
    assert got == [
        {"code": "600000", "report_date": 20230930, "fields": [0.10000000149011612, 2.5]},
        {"code": "000001", "report_date": 20230930, "fields": [-1.0, 1000000.0]},
    ]
    assert list(got[0]) == ["code", "report_date", "fields"] and type(got[0]["report_date"]) is int


# The walk's bounds in full are checked in the core's own tests.
@pytest.mark.parametrize("data, want", [
    (financial_file(1, [], 8, records=b"\xff" * 57), []),    # a count of 0 ends the walk
    # 3 declared, (42 - 20) // 11 = 2 fit; size 0, so any offset up to the end is a record.
    (financial_file(1, [(b"000001", 0), (b"000002", 42)], 0, declared=3), [("000001", []), ("000002", [])]),
    # A partial record is dropped and later entries survive; duplicates are kept.
    (financial_file(1, [(b"A", 53), (b"B", 57), (b"A", 53)], 8, records=f32(5.0) + f32(6.0)),
     [("A", [5.0, 6.0]), ("A", [5.0, 6.0])]),
    (financial_file(1, [(b"00001\0", 53), (b"\0" * 6, 53), (b"60\xff000", 53)], 0),
     [("00001", []), ("", []), ("60\ufffd000", [])]),
])
def test_directory_walk(data, want):
    assert rows(data) == want


def test_report_date_is_not_converted():
    assert parse(financial_file(0xFFFFFFFF, [(b"A", 31)], 0))[0]["report_date"] == 4294967295


def test_files(tmp_path):
    data = financial_file(20231231, [(b"600000", 42), (b"000001", 46)], 4, records=f32(1.5) + f32(2.5))
    path = tmp_path / "gpcw20231231.dat"
    path.write_bytes(data)
    r = FinancialReader()
    assert r.parse_file(filename=str(path)) == r.parse_data(data) == [
        {"code": "600000", "report_date": 20231231, "fields": [1.5]},
        {"code": "000001", "report_date": 20231231, "fields": [2.5]},
    ]
    with pytest.raises(ValueError, match="^IO error: "):
        r.parse_file(str(tmp_path / "missing.dat"))
    for bad in (pathlib.Path(path), bytes(str(path), "utf-8")):
        with pytest.raises(TypeError, match="filename"):
            r.parse_file(bad)
