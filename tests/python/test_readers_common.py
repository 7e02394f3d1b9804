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

import quotix._internal as qi
from quotix._internal import BlockReader, DailyBarReader, FinancialReader, LcMinBarReader, MinBarReader
from reader_files import block_file, daily_record, f32, financial_file, lc_record, min_record

DAY = daily_record(20240315, 1234, 1250, 1200, 1240, 640.5, 500)
FIVE = min_record(0xA13B, 575, 1234, 1250, 1200, 1240, 640.5, 500)
LC = lc_record(0xA13B, 575, 12.34, 12.5, 12.0, 12.4, 640.5, 500)
BLOCK = block_file([(b"BANK", 2, [b"600000", b"600036"])])
FIN = financial_file(20231231, [(b"600000", 31)], 8, records=f32(0.5) + f32(2.0))

# (class, valid bytes for its data methods)
CLASSES = [
    (DailyBarReader, DAY),
    (MinBarReader, FIVE),
    (LcMinBarReader, LC),
    (BlockReader, BLOCK),
    (FinancialReader, FIN),
]

# The method tables, in order: (name, argument, docstring text).
METHODS = {
    DailyBarReader: [
        ("parse_data", "data", "解析日线数据，返回 Python list of dict"),
        ("parse_file", "filename", "从文件读取并解析"),
        ("parse_data_tuples", "data", "解析日线数据，返回 Python list of tuple (高性能模式)"),
        ("parse_file_tuples", "filename", "从文件读取并解析，返回 Python list of tuple (高性能模式)"),
        ("to_dataframe", "data", "解析日线数据, 返回 pandas DataFrame (列式, 高性能)"),
        ("to_dataframe_file", "filename", "从文件读取并解析, 返回 pandas DataFrame"),
    ],
    MinBarReader: [
        ("parse_data", "data", "解析 5分钟线数据 (整数格式)"),
        ("parse_file", "filename", "从文件读取并解析"),
        ("parse_data_tuples", "data", "解析 5分钟线数据，返回 list of tuple (高性能模式)"),
        ("parse_file_tuples", "filename", "从文件读取并解析，返回 list of tuple (高性能模式)"),
        ("to_dataframe", "data", "解析5分钟线数据, 返回 pandas DataFrame"),
    ],
    LcMinBarReader: [
        ("parse_data", "data", "解析 LC 格式分钟线数据 (浮点格式)"),
        ("parse_file", "filename", "从文件读取并解析"),
        ("parse_data_tuples", "data", "解析 LC 格式分钟线数据，返回 list of tuple (高性能模式)"),
        ("parse_file_tuples", "filename", "从文件读取并解析，返回 list of tuple (高性能模式)"),
        ("to_dataframe", "data", "解析LC分钟线数据, 返回 pandas DataFrame"),
    ],
    BlockReader: [
        ("parse_data", "data", "解析板块数据 (扁平模式: 每只股票一行)"),
        ("parse_data_group", "data", "解析板块数据 (分组模式: 每个板块一行)"),
        ("parse_file", "filename", "从文件读取并解析"),
    ],
    FinancialReader: [
        ("parse_data", "data", "解析财务数据"),
        ("parse_file", "filename", "从文件读取并解析"),
    ],
}

CLASS_DOCS = {
    DailyBarReader: ("(coefficient=0.01)", "日线 Reader"),
    MinBarReader: ("()", "5分钟线 Reader"),
    LcMinBarReader: ("()", "LC 格式分钟线 Reader"),
    BlockReader: ("()", "板块文件 Reader"),
    FinancialReader: ("()", "财务数据 Reader"),
}

DATA_METHODS = [(cls, name, good) for cls, good in CLASSES for name, arg, _ in METHODS[cls] if arg == "data"]
FILE_METHODS = [(cls, name, good) for cls, good in CLASSES for name, arg, _ in METHODS[cls] if arg == "filename"]
FRAME_METHODS = [(cls, name) for cls in (DailyBarReader, MinBarReader, LcMinBarReader)
                 for name in ("to_dataframe", "to_dataframe_file") if hasattr(cls, name)]


def mid(params):
    return [f"{p[0].__name__}.{p[1]}" for p in params]


# ---------------------------------------------------------------------------------------------
# Classes, signatures, docstrings


def test_readers_are_the_first_five_classes():
    assert qi.__all__[:6] == ["DailyBarReader", "MinBarReader", "LcMinBarReader", "BlockReader",
                              "FinancialReader", "TdxHqClient"]


@pytest.mark.parametrize("cls", list(CLASS_DOCS), ids=lambda c: c.__name__)
def test_class_signature_and_doc(cls):
    sig, title = CLASS_DOCS[cls]
    assert str(inspect.signature(cls)) == sig
    assert cls.__doc__ == title
    assert cls.__module__ == "quotix._internal"


@pytest.mark.parametrize("cls", list(METHODS), ids=lambda c: c.__name__)
def test_method_tables(cls):
    own = [k for k, v in vars(cls).items() if callable(v) and not k.startswith("_")]
    assert own == [name for name, _, _ in METHODS[cls]]
    r = cls()
    for name, arg, doc in METHODS[cls]:
        m = getattr(r, name)
        assert str(inspect.signature(m)) == f"({arg})"
        assert m.__doc__ == doc


@pytest.mark.parametrize("cls", [MinBarReader, LcMinBarReader, BlockReader, FinancialReader],
                         ids=lambda c: c.__name__)
def test_constructors_without_arguments(cls):
    assert isinstance(cls(), cls)
    with pytest.raises(TypeError):
        cls(1)
    with pytest.raises(TypeError):
        cls(coefficient=0.01)


# ---------------------------------------------------------------------------------------------
# The `data` argument


class BytesChild(bytes):
    pass


class ByteArrayChild(bytearray):
    pass


class TextChild(str):
    pass


class Seven:
    """Not an int, but usable as one."""

    def __index__(self):
        return 7


@pytest.mark.parametrize("cls, name, good", DATA_METHODS, ids=mid(DATA_METHODS))
def test_data_forms_give_equal_results(cls, name, good):
    if name == "to_dataframe":
        pytest.importorskip("pandas")
    m = getattr(cls(), name)
    want = m(good)
    forms = [bytearray(good), list(good), tuple(good), BytesChild(good), ByteArrayChild(good),
             memoryview(good), array.array("B", good)]
    for form in forms:
        got = m(form)
        if name == "to_dataframe":
            assert got.equals(want), type(form)
        else:
            assert got == want, type(form)
    assert (m(data=good).equals(want) if name == "to_dataframe" else m(data=good) == want)


def test_numpy_and_index_items():
    np = pytest.importorskip("numpy")
    r = DailyBarReader()
    assert r.parse_data(np.frombuffer(DAY, dtype=np.uint8)) == r.parse_data(DAY)
    items = list(DAY)
    items[5] = Seven()  # byte 5 is the second byte of open
    assert r.parse_data(items)[0]["open"] == (1234 - 4 * 256 + 7 * 256) * 0.01
    items[5] = True  # a bool is an int
    assert r.parse_data(items)[0]["open"] == (1234 - 4 * 256 + 256) * 0.01


@pytest.mark.parametrize("cls, name, good", DATA_METHODS, ids=mid(DATA_METHODS))
def test_unsuitable_data(cls, name, good):
    m = getattr(cls(), name)
    for bad in ("", good.decode("latin-1"), TextChild("ab"), None, 5, 1.5, {1: 2}, {1, 2}, object()):
        with pytest.raises(TypeError, match="'data'"):
            m(bad)
    with pytest.raises(TypeError, match="'data'"):
        m([0, 1, 2.0])
    with pytest.raises(TypeError, match="'data'"):
        m(["1"])
    for out_of_range in (256, -1, 2**70):
        with pytest.raises(OverflowError):
            m([0, out_of_range])


@pytest.mark.parametrize("cls, name, good", DATA_METHODS + FILE_METHODS, ids=mid(DATA_METHODS + FILE_METHODS))
def test_argument_binding(cls, name, good):
    m = getattr(cls(), name)
    _, arg, _ = next(t for t in METHODS[cls] if t[0] == name)
    with pytest.raises(TypeError):
        m()
    with pytest.raises(TypeError):
        m(good, good)
    with pytest.raises(TypeError):
        m(**{"other": good})
    with pytest.raises(TypeError):
        m(good, **{arg: good})


# ---------------------------------------------------------------------------------------------
# The `filename` argument


@pytest.fixture
def files(tmp_path):
    paths = {}
    for cls, good in CLASSES:
        p = tmp_path / f"{cls.__name__}.bin"
        p.write_bytes(good)
        paths[cls] = p
    return paths


@pytest.mark.parametrize("cls, name, good", FILE_METHODS, ids=mid(FILE_METHODS))
def test_filename_forms(cls, name, good, files, monkeypatch):
    if name == "to_dataframe_file":
        pytest.importorskip("pandas")
    m = getattr(cls(), name)
    path = files[cls]
    want = m(str(path))
    same = (lambda a, b: a.equals(b)) if name == "to_dataframe_file" else (lambda a, b: a == b)
    assert same(m(filename=str(path)), want)

    class PathText(str):
        pass

    assert same(m(PathText(str(path))), want)
    monkeypatch.chdir(path.parent)
    assert same(m(path.name), want)  # relative to the current directory
    for bad in (bytes(str(path), "utf-8"), pathlib.Path(path), None, 3):
        with pytest.raises(TypeError, match="'filename'"):
            m(bad)


@pytest.mark.parametrize("cls, name, good", FILE_METHODS, ids=mid(FILE_METHODS))
def test_unreadable_files(cls, name, good, tmp_path):
    m = getattr(cls(), name)
    with pytest.raises(ValueError) as info:
        m(str(tmp_path / "missing.dat"))
    assert str(info.value) == "IO error: No such file or directory (os error 2)"
    with pytest.raises(ValueError) as info:
        m(str(tmp_path))
    assert str(info.value) == "IO error: Is a directory (os error 21)"
    with pytest.raises(ValueError) as info:
        m(str(tmp_path) + "/a\0b")
    assert str(info.value) == "IO error: file name contained an unexpected NUL byte"
    with pytest.raises(UnicodeEncodeError):
        m(str(tmp_path) + "/\udcff")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_permission(tmp_path):
    p = tmp_path / "locked.day"
    p.write_bytes(DAY)
    p.chmod(0)
    with pytest.raises(ValueError, match=r"^IO error: Permission denied \(os error 13\)$"):
        DailyBarReader().parse_file(str(p))


# ---------------------------------------------------------------------------------------------
# pandas at call time only


def test_import_does_not_import_pandas():
    code = ("import sys\nimport quotix._internal as qi\n"
            "r = qi.MinBarReader()\nr.parse_data(bytes(64))\n"
            "assert 'pandas' not in sys.modules, 'imported'\n")
    subprocess.run([sys.executable, "-c", code], check=True, cwd=os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("cls, name", FRAME_METHODS, ids=mid(FRAME_METHODS))
def test_without_pandas(cls, name, monkeypatch, tmp_path):
    good = dict(CLASSES)[cls]
    m = getattr(cls(), name)
    if name.endswith("_file"):
        ok_arg, bad_arg = tmp_path / "ok", tmp_path / "bad"
        ok_arg.write_bytes(good)
        bad_arg.write_bytes(good[:-1])
        ok_arg, bad_arg, empty = str(ok_arg), str(bad_arg), str(tmp_path / "empty")
        open(empty, "wb").close()
    else:
        ok_arg, bad_arg, empty = good, good[:-1], b""
    monkeypatch.setitem(sys.modules, "pandas", None)
    for arg in (ok_arg, empty):
        with pytest.raises(ModuleNotFoundError, match="pandas"):
            m(arg)
    with pytest.raises(ValueError, match="^Invalid data: "):
        m(bad_arg)
    # The other shapes never need pandas.
    assert len(cls().parse_data(good)) == 1


def test_pandas_errors_pass_unchanged(monkeypatch):
    pd = pytest.importorskip("pandas")

    class Refused(Exception):
        pass

    def refuse(data):
        raise Refused(list(data))

    monkeypatch.setattr(pd, "DataFrame", refuse)
    with pytest.raises(Refused) as info:
        MinBarReader().to_dataframe(FIVE)
    assert info.value.args[0][:2] == ["date", "year"]
    with pytest.raises(Refused):
        LcMinBarReader().to_dataframe(LC)
    with pytest.raises(Refused):
        DailyBarReader().to_dataframe(DAY)


def test_dataframe_gets_one_dict_of_column_lists(monkeypatch):
    pd = pytest.importorskip("pandas")
    seen = []

    def record(*args, **kwargs):
        seen.append((args, kwargs))
        return "frame"

    monkeypatch.setattr(pd, "DataFrame", record)
    assert LcMinBarReader().to_dataframe(LC + LC) == "frame"
    (args, kwargs), = seen
    assert kwargs == {}
    (columns,) = args
    assert type(columns) is dict
    assert all(type(v) is list and len(v) == 2 for v in columns.values())
    assert columns["open"] == [12.34000015258789] * 2


# ---------------------------------------------------------------------------------------------
# State, threads, logging


def test_failures_leave_readers_usable(capfd):
    r = DailyBarReader(0.001)
    with pytest.raises(ValueError):
        r.parse_data(b"\0" * 33)
    with pytest.raises(TypeError):
        r.parse_data("x")
    assert r.parse_data(DAY)[0]["open"] == 1.234
    out, err = capfd.readouterr()
    assert (out, err) == ("", "")


def test_one_reader_shared_by_threads():
    r = MinBarReader()
    data = FIVE * 500
    want = r.parse_data_tuples(data)
    results = []

    def work():
        for _ in range(20):
            results.append(r.parse_data_tuples(data) == want)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 80


# ---------------------------------------------------------------------------------------------
# Arbitrary bytes: a result or ValueError, never anything else


ROBUST = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(method, data):
    try:
        return method(data)
    except ValueError as e:
        assert str(e).startswith("Invalid data: ")
        return None


@ROBUST
@given(st.binary(max_size=200))
def test_bar_readers_on_arbitrary_bytes(data):
    for cls in (DailyBarReader, MinBarReader, LcMinBarReader):
        r = cls()
        rows = outcome(r.parse_data, data)
        tuples = outcome(r.parse_data_tuples, data)
        if len(data) % 32:
            assert rows is None and tuples is None
        else:
            assert len(rows) == len(tuples) == len(data) // 32
            assert [tuple(d.values()) for d in rows] == tuples


@ROBUST
@given(st.binary(max_size=64), st.integers(0, 4), st.binary(max_size=3000))
def test_block_reader_on_arbitrary_bytes(head, count, tail):
    # Mostly well-formed fronts, so the walk gets past the file header.
    data = head.ljust(384, b"\0")[:384] + count.to_bytes(2, "little") + tail
    r = BlockReader()
    flat = outcome(r.parse_data, data)
    groups = outcome(r.parse_data_group, data)
    assert (flat is None) == (groups is None)
    if flat is not None:
        for g in groups:
            codes = [f["code"] for f in flat if f["blockname"] == g["blockname"]]
            assert g["block_type"] == 2
            if len({x["blockname"] for x in groups}) == len(groups):
                assert ",".join(codes) == g["code_list"]


@ROBUST
@given(st.binary(max_size=400))
def test_financial_reader_on_arbitrary_bytes(data):
    rows = outcome(FinancialReader().parse_data, data)
    if len(data) < 20:
        assert rows is None
    else:
        assert len(rows) <= (len(data) - 20) // 11
        for row in rows:
            assert list(row) == ["code", "report_date", "fields"]
            assert row["report_date"] == int.from_bytes(data[2:6], "little")


@ROBUST
@given(st.lists(st.integers(-300, 300), max_size=80))
def test_integer_lists(items):
    try:
        DailyBarReader().parse_data(items)
    except OverflowError:
        assert any(not 0 <= i <= 255 for i in items)
    except ValueError:
        assert len(items) % 32


BLOCK_MESSAGES = {"Invalid data: Block file too small", "Invalid data: Truncated block header",
                  "Invalid data: Truncated stock code"}

block_st = st.tuples(
    st.binary(max_size=9),
    st.sampled_from([1, 2, 2, 3]),
    st.lists(st.binary(min_size=1, max_size=7), max_size=6),
)


@ROBUST
@given(st.lists(block_st, max_size=4), st.integers(0, 6000))
def test_block_shapes_agree_on_cut_files(blocks, cut):
    data = block_file(blocks)[:cut]
    r = BlockReader()
    try:
        flat = r.parse_data(data)
    except ValueError as e:
        flat = str(e)
        assert flat in BLOCK_MESSAGES
    try:
        groups = r.parse_data_group(data)
    except ValueError as e:
        groups = str(e)
    if isinstance(flat, str):
        assert groups == flat
        return
    stock_blocks = [b for b in blocks if b[1] == 2]
    assert len(groups) == len(stock_blocks)
    at = 0
    for g, (_, _, codes) in zip(groups, stock_blocks):
        assert g["stock_count"] == len(codes)
        mine = flat[at:at + len(codes)]
        at += len(codes)
        assert [f["code_index"] for f in mine] == list(range(len(codes)))
        assert ",".join(f["code"] for f in mine) == g["code_list"]
        assert all(f["blockname"] == g["blockname"] for f in mine)
    assert at == len(flat)


@ROBUST
@given(
    st.lists(st.tuples(st.binary(max_size=6), st.integers(0, 400)), max_size=8),
    st.integers(0, 40),
    st.binary(max_size=200),
    st.integers(0, 10),
)
def test_financial_entries_on_random_offsets(entries, record_size, records, extra_count):
    data = financial_file(20240630, entries, record_size, declared=len(entries) + extra_count, records=records)
    rows = FinancialReader().parse_data(data)
    present = [(c, o) for c, o in entries if o + record_size // 4 * 4 <= len(data)]
    # Without overlap accounting, every entry whose record fits comes back, in order.
    if sum(record_size // 4 * 4 for _ in present) <= len(data):
        assert [r["code"] for r in rows] == [c.rstrip(b"\0").decode("utf-8", "replace") for c, _ in present]
    for row in rows:
        assert len(row["fields"]) == record_size // 4
        assert row["report_date"] == 20240630


def test_instances_and_inputs_are_not_leaked():
    data = bytes(DAY)
    before_cls = sys.getrefcount(DailyBarReader)
    before_data = sys.getrefcount(data)
    for _ in range(1000):
        r = DailyBarReader(0.5)
        r.parse_data(data)
        r.parse_data_tuples(data)
        del r
    for cls in (MinBarReader, LcMinBarReader, BlockReader, FinancialReader):
        before = sys.getrefcount(cls)
        for _ in range(1000):
            cls()
        assert sys.getrefcount(cls) == before
    assert sys.getrefcount(DailyBarReader) == before_cls
    assert sys.getrefcount(data) == before_data
