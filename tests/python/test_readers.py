"""The readers of local data files, on files built here byte by byte: the shapes they return,
the arguments they take and their errors. The record layouts themselves are tested in C++."""

import os
import pathlib
import re
import signal
import struct
import subprocess
import sys
import time

import pytest
from conftest import run_python
from encoders import block_file

from quotix._internal import BlockReader, DailyBarReader, FinancialReader, LcMinBarReader, MinBarReader


def record(date, prices, amount, volume, minutes=None, fmt="I"):
    """One 32-byte bar record: a u32 date, or a packed u16 date and u16 minutes, then the prices."""
    head = struct.pack("<I", date) if minutes is None else struct.pack("<HH", date, minutes)
    return head + struct.pack(f"<4{fmt}fI", *prices, amount, volume) + b"\xde\xad\xbe\xef"  # reserved


def financial_file(entries, size, records=b""):
    """A 20-byte header (date, count, record size), 11-byte directory entries, then records."""
    out = b"\xaa\xbb" + struct.pack("<IH4sI4s", 20231231, len(entries), b"", size, b"")
    return out + b"".join(code.ljust(6, b"\0") + b"\x99" + struct.pack("<I", off) for code, off in entries) + records


PACKED = (2024 - 2004 << 11) + 315  # 2024-03-15
DAY = record(20240315, (1234, 1250, 1200, 1240), 640.5, 500) + record(PACKED, (1240, 1300, 1238, 1299), 1.5e9, 12345)
FIVE = (record(PACKED, (1234, 1250, 1200, 1240), 640.5, 500, 575)
        + record(PACKED, (1240, 1260, 1239, 1255), 99.25, 9, 580))
LC = record(PACKED, (12.34, 12.5, 12.0, 12.4), 640.5, 500, 575, "f") + record(PACKED, (1, 2, 3, 4), 99.25, 9, 580, "f")
KEYS = "date open high low close amount volume year month day"
BARS = [  # reader, data, dict keys, the two rows in that order, DataFrame columns, size error's words
    (DailyBarReader(0.001), DAY, KEYS, [("2024-03-15", 1.234, 1.25, 1.2, 1.24, 640.5, 500.0, 2024, 3, 15),
                                        ("2024-03-15", 1.24, 1.3, 1.238, 1.299, 1.5e9, 12345.0, 2024, 3, 15)],
     "date year month day open high low close volume amount", "Daily bar"),
    (MinBarReader(), FIVE, KEYS + " hour minute",
     [("2024-03-15 09:35", 12.34, 12.5, 12.0, 12.4, 640.5, 500.0, 2024, 3, 15, 9, 35),
      ("2024-03-15 09:40", 12.4, 12.6, 12.39, 12.55, 99.25, 9.0, 2024, 3, 15, 9, 40)],
     "date year month day hour minute open high low close volume amount", "Min bar"),
    (LcMinBarReader(), LC, KEYS + " hour minute",  # f32 prices widened, not rounded
     [("2024-03-15 09:35", 12.34000015258789, 12.5, 12.0, 12.399999618530273, 640.5, 500.0, 2024, 3, 15, 9, 35),
      ("2024-03-15 09:40", 1.0, 2.0, 3.0, 4.0, 99.25, 9.0, 2024, 3, 15, 9, 40)], KEYS + " hour minute", "LC min bar"),
]


@pytest.mark.parametrize("reader, data, keys, rows, columns, words", BARS)
def test_bar_readers(reader, data, keys, rows, columns, words, tmp_path, monkeypatch):
    dicts = reader.parse_data(data)
    assert [list(d) for d in dicts] == [keys.split()] * 2
    assert [tuple(d.values()) for d in dicts] == rows == reader.parse_data_tuples(data)
    assert [type(v) for v in rows[0]] == [str] + [float] * 6 + [int] * (len(rows[0]) - 7)
    frame = reader.to_dataframe(data)
    assert list(frame.columns) == columns.split() and list(frame.index) == [0, 1]
    assert frame.to_dict("records") == [dict(zip(keys.split(), r)) for r in rows]
    path = tmp_path / "bars"
    path.write_bytes(data)
    assert reader.parse_file(str(path)) == dicts and reader.parse_file_tuples(filename=str(path)) == rows
    if hasattr(reader, "to_dataframe_file"):
        assert reader.to_dataframe_file(str(path)).equals(frame)
    assert reader.parse_data(b"") == [] and len(reader.to_dataframe(b"")) == 0
    path.write_bytes(data[:33])
    for call, arg, size in [(reader.parse_data, data[:33], 33), (reader.parse_data_tuples, data[:31], 31),
                            (reader.parse_file, str(path), 33), (reader.to_dataframe, data[:33], 33)]:
        with pytest.raises(ValueError, match=f"^Invalid data: {words} file size {size} is not a multiple of 32$"):
            call(arg)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ModuleNotFoundError, match="pandas"):
        reader.to_dataframe(data)
    with pytest.raises(ValueError):  # the data is read first
        reader.to_dataframe(data[:33])


def test_data_and_filename_arguments(tmp_path):
    r, one = DailyBarReader(), DAY[:32]
    want = r.parse_data(one)
    for form in (bytearray(one), list(one), memoryview(one), type("B", (bytes,), {})(one)):
        assert r.parse_data(data=form) == want, type(form)
    seven = type("Seven", (), {"__index__": lambda s: 7})()
    assert r.parse_data([*one[:5], seven, *one[6:]]) == r.parse_data(one[:5] + bytes([7]) + one[6:])
    failing = type("Failing", (), {"__len__": lambda s: 2, "__getitem__": lambda s, i: 1 / 0})()
    for bad, exc in [("x", TypeError), (None, TypeError), ([0, 1.5], TypeError), ([0, 256], OverflowError),
                     ([-1], OverflowError), ([2 ** 70], OverflowError), ([-2 ** 70], OverflowError),
                     (failing, ZeroDivisionError)]:
        with pytest.raises(exc):
            r.parse_data(bad)
    with pytest.raises(TypeError):
        r.parse_data(one, data=one)
    for bad, exc in [(pathlib.Path(tmp_path), TypeError), (str(tmp_path).encode(), TypeError),
                     ("\udcff", UnicodeEncodeError)]:  # a str with no UTF-8 form
        with pytest.raises(exc, match="'filename'" if exc is TypeError else "surrogates"):
            r.parse_file(bad)
    with pytest.raises(TypeError, match=r"^parse_file\(\) missing required argument 'filename' \(pos 1\)$"):
        r.parse_file()
    for path, text in [(tmp_path / "missing", "No such file or directory (os error 2)"),
                       (f"{tmp_path}/a\0b", "file name contained an unexpected NUL byte")]:
        with pytest.raises(ValueError, match="^" + re.escape(f"IO error: {text}") + "$"):
            r.parse_file(str(path))
    half = type("Half", (), {"__float__": lambda s: 0.5})()
    for reader, coefficient in [(DailyBarReader(half), 0.5), (DailyBarReader(coefficient=0.25), 0.25),
                                (DailyBarReader(-1), -1.0)]:  # any float, by position or keyword
        assert reader.parse_data(one)[0]["open"] == 1234 * coefficient


@pytest.mark.parametrize("make, text", [
    (lambda: DailyBarReader("0.01"), "^DailyBarReader\\(\\) argument 'coefficient' must be float, not str$"),
    (lambda: DailyBarReader([]), "^DailyBarReader\\(\\) argument 'coefficient' must be float, not list$"),
    (lambda: DailyBarReader(None), "'coefficient'"),  # None is no default
    (lambda: DailyBarReader(coef=1), "^'coef' is an invalid keyword argument for DailyBarReader\\(\\)$"),
    (lambda: DailyBarReader(0.1, coefficient=0.2), "^DailyBarReader\\(\\) takes at most 1 argument \\(2 given\\)$"),
    (lambda: MinBarReader(x=1), "^MinBarReader\\(\\) takes no arguments \\(1 given\\)$"),
    (lambda: FinancialReader(1), "^FinancialReader\\(\\) takes no arguments \\(1 given\\)$"),
])
def test_constructor_arguments(make, text):
    with pytest.raises(TypeError, match=text):
        make()


def test_block_reader():
    data = block_file([("银行", ["600000", "600036"]), ("IDX", ["999999"], 1), (b"\xef\xbb\xbfB", ["600519"])])
    r = BlockReader()
    flat, group = "blockname block_type code_index code".split(), "blockname block_type stock_count code_list".split()
    assert [list(d) for d in r.parse_data(data) + r.parse_data_group(data)] == [flat] * 3 + [group] * 2
    assert r.parse_data(data) == [{"blockname": n, "block_type": 2, "code_index": i, "code": c} for n, i, c in
                                  [("银行", 0, "600000"), ("银行", 1, "600036"), ("B", 0, "600519")]]
    assert r.parse_data_group(data) == [
        {"blockname": "银行", "block_type": 2, "stock_count": 2, "code_list": "600000,600036"},
        {"blockname": "B", "block_type": 2, "stock_count": 1, "code_list": "600519"}]
    for call in (r.parse_data, r.parse_data_group):  # the failures themselves are tested in C++
        with pytest.raises(ValueError, match="^Invalid data: Truncated stock code$"):
            call(data[:-1])


def test_financial_reader(tmp_path):
    data = financial_file([(b"600000", 42), (b"000001", 50)], 8, struct.pack("<4f", 0.1, 2.5, -1.0, 1e6))
    rows = FinancialReader().parse_data(data)
    assert rows == [{"code": "600000", "report_date": 20231231, "fields": [0.10000000149011612, 2.5]},
                    {"code": "000001", "report_date": 20231231, "fields": [-1.0, 1000000.0]}]
    assert list(rows[0]) == ["code", "report_date", "fields"]
    path = tmp_path / "gpcw.dat"
    path.write_bytes(data[:19])
    with pytest.raises(ValueError, match="^Invalid data: Financial file too small for header$"):
        FinancialReader().parse_file(str(path))


# Per reader: a file image it reads, and one cut short that it refuses.
BLOCKS = block_file([("A", ["600000", "600036"]), ("B", ["000001"])])
GPCW = financial_file([(b"600000", 42)], 8, struct.pack("<2f", 0.5, 2.5))
FILES = {DailyBarReader: (DAY, DAY[:33]), MinBarReader: (FIVE, FIVE[:33]), LcMinBarReader: (LC, LC[:33]),
         BlockReader: (BLOCKS, BLOCKS[:-1]), FinancialReader: (GPCW, GPCW[:19])}


def outcome(call, arg):
    try:
        r = call(arg)
        return r.to_dict("list") if hasattr(r, "to_dict") else r
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("cls", list(FILES))
def test_every_method_reads_bytes_and_files_alike(cls, tmp_path):
    good, cut = FILES[cls]
    # Bytes a pipe delivers, more than its first read takes in; trailing zeros are whole records of
    # zeros for the bar files, and past the last block or record for the others.
    piped = good + bytes(32 * 2200)
    for name, data in {"good": good, "cut": cut, "empty": b"", "piped": piped}.items():
        (tmp_path / name).write_bytes(data)
    os.mkfifo(tmp_path / "pipe")
    sources = [("good", good), ("cut", cut), ("empty", b""), ("/dev/null", b""), ("pipe", piped),
               (".", "IO error: Is a directory (os error 21)"),
               ("missing", "IO error: No such file or directory (os error 2)")]
    reader = cls()
    for name in [n for n in vars(cls) if not n.startswith("_")]:
        method = getattr(reader, name)
        if "file" not in name:
            assert not isinstance(outcome(method, good), str), name
            assert outcome(method, cut).startswith("Invalid data: "), name
            continue
        twin = getattr(reader, {"to_dataframe_file": "to_dataframe"}.get(name, name.replace("file", "data")))
        for path, data in sources:
            path = tmp_path / path
            # The reader's open waits for the writer, which waits for the reader.
            writer = path.name == "pipe" and subprocess.Popen(["sh", "-c", 'exec cat "$0" > "$1"',
                                                               tmp_path / "piped", path])
            want = data if isinstance(data, str) else outcome(twin, data)
            try:
                assert outcome(method, str(path)) == want, (name, path)
                assert not writer or writer.wait(10) == 0
            finally:
                writer and writer.kill()


class Alarm(Exception):
    pass


@pytest.mark.parametrize("stall", ["open", "read"])
@pytest.mark.parametrize("cls", list(FILES))
def test_a_signal_handler_that_raises_ends_a_read_waiting_on_a_fifo(cls, stall, tmp_path):
    # The FIFO's writer comes 4 s late, or sends half a record and stalls. A timer rings every
    # 0.25 s: its first handler returns and the read waits on, the second raises and ends it.
    good = FILES[cls][0]
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    late = "time.sleep(4); f = open(sys.argv[1], 'wb'); f.write(data)"
    stalled = "f = open(sys.argv[1], 'wb'); f.write(data[:len(data) // 2]); f.flush(); time.sleep(10)"
    writer = subprocess.Popen([sys.executable, "-c", "import sys, time; data = bytes.fromhex(sys.argv[2]); "
                               + (late if stall == "open" else stalled), str(fifo), good.hex()])
    rings = []

    def ring(signum, frame):
        rings.append(time.monotonic())
        if len(rings) == 2:
            raise Alarm

    old = signal.signal(signal.SIGALRM, ring)
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.25, 0.25)
    try:
        with pytest.raises(Alarm):
            cls().parse_file(str(fifo))
        assert time.monotonic() - start < 3 and len(rings) == 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        writer.kill()
        writer.wait()


def test_inputs_and_classes_are_not_leaked():
    files = {DailyBarReader: DAY, MinBarReader: FIVE, LcMinBarReader: LC, BlockReader: block_file([("A", ["1"])]),
             FinancialReader: financial_file([(b"600000", 31)], 0)}
    before = [sys.getrefcount(x) for pair in files.items() for x in pair]
    for _ in range(200):
        for cls, data in files.items():
            cls().parse_data(data)
    del cls, data
    assert [sys.getrefcount(x) for pair in files.items() for x in pair] == before


def test_file_too_big_for_memory(tmp_path):
    # A sparse 8 GiB file under a 2 GiB address-space limit: MemoryError from every file method,
    # and the interpreter lives on (in a child, so a failure cannot take pytest down with it).
    path = tmp_path / "huge.day"
    with open(path, "wb") as f:
        f.truncate(8 << 30)
    assert run_python(f"""
        import resource
        import quotix._internal as q
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        for cls in (q.DailyBarReader, q.MinBarReader, q.LcMinBarReader, q.BlockReader, q.FinancialReader):
            for name in [name for name in vars(cls) if "file" in name]:
                try:
                    getattr(cls(), name)({str(path)!r})
                    raise SystemExit(cls.__name__ + "." + name)
                except MemoryError:
                    pass
    """) == ""
