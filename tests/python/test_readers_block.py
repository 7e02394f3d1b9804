"""BlockReader: block (sector) files as flat rows per member code or grouped rows per block."""

import pathlib

import pytest

from quotix._internal import BlockReader
from reader_files import block_file, u16

FLAT_KEYS = ["blockname", "block_type", "code_index", "code"]
GROUP_KEYS = ["blockname", "block_type", "stock_count", "code_list"]
YINHANG = "银行".encode("gbk")


def both(data):
    r = BlockReader()
    return r.parse_data(data), r.parse_data_group(data)


def test_flat_and_grouped_rows():
    data = block_file([
        (YINHANG, 2, [b"600000\0", b"600036\0"]),
        (b"SKIP", 1, [b"999999"]),
        (b"IDX", 3, [], 50),               # other types are passed over unread
        (b"BBB", 2, [b"600519"]),
    ])
    assert data[386 + 3 * 2813:386 + 3 * 2813 + 3] == b"BBB"   # whole slots apart
    flat, groups = both(data)
    assert [list(r) for r in flat] == [FLAT_KEYS] * 3 and [list(g) for g in groups] == [GROUP_KEYS] * 2
    assert flat == [
        {"blockname": "银行", "block_type": 2, "code_index": 0, "code": "600000"},
        {"blockname": "银行", "block_type": 2, "code_index": 1, "code": "600036"},
        {"blockname": "BBB", "block_type": 2, "code_index": 0, "code": "600519"},
    ]
    assert groups == [{"blockname": "银行", "block_type": 2, "stock_count": 2, "code_list": "600000,600036"},
                      {"blockname": "BBB", "block_type": 2, "stock_count": 1, "code_list": "600519"}]


@pytest.mark.parametrize("blocks, flat, groups", [
    ([], [], []),
    ([(b"EMPTY", 2, [])], [], [("EMPTY", 0, "")]),                      # header ends the data
    ([(b"\xef\xbb\xbf" + "板块".encode(), 2, [b"\xef\xbb\xbf0001", b"600000\0"])],
     [("板块", "0001"), ("板块", "600000")], [("板块", 2, "0001,600000")]),
], ids=["no-blocks", "no-members", "bom-text"])
def test_names_and_codes(blocks, flat, groups):
    got_flat, got_groups = both(block_file(blocks))
    assert [(r["blockname"], r["code"]) for r in got_flat] == flat
    assert [(g["blockname"], g["stock_count"], g["code_list"]) for g in got_groups] == groups


@pytest.mark.parametrize("data, text", [
    (b"", "Block file too small"),
    (bytes(385), "Block file too small"),
    (bytes(384) + u16(1), "Truncated block header"),          # one block declared, none present
    (block_file([(b"IDX", 3, [])])[:-1], "Truncated block header"),
    (block_file([(b"X", 2, [], 1)]), "Truncated stock code"),
    (block_file([(b"FIRST", 2, [b"000001"]), (b"X", 2, [b"600000\0", b"600036\0"])])[:-1], "Truncated stock code"),
    (block_file([(b"BIG", 2, [b"000001"] * 401)]), ".*"),     # would run into the next slot
])
def test_errors_give_no_partial_result(data, text):
    for m in (BlockReader().parse_data, BlockReader().parse_data_group):
        with pytest.raises(ValueError, match=f"^Invalid data: {text}$"):
            m(data)


def test_files(tmp_path):
    data = block_file([(YINHANG, 2, [b"600000", b"600036"]), (b"B", 2, [b"000001"])])
    path = tmp_path / "block_fg.dat"
    path.write_bytes(data)
    r = BlockReader()
    assert r.parse_file(str(path)) == r.parse_file(filename=str(path)) == r.parse_data(data=data)
    assert not hasattr(r, "parse_file_group")
    path.write_bytes(bytes(100))
    with pytest.raises(ValueError, match="^Invalid data: Block file too small$"):
        r.parse_file(str(path))
    with pytest.raises(ValueError, match="^IO error: "):
        r.parse_file(str(tmp_path / "nope.dat"))
    for bad in (pathlib.Path(path), str(path).encode()):
        with pytest.raises(TypeError, match="filename"):
            r.parse_file(bad)
