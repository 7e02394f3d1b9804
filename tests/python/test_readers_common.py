"""What the five reader classes share: registration, signatures and docstrings, the `data` and
`filename` arguments, error mapping, pandas at call time, and robustness on arbitrary bytes."""

import array
import inspect
import os
import pathlib
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quotix._internal import BlockReader, DailyBarReader, FinancialReader, LcMinBarReader, MinBarReader
from reader_files import block_file, daily_record, f32, financial_file, lc_record, min_record

DAY = daily_record(20240315, 1234, 1250, 1200, 1240, 640.5, 500)
FIVE = min_record(0xA13B, 575, 1234, 1250, 1200, 1240, 640.5, 500)
LC = lc_record(0xA13B, 575, 12.34, 12.5, 12.0, 12.4, 640.5, 500)
BLOCK = block_file([(b"BANK", 2, [b"600000", b"600036"])])
FIN = financial_file(20231231, [(b"600000", 31)], 8, records=f32(0.5) + f32(2.0))

# (class, valid bytes for its data methods)
CLASSES = [(DailyBarReader, DAY), (MinBarReader, FIVE), (LcMinBarReader, LC), (BlockReader, BLOCK),
           (FinancialReader, FIN)]

# Per class: its signature, its docstring, then its methods in order as (name, argument, docstring).
CLASS_TABLE = {
    DailyBarReader: ("(coefficient=0.01)", "日线 Reader", [
        ("parse_data", "data", "解析日线数据，返回 Python list of dict"),
        ("parse_file", "filename", "从文件读取并解析"),
        ("parse_data_tuples", "data", "解析日线数据，返回 Python list of tuple (高性能模式)"),
        ("parse_file_tuples", "filename", "从文件读取并解析，返回 Python list of tuple (高性能模式)"),
        ("to_dataframe", "data", "解析日线数据, 返回 pandas DataFrame (列式, 高性能)"),
        ("to_dataframe_file", "filename", "从文件读取并解析, 返回 pandas DataFrame")]),
    MinBarReader: ("()", "5分钟线 Reader", [
        ("parse_data", "data", "解析 5分钟线数据 (整数格式)"),
        ("parse_file", "filename", "从文件读取并解析"),
        ("parse_data_tuples", "data", "解析 5分钟线数据，返回 list of tuple (高性能模式)"),
        ("parse_file_tuples", "filename", "从文件读取并解析，返回 list of tuple (高性能模式)"),
        ("to_dataframe", "data", "解析5分钟线数据, 返回 pandas DataFrame")]),
    LcMinBarReader: ("()", "LC 格式分钟线 Reader", [
        ("parse_data", "data", "解析 LC 格式分钟线数据 (浮点格式)"),
        ("parse_file", "filename", "从文件读取并解析"),
        ("parse_data_tuples", "data", "解析 LC 格式分钟线数据，返回 list of tuple (高性能模式)"),
        ("parse_file_tuples", "filename", "从文件读取并解析，返回 list of tuple (高性能模式)"),
        ("to_dataframe", "data", "解析LC分钟线数据, 返回 pandas DataFrame")]),
    BlockReader: ("()", "板块文件 Reader", [
        ("parse_data", "data", "解析板块数据 (扁平模式: 每只股票一行)"),
        ("parse_data_group", "data", "解析板块数据 (分组模式: 每个板块一行)"),
        ("parse_file", "filename", "从文件读取并解析")]),
    FinancialReader: ("()", "财务数据 Reader", [
        ("parse_data", "data", "解析财务数据"),
        ("parse_file", "filename", "从文件读取并解析")]),
}
METHODS = {cls: methods for cls, (_, _, methods) in CLASS_TABLE.items()}

DATA_METHODS = [(cls, name, good) for cls, good in CLASSES for name, arg, _ in METHODS[cls] if arg == "data"]
FILE_METHODS = [(cls, name, good) for cls, good in CLASSES for name, arg, _ in METHODS[cls] if arg == "filename"]
FRAME_METHODS = [(cls, name) for cls in (DailyBarReader, MinBarReader, LcMinBarReader)
                 for name in ("to_dataframe", "to_dataframe_file") if hasattr(cls, name)]


def mid(params):
    return [f"{p[0].__name__}.{p[1]}" for p in params]


def same(name):
    return (lambda a, b: a.equals(b)) if name.startswith("to_dataframe") else (lambda a, b: a == b)


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda c: c.__name__)
def test_classes_and_method_tables(cls):
    sig, title, _ = CLASS_TABLE[cls]
    assert (str(inspect.signature(cls)), cls.__doc__, cls.__module__) == (sig, title, "quotix._internal")
    own = [k for k, v in vars(cls).items() if callable(v) and not k.startswith("_")]
    assert own == [name for name, _, _ in METHODS[cls]]
    r = cls()
    for name, arg, doc in METHODS[cls]:
        m = getattr(r, name)
        assert (str(inspect.signature(m)), m.__doc__) == (f"({arg})", doc)
    if cls is not DailyBarReader:
        for args, kwargs in [((1,), {}), ((), {"coefficient": 0.01})]:
            with pytest.raises(TypeError):
                cls(*args, **kwargs)


class Seven:
    def __index__(self):
        return 7


@pytest.mark.parametrize("cls, name, good", DATA_METHODS, ids=mid(DATA_METHODS))
def test_data_argument(cls, name, good):
    if name == "to_dataframe":
        pytest.importorskip("pandas")
    m = getattr(cls(), name)
    want = m(good)
    eq = same(name)
    for form in [bytearray(good), list(good), tuple(good), type("B", (bytes,), {})(good),
                 type("BA", (bytearray,), {})(good), memoryview(good), array.array("B", good)]:
        assert eq(m(form), want), type(form)
    assert eq(m(data=good), want)
    for bad in ("", good.decode("latin-1"), type("T", (str,), {})("ab"), None, 5, 1.5, {1: 2}, {1, 2}, object(),
                [0, 1, 2.0], ["1"]):
        with pytest.raises(TypeError, match="'data'"):
            m(bad)
    for out_of_range in (256, -1, 2**70):
        with pytest.raises(OverflowError):
            m([0, out_of_range])
    for args, kwargs in [((), {}), ((good, good), {}), ((), {"other": good}), ((good,), {"data": good})]:
        with pytest.raises(TypeError):
            m(*args, **kwargs)


def test_numpy_and_index_items():
    np = pytest.importorskip("numpy")
    r = DailyBarReader()
    assert r.parse_data(np.frombuffer(DAY, dtype=np.uint8)) == r.parse_data(DAY)
    items = list(DAY)
    items[5] = Seven()  # byte 5 is the second byte of open
    assert r.parse_data(items)[0]["open"] == (1234 - 4 * 256 + 7 * 256) * 0.01
    items[5] = True
    assert r.parse_data(items)[0]["open"] == (1234 - 4 * 256 + 256) * 0.01


@pytest.mark.parametrize("cls, name, good", FILE_METHODS, ids=mid(FILE_METHODS))
def test_filename_argument(cls, name, good, tmp_path, monkeypatch):
    if name == "to_dataframe_file":
        pytest.importorskip("pandas")
    m = getattr(cls(), name)
    path = tmp_path / "good.bin"
    path.write_bytes(good)
    want = m(str(path))
    eq = same(name)
    assert eq(m(filename=str(path)), want) and eq(m(type("P", (str,), {})(str(path))), want)
    monkeypatch.chdir(tmp_path)
    assert eq(m(path.name), want)  # relative to the current directory
    for bad in (bytes(str(path), "utf-8"), pathlib.Path(path), None, 3):
        with pytest.raises(TypeError, match="'filename'"):
            m(bad)
    for args, kwargs in [((), {}), ((str(path), str(path)), {}), ((str(path),), {"filename": str(path)})]:
        with pytest.raises(TypeError):
            m(*args, **kwargs)
    for arg, text in [(tmp_path / "missing.dat", "No such file or directory (os error 2)"),
                      (tmp_path, "Is a directory (os error 21)"),
                      (str(tmp_path) + "/a\0b", "file name contained an unexpected NUL byte")]:
        with pytest.raises(ValueError) as info:
            m(str(arg))
        assert str(info.value) == "IO error: " + text
    with pytest.raises(UnicodeEncodeError):
        m(str(tmp_path) + "/\udcff")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_permission(tmp_path):
    p = tmp_path / "locked.day"
    p.write_bytes(DAY)
    p.chmod(0)
    with pytest.raises(ValueError, match=r"^IO error: Permission denied \(os error 13\)$"):
        DailyBarReader().parse_file(str(p))


def test_file_too_big_for_memory(tmp_path):
    # A sparse 8 GiB file under a 2 GiB address-space limit: MemoryError from every file method,
    # and the interpreter lives on (in a child, so a failure cannot take pytest down with it).
    path = tmp_path / "huge.day"
    with open(path, "wb") as f:
        f.truncate(8 << 30)
    calls = [(cls.__name__, name) for cls, name, _ in FILE_METHODS]
    script = f"""import resource
from quotix import _internal as q
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
for cls, name in {calls!r}:
    try:
        getattr(getattr(q, cls)(), name)({str(path)!r})
    except MemoryError:
        continue
    raise SystemExit(cls + "." + name)
print("alive")"""
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                           cwd=tmp_path)
    assert (child.returncode, child.stdout) == (0, "alive\n"), child.stderr


@pytest.mark.parametrize("cls, name", FRAME_METHODS, ids=mid(FRAME_METHODS))
def test_without_pandas(cls, name, monkeypatch, tmp_path):
    good = dict(CLASSES)[cls]
    m = getattr(cls(), name)
    args = [good, b"", good[:-1]]
    if name.endswith("_file"):
        for i, content in enumerate(list(args)):
            (tmp_path / str(i)).write_bytes(content)
            args[i] = str(tmp_path / str(i))
    monkeypatch.setitem(sys.modules, "pandas", None)
    for arg in args[:2]:
        with pytest.raises(ModuleNotFoundError, match="pandas"):
            m(arg)
    with pytest.raises(ValueError, match="^Invalid data: "):
        m(args[2])
    assert len(cls().parse_data(good)) == 1  # the other shapes never need pandas


def test_dataframe_gets_one_dict_of_column_lists_and_its_errors_pass(monkeypatch):
    pd = pytest.importorskip("pandas")
    seen = []

    class Refused(Exception):
        pass

    def record(*args, **kwargs):
        seen.append((args, kwargs))
        if len(seen) > 1:
            raise Refused()
        return "frame"

    monkeypatch.setattr(pd, "DataFrame", record)
    assert LcMinBarReader().to_dataframe(LC + LC) == "frame"
    (columns,), kwargs = seen[0]
    assert kwargs == {} and type(columns) is dict
    assert all(type(v) is list and len(v) == 2 for v in columns.values())
    assert columns["open"] == [12.34000015258789] * 2
    for r, data in [(MinBarReader(), FIVE), (DailyBarReader(), DAY)]:
        with pytest.raises(Refused):
            r.to_dataframe(data)
    assert list(seen[1][0][0])[:2] == ["date", "year"]


def test_failures_leave_readers_usable_and_silent(capfd):
    r = DailyBarReader(0.001)
    with pytest.raises(ValueError):
        r.parse_data(b"\0" * 33)
    with pytest.raises(TypeError):
        r.parse_data("x")
    assert r.parse_data(DAY)[0]["open"] == 1.234
    assert capfd.readouterr() == ("", "")


def test_one_reader_shared_by_threads():
    r = MinBarReader()
    data = FIVE * 500
    want = r.parse_data_tuples(data)
    results = []
    threads = [threading.Thread(target=lambda: results.extend(r.parse_data_tuples(data) == want for _ in range(20)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 80


def test_instances_and_inputs_are_not_leaked():
    data = bytes(DAY)
    before = [sys.getrefcount(c) for c in METHODS] + [sys.getrefcount(data)]
    for _ in range(1000):
        r = DailyBarReader(0.5)
        r.parse_data(data)
        r.parse_data_tuples(data)
        for cls in (MinBarReader, LcMinBarReader, BlockReader, FinancialReader):
            cls()
    del r, cls
    assert [sys.getrefcount(c) for c in METHODS] + [sys.getrefcount(data)] == before


# Arbitrary bytes: a result or ValueError, never anything else.
ROBUST = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(method, data):
    try:
        return method(data)
    except ValueError as e:
        assert str(e).startswith("Invalid data: ")
        return str(e)


@ROBUST
@given(st.binary(max_size=200))
def test_bar_readers_on_arbitrary_bytes(data):
    for cls in (DailyBarReader, MinBarReader, LcMinBarReader):
        rows, tuples = outcome(cls().parse_data, data), outcome(cls().parse_data_tuples, data)
        if len(data) % 32:
            assert isinstance(rows, str) and isinstance(tuples, str)
        else:
            assert len(rows) == len(data) // 32
            assert [tuple(d.values()) for d in rows] == tuples


block_st = st.tuples(st.binary(max_size=9), st.sampled_from([1, 2, 2, 3]),
                     st.lists(st.binary(min_size=1, max_size=7), max_size=6))


@ROBUST
@given(st.binary(max_size=64), st.lists(block_st, max_size=4), st.integers(0, 6000))
def test_block_shapes_agree_on_cut_files(header, blocks, cut):
    data = block_file(blocks, header=header)[:cut]
    flat, groups = outcome(BlockReader().parse_data, data), outcome(BlockReader().parse_data_group, data)
    if isinstance(flat, str):
        assert flat in {"Invalid data: Block file too small", "Invalid data: Truncated block header",
                        "Invalid data: Truncated stock code"}
        assert groups == flat
        return
    stock_blocks = [b for b in blocks if b[1] == 2]
    assert len(groups) == len(stock_blocks)
    at = 0
    for g, (_, _, codes) in zip(groups, stock_blocks):
        assert (g["stock_count"], g["block_type"]) == (len(codes), 2)
        mine = flat[at:at + len(codes)]
        at += len(codes)
        assert [f["code_index"] for f in mine] == list(range(len(codes)))
        assert ",".join(f["code"] for f in mine) == g["code_list"]
        assert all(f["blockname"] == g["blockname"] for f in mine)
    assert at == len(flat)


@ROBUST
@given(st.lists(st.tuples(st.binary(max_size=6), st.integers(0, 400)), max_size=8),
       st.integers(0, 40), st.binary(max_size=200), st.integers(0, 10))
def test_financial_entries_on_random_offsets(entries, record_size, records, extra_count):
    data = financial_file(20240630, entries, record_size, declared=len(entries) + extra_count, records=records)
    rows = FinancialReader().parse_data(data)
    present = [(c, o) for c, o in entries if o + record_size // 4 * 4 <= len(data)]
    if sum(record_size // 4 * 4 for _ in present) <= len(data):
        assert [r["code"] for r in rows] == [c.rstrip(b"\0").decode("utf-8", "replace") for c, _ in present]
    for row in rows:
        assert (len(row["fields"]), row["report_date"]) == (record_size // 4, 20240630)
