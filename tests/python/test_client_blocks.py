"""Block files downloaded through TdxHqClient's pooled request path, and parsed."""

import dataset
import pytest
from hq_fixtures import client, data_requests, mock, requests_of  # noqa: F401

from quotix._internal import BLOCK_GN, BLOCK_SZ

ROW_KEYS = ["blockname", "block_type", "code_index", "code"]


def test_index_blocks(client, mock):
    rows = client.get_and_parse_block_info(BLOCK_SZ)
    # Type-2 blocks only, one row per member; the empty block gives none, the type-1 block is skipped.
    assert [(r["blockname"], r["code_index"], r["code"]) for r in rows] == [
        ("沪深300", 0, "600000"), ("沪深300", 1, "600036"), ("沪深300", 2, "600519"), ("沪深300", 3, "000001"),
        ("沪深300", 4, "000002"), ("上证", 0, "600000"), ("上证50", 0, "600000"), ("上证50", 1, "600519"),
    ]
    assert all(list(r) == ROW_KEYS and r["block_type"] == 2 for r in rows)
    assert [type(v) for v in rows[0].values()] == [str, int, int, str]
    size = len(dataset.block_file("block_zs.dat"))
    assert size == 11665
    assert [r["file"] for r in requests_of(mock, "block_meta")] == ["block_zs.dat"]
    assert [(r["offset"], r["size"], r["file"]) for r in requests_of(mock, "block_chunk")] == \
        [(0, size, "block_zs.dat")]


def test_large_file_comes_in_chunks_of_30000(client, mock):
    rows = client.get_and_parse_block_info(block_file=BLOCK_GN)
    chunks = requests_of(mock, "block_chunk")
    assert [(c["offset"], c["size"]) for c in chunks] == [(0, 30000), (30000, 30000), (60000, 30000),
                                                          (90000, 20141)]
    # Block k holds k mod 5 + 1 codes from 600100 + 5k on.
    expected = [(f"概念{k + 1:02d}", m, f"{600100 + 5 * k + m:06d}") for k in range(40) for m in range(k % 5 + 1)]
    assert [(r["blockname"], r["code_index"], r["code"]) for r in rows] == expected
    assert data_requests(mock) == ["block_meta"] + ["block_chunk"] * 4


def test_unknown_file_has_size_0_and_fails_to_parse(client, mock):
    with pytest.raises(TypeError):
        client.get_and_parse_block_info(b"block.dat")
    assert data_requests(mock) == []
    with pytest.raises(ValueError, match="^Invalid data: Block file too small$"):
        client.get_and_parse_block_info("nothing.dat")
    assert data_requests(mock) == ["block_meta"]


def test_short_chunk_is_refused(client, mock):
    # A chunk that brings fewer bytes than asked for would shift every later byte of the file.
    mock.set_fault("cut_body", cmd="block_chunk", keep=-100, nth=2)
    with pytest.raises(ValueError, match=r"^\[E2103\]"):
        client.get_and_parse_block_info(BLOCK_GN)


def test_failed_chunk_fails_the_download(client, mock):
    client.set_auto_retry(False)
    mock.set_fault("close", cmd="block_chunk", nth=3)
    with pytest.raises(ConnectionError):
        client.get_and_parse_block_info(BLOCK_GN)
    assert len(requests_of(mock, "block_chunk")) == 3
