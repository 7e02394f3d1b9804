"""BlockReader: block (sector) files as flat rows per member code or grouped rows per block."""

import pathlib

import pytest

from quotix._internal import BlockReader
from reader_files import block_file, u16

FLAT_KEYS = ["blockname", "block_type", "code_index", "code"]
GROUP_KEYS = ["blockname", "block_type", "stock_count", "code_list"]

YINHANG = "银行".encode("gbk")  # b"\xd2\xf8\xd0\xd0"


def both(data):
    r = BlockReader()
    return r.parse_data(data), r.parse_data_group(data)


def invalid(text):
    return pytest.raises(ValueError, match=f"^Invalid data: {text}$")


# ---------------------------------------------------------------------------------------------
# Rows


def test_two_codes_flat_and_grouped():
    data = block_file([(YINHANG, 2, [b"600000\0", b"600036\0"])])
    flat, groups = both(data)
    assert flat == [
        {"blockname": "银行", "block_type": 2, "code_index": 0, "code": "600000"},
        {"blockname": "银行", "block_type": 2, "code_index": 1, "code": "600036"},
    ]
    assert [list(r) for r in flat] == [FLAT_KEYS, FLAT_KEYS]
    assert groups == [{"blockname": "银行", "block_type": 2, "stock_count": 2, "code_list": "600000,600036"}]
    assert list(groups[0]) == GROUP_KEYS


def test_blocks_in_file_order_with_their_own_indexes():
    data = block_file([
        (b"AAA", 2, [b"000001", b"000002", b"000004"]),
        (b"SKIP", 1, [b"999999"]),
        (b"BBB", 2, [b"600519"]),
    ])
    flat, groups = both(data)
    # The third block starts two whole slots after the first: 386 + 2 * 2813.
    assert data[386 + 2 * 2813:386 + 2 * 2813 + 3] == b"BBB"
    assert [(r["blockname"], r["code_index"], r["code"]) for r in flat] == [
        ("AAA", 0, "000001"), ("AAA", 1, "000002"), ("AAA", 2, "000004"), ("BBB", 0, "600519"),
    ]
    assert [(g["blockname"], g["stock_count"], g["code_list"]) for g in groups] == [
        ("AAA", 3, "000001,000002,000004"), ("BBB", 1, "600519"),
    ]


def test_block_without_members():
    # 399 bytes: the header of one type-2 block ends exactly at the end of the data.
    data = block_file([(b"EMPTY", 2, [])])
    assert len(data) == 399
    flat, groups = both(data)
    assert flat == []
    assert groups == [{"blockname": "EMPTY", "block_type": 2, "stock_count": 0, "code_list": ""}]


def test_other_block_types_are_passed_over_unread():
    # A type-3 block announcing 50 codes that are not in the data at all.
    data = block_file([(b"IDX", 3, [], 50)])
    assert both(data) == ([], [])


def test_no_blocks():
    data = bytes(386)
    r = BlockReader()
    assert r.parse_data(data) == []
    assert r.parse_data_group(data) == []


# ---------------------------------------------------------------------------------------------
# Text


def test_utf8_byte_order_mark_name():
    name = b"\xef\xbb\xbf" + "板块".encode("utf-8")  # exactly the nine name bytes
    flat, groups = both(block_file([(name, 2, [b"300750"])]))
    assert flat[0]["blockname"] == "板块"
    assert groups[0]["blockname"] == "板块"


def test_gbk_name_and_nul_padding():
    name = "沪深300".encode("gbk")
    flat, _ = both(block_file([(name, 2, [b"600000"])]))
    assert flat[0]["blockname"] == "沪深300"


def test_code_fields_are_text_too():
    _, groups = both(block_file([(b"X", 2, [b"\xef\xbb\xbf0001", b"600000\0"])]))
    assert groups[0]["code_list"] == "0001,600000"


# ---------------------------------------------------------------------------------------------
# Errors


def test_too_small():
    r = BlockReader()
    for m in (r.parse_data, r.parse_data_group):
        with invalid("Block file too small"):
            m(bytes(385))
        with invalid("Block file too small"):
            m(b"")


def test_truncated_block_header():
    data = bytes(384) + u16(1)  # one block declared, no byte of it present
    assert len(data) == 386
    for m in (BlockReader().parse_data, BlockReader().parse_data_group):
        with invalid("Truncated block header"):
            m(data)
    # A header cut inside, whatever its type.
    cut = block_file([(b"IDX", 3, [])])[:-1]
    with invalid("Truncated block header"):
        BlockReader().parse_data(cut)


def test_truncated_stock_code_gives_no_partial_result():
    one_missing = block_file([(b"X", 2, [], 1)])
    assert len(one_missing) == 399
    last_short = block_file([(b"FIRST", 2, [b"000001"]), (b"X", 2, [b"600000\0", b"600036\0"])])[:-1]
    for data in (one_missing, last_short):
        for m in (BlockReader().parse_data, BlockReader().parse_data_group):
            with invalid("Truncated stock code"):
                m(data)


def test_member_count_beyond_the_slot_is_refused():
    # 401 codes would run into the next block's slot.
    data = block_file([(b"BIG", 2, [b"000001"] * 401)])
    with pytest.raises(ValueError, match="^Invalid data: "):
        BlockReader().parse_data(data)


# ---------------------------------------------------------------------------------------------
# Files


def test_file_gives_what_bytes_give(tmp_path):
    data = block_file([(YINHANG, 2, [b"600000", b"600036"]), (b"B", 2, [b"000001"])])
    path = tmp_path / "block_fg.dat"
    path.write_bytes(data)
    r = BlockReader()
    assert r.parse_file(str(path)) == r.parse_data(data)
    assert r.parse_file(filename=str(path)) == r.parse_data(data=data)
    assert not hasattr(r, "parse_file_group")


def test_missing_and_short_files(tmp_path):
    r = BlockReader()
    with pytest.raises(ValueError, match="^IO error: "):
        r.parse_file(str(tmp_path / "nope.dat"))
    short = tmp_path / "short.dat"
    short.write_bytes(bytes(100))
    with invalid("Block file too small"):
        r.parse_file(str(short))
    with pytest.raises(TypeError, match="filename"):
        r.parse_file(pathlib.Path(short))
    with pytest.raises(TypeError, match="filename"):
        r.parse_file(str(short).encode())
