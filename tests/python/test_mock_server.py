"""Checks of the mock quote server itself, with raw sockets (no quotix import)."""

import hashlib
import json
import os
import socket
import struct
import subprocess
import sys
import time
import zlib

import pytest

import mock_client as C
from launcher import SERVER_PY, MockServer, MockServerError

import dataset as D
import encoders as E


def connected(mock, server=0, timeout=5.0):
    conn = C.Conn(mock.ports[server], timeout=timeout)
    conn.handshake()
    return conn


# ---------------------------------------------------------------- encoders

class TestEncoders:
    @pytest.mark.parametrize("value,hexbytes", [
        (5, "05"), (-5, "45"), (63, "3f"), (-63, "7f"), (65, "8101"), (-65, "c101"),
        (8191, "bf7f"), (8192, "808001"), (0, "00"),
    ])
    def test_price_varint(self, value, hexbytes):
        assert E.price_varint(value).hex() == hexbytes

    @pytest.mark.parametrize("value,hexbytes", [
        (0.0, "00000000"), (0.5, "0000003f"), (2.0, "00000040"), (100.0, "0000c842"),
        (576.0, "00001044"), (514.0, "00800044"), (1024.0, "00008044"),
        (1024.03125, "00018044"), (100000.0, "0050c347"),
    ])
    def test_volume_float(self, value, hexbytes):
        assert E.volume_float(value).hex() == hexbytes
        assert C.volume_float(bytes.fromhex(hexbytes)) == value

    def test_volume_float_refuses_inexact_values(self):
        with pytest.raises(E.EncodeError):
            E.volume_float(2 ** 24 + 1)
        with pytest.raises(E.EncodeError):
            E.volume_float(0.1)

    def test_dates(self):
        assert E.bar_date_packed(2024, 1, 31, 9, 35).hex() == "83a03f02"
        assert E.bar_date_plain(2024, 1, 31).hex() == "03d73401"

    def test_bars_body_matches_the_reference_record(self):
        bar = {"year": 2024, "month": 1, "day": 31, "hour": 0, "minute": 0,
               "open": 10000, "close": 10500, "high": 10800, "low": 9800,
               "vol": 100.0, "amount": 100000.0}
        assert E.bars_body([bar], 4).hex() == "010003d73401909c01b407a00cc803" + "0000c842" + "0050c347"

    def test_frame_compresses_only_when_the_length_changes(self):
        body = b"\x00" * 1000
        head, wire = E.frame(0x052D, body, "auto")
        zip_size, unzip_size = struct.unpack_from("<HH", head, 12)
        assert (zip_size, unzip_size) == (len(wire), 1000) and zip_size != unzip_size
        assert zlib.decompress(wire) == body
        head, wire = E.frame(0x052D, body, "never")
        assert struct.unpack_from("<HH", head, 12) == (1000, 1000) and wire == body


# ---------------------------------------------------------------- start-up and data

def test_start_prints_ports_and_serves_several_servers(mock_server_factory):
    mock = mock_server_factory(servers=3)
    assert len(set(mock.ports)) == 3 and mock.control_port not in mock.ports
    for i in range(3):
        with connected(mock, i) as conn:
            assert struct.unpack("<H", conn.request(C.count_req(0)))[0] == D.security_count(0)
    c = mock.counters()
    assert [s["handshakes"] for s in c["servers"]] == [1, 1, 1]
    assert c["total"]["requests"]["count"] == 3


def test_setup_replies_are_full_and_the_third_is_compressed(mock_server):
    with C.Conn(mock_server.port) as conn:
        sizes = []
        for p in C.SETUP_PACKETS:
            conn.send(p)
            head, body = conn.read_reply()
            sizes.append(struct.unpack_from("<HH", head, 12))
        assert sizes[0][0] == sizes[0][1] == 42
        assert sizes[2][0] != sizes[2][1] and sizes[2][1] == 300


def test_daily_bars_page_back_from_the_newest(mock_server):
    with connected(mock_server) as conn:
        newest = C.parse_bars(conn.request(C.bars_req(9, 1, "600000", 0, 800, 1)), 9)
        older = C.parse_bars(conn.request(C.bars_req(9, 1, "600000", 800, 800)), 9)
        oldest = C.parse_bars(conn.request(C.bars_req(9, 1, "600000", 2400, 800)), 9)
        beyond = C.parse_bars(conn.request(C.bars_req(9, 1, "600000", 3000, 800)), 9)
    assert len(newest) == 800 and len(older) == 800 and len(oldest) == 600 and beyond == []
    # Bar i (oldest first, 3000 in all): close 10000 + 10*(i % 100) thousandths.
    last = newest[-1]
    assert last["date"] == (2024, 6, 28, 0, 0)
    assert (last["open"], last["close"], last["high"], last["low"]) == (10940, 10990, 11090, 10840)
    assert (last["vol"], last["amount"]) == (3999.0, 39990000.0)
    assert older[-1]["date"] < newest[0]["date"]
    assert older[-1]["vol"] + 1 == newest[0]["vol"]          # contiguous series
    assert oldest[0]["vol"] == 1000.0 and oldest[0]["close"] == 10000


def test_short_series_and_unknown_codes(mock_server):
    with connected(mock_server) as conn:
        bars = C.parse_bars(conn.request(C.bars_req(4, 0, "000001", 0, 800)), 4)
        tail = C.parse_bars(conn.request(C.bars_req(4, 0, "000001", 25, 10)), 4)
        unknown = conn.request(C.bars_req(4, 0, "999999", 0, 10))
    assert len(bars) == 30
    assert bars[0]["date"] == (2024, 5, 20, 0, 0) and bars[10]["date"] == (2024, 6, 3, 0, 0)
    assert bars[20]["date"] == (2024, 6, 17, 0, 0) and bars[25]["date"] == (2024, 6, 24, 0, 0)
    assert [b["close"] for b in bars[:3]] == [10000, 10010, 10020]
    assert tail == bars[:5]
    assert unknown == b"\x00\x00"


def test_intraday_and_index_bars(mock_server):
    with connected(mock_server) as conn:
        five = C.parse_bars(conn.request(C.bars_req(0, 1, "600000", 0, 3)), 0)
        one = C.parse_bars(conn.request(C.bars_req(8, 1, "600000", 238, 3)), 8)
        index = C.parse_bars(conn.request(C.bars_req(4, 1, "000001", 0, 2)), 4, index=True)
        block = C.parse_bars(conn.request(C.bars_req(4, 1, "880001", 0, 1)), 4, index=True)
    assert [b["date"][3:] for b in five] == [(14, 50), (14, 55), (15, 0)]
    assert [b["date"] for b in one] == [(2024, 6, 27, 15, 0), (2024, 6, 28, 9, 31), (2024, 6, 28, 9, 32)]
    assert (index[-1]["up"], index[-1]["down"]) == (100 + 999 % 100, 300 - 999 % 100)
    assert index[-1]["close"] == 3000000 + 10 * 99
    assert len(block) == 1


def test_security_list_pages_and_names(mock_server):
    with connected(mock_server) as conn:
        total = struct.unpack("<H", conn.request(C.count_req(1)))[0]
        rows = []
        start = 0
        while True:
            page = C.parse_list(conn.request(C.list_req(1, start)))
            if not page:
                break
            rows += page
            start += len(page)
    assert total == 1908 == len(rows)
    by_code = {r["code"]: r for r in rows}
    assert by_code["600000"]["name"] == "浦发银行" and by_code["600000"]["pre_close"] == 10.0
    assert by_code["900901"]["name"] == "AB"
    assert by_code["510300"]["decimal_point"] == 3
    assert [r["code"] for r in rows] == sorted(by_code)


def test_quotes_for_any_code(mock_server):
    pairs = [(1, "600000"), (0, "000001"), (1, "510300"), (0, "4567")]
    with connected(mock_server) as conn:
        body = conn.request(C.quotes_req(pairs))
    assert struct.unpack_from("<H", body, 2)[0] == 4
    pos = 4
    got = []
    for _ in range(4):
        market = body[pos]
        code = body[pos + 1:pos + 7]
        pos += 9
        p, pos = C.varint(body, pos)
        vals = []
        for _ in range(6):
            v, pos = C.varint(body, pos)
            vals.append(v)
        got.append((market, code, p, vals[:4]))
        # skip the rest of the record through the known layout
        for _ in range(2):
            _, pos = C.varint(body, pos)
        pos += 4
        for _ in range(4 + 20):
            _, pos = C.varint(body, pos)
        pos += 2
        for _ in range(4):
            _, pos = C.varint(body, pos)
        pos += 4
    assert pos == len(body)
    assert got[0] == (1, b"600000", 1000, [-10, -5, 20, -30])
    assert got[1][2] == 1001 and got[2][2] == 1300
    assert got[3][1] == b"4567\x00\x00" and got[3][2] == 1000 + 4567 % 1000


def test_ticks_minute_xdxr_finance(mock_server):
    with connected(mock_server) as conn:
        ticks = conn.request(C.ticks_req(1, "600000", 0, 10))
        hist = conn.request(C.history_ticks_req(1, "600000", 0, 3000, 20240627))
        minute = conn.request(C.minute_req(1, "600000", 20240628))
        xdxr = conn.request(C.xdxr_req(0, "000001"))
        none = conn.request(C.xdxr_req(1, "600519"))
        fin = conn.request(C.finance_req(1, "600000"))
    assert struct.unpack_from("<H", ticks)[0] == 10
    assert struct.unpack_from("<H", ticks, 2)[0] == 14 * 60 + 58          # ticks 1190-1199, five per minute
    assert struct.unpack_from("<H", hist)[0] == 1200
    assert struct.unpack_from("<H", minute)[0] == 240
    p, pos = C.varint(minute, 6)
    assert p == 1000
    assert struct.unpack_from("<H", xdxr, 9)[0] == 9 and len(xdxr) == 11 + 9 * 29
    rec = xdxr[11 + 29:11 + 58]                                         # second event
    assert struct.unpack_from("<I", rec, 8)[0] == 20240603 and rec[12] == 1
    assert struct.unpack_from("<4f", rec, 13) == (5.0, 0.0, 0.0, 0.0)
    assert len(none) == 11 and struct.unpack_from("<H", none, 9)[0] == 0
    assert len(fin) == 145
    assert struct.unpack_from("<f", fin, 9)[0] == 1000000.0
    assert struct.unpack_from("<I", fin, 17)[0] == 20240630
    assert struct.unpack_from("<f", fin, 25)[0] == 1000.0


def test_block_file_download_in_chunks(mock_server):
    with connected(mock_server) as conn:
        meta = conn.request(C.block_meta_req("block_gn.dat"))
        size = struct.unpack_from("<I", meta)[0]
        data = b""
        offset = 0
        while offset < size:
            chunk = min(30000, size - offset)
            data += conn.request(C.block_chunk_req(offset, chunk, "block_gn.dat"))[4:]
            offset += chunk
        missing = conn.request(C.block_meta_req("nosuch.dat"))
    assert size > 90000 and len(data) == size
    assert meta[5:37] == hashlib.sha256(data).digest()
    assert struct.unpack_from("<H", data, 384)[0] == 40
    assert data[386:386 + 9].rstrip(b"\x00").decode("gbk") == "概念01"
    assert struct.unpack_from("<I", missing)[0] == 0
    assert mock_server.requests("block_chunk") == 4


def test_block_zs_has_a_byte_order_mark_name():
    data = D.block_file("block_zs.dat")
    second = data[386 + 2813:386 + 2813 + 9]
    assert second.startswith(b"\xef\xbb\xbf") and second[3:].decode("utf-8") == "上证"
    assert len(data) == 386 + 4 * 2813 + 13 + 2 * 7


# ---------------------------------------------------------------- faults

def test_delay_holds_the_reply(mock_server):
    mock_server.set_fault("delay", cmd="count", seconds=0.3)
    with connected(mock_server) as conn:
        t0 = time.monotonic()
        conn.request(C.count_req(0))
        assert time.monotonic() - t0 >= 0.3


def test_stall_never_answers(mock_server):
    mock_server.set_fault("stall", cmd="bars")
    with connected(mock_server, timeout=0.3) as conn:
        with pytest.raises(socket.timeout):
            conn.request(C.bars_req(4, 1, "600000", 0, 1))
    assert mock_server.requests("bars") == 1


@pytest.mark.parametrize("when,got", [
    ("before_header", 0), ("inside_header", 8), ("after_header", 16), ("inside_body", 17),
])
def test_close_at_each_point(mock_server, when, got):
    mock_server.set_fault("close", cmd="count", when=when)
    with connected(mock_server) as conn:
        conn.send(C.count_req(0))
        data = b""
        while True:
            chunk = conn.sock.recv(100)
            if not chunk:
                break
            data += chunk
    assert len(data) == got


def test_close_with_reset(mock_server):
    mock_server.set_fault("close", cmd="count", when="inside_header", rst=True)
    with connected(mock_server) as conn:
        conn.send(C.count_req(0))
        with pytest.raises((ConnectionResetError, EOFError)):
            conn.read_reply()


def test_refuse_and_fail_handshake(mock_server):
    fid = mock_server.set_fault("refuse")
    with C.Conn(mock_server.port) as conn:
        with pytest.raises((EOFError, ConnectionResetError)):
            conn.handshake()
    mock_server.clear_faults(id=fid)
    mock_server.set_fault("fail_handshake", cmd="setup3")
    with C.Conn(mock_server.port) as conn:
        with pytest.raises(EOFError):
            conn.handshake()
    c = mock_server.server_counters()
    assert c["accepted"] == 2 and c["handshakes"] == 0 and c["requests"]["setup3"] == 1


def test_body_shaping_faults(mock_server):
    mock_server.set_fault("cut_body", cmd="bars", keep=10, nth=1)
    mock_server.set_fault("corrupt_zlib", cmd="bars", nth=2)
    mock_server.set_fault("zero_body", cmd="bars", nth=3)
    mock_server.set_fault("empty", cmd="bars", nth=4)
    mock_server.set_fault("body", cmd="bars", hex="0100", nth=5)
    with connected(mock_server) as conn:
        assert len(conn.request(C.bars_req(4, 1, "600000", 0, 5))) == 10
        with pytest.raises(zlib.error):
            conn.request(C.bars_req(4, 1, "600000", 0, 5))
        with pytest.raises(ValueError, match="empty response body"):
            conn.request(C.bars_req(4, 1, "600000", 0, 5))
        assert conn.request(C.bars_req(4, 1, "600000", 0, 5)) == b"\x00\x00"
        assert conn.request(C.bars_req(4, 1, "600000", 0, 5)) == b"\x01\x00"
        assert len(C.parse_bars(conn.request(C.bars_req(4, 1, "600000", 0, 5)), 4)) == 5
    log = mock_server.request_log(cmd="bars")
    assert [e["fault"] for e in log] == ["cut_body", "corrupt_zlib", "zero_body", "empty", "body", None]


def test_wrong_lengths_and_garbage(mock_server):
    mock_server.set_fault("bad_lengths", cmd="count", zip_size=40, unzip_size=40, nth=1)
    mock_server.set_fault("garbage", cmd="count", hex="deadbeef", then="close", nth=2)
    with connected(mock_server, timeout=0.3) as conn:
        conn.send(C.count_req(0))
        head = conn.read_exact(16)
        assert struct.unpack_from("<HH", head, 12) == (40, 40)
        with pytest.raises(socket.timeout):
            conn.read_exact(40)                  # only 2 body bytes follow
    with connected(mock_server) as conn:
        conn.send(C.count_req(0))
        assert conn.read_exact(4) == bytes.fromhex("deadbeef")
        assert conn.sock.recv(10) == b""


def test_twice_and_late_reply(mock_server):
    mock_server.set_fault("twice", cmd="count", nth=1)
    with connected(mock_server) as conn:
        first = conn.request(C.count_req(0))
        assert conn.read_reply()[1] == first      # the duplicate is waiting
    mock_server.set_fault("late", cmd="count", seconds=0.5, nth=1)
    with connected(mock_server, timeout=0.2) as stale:
        with pytest.raises(socket.timeout):
            stale.request(C.count_req(0))
        with connected(mock_server) as fresh:     # a new connection sees only its own reply
            assert struct.unpack("<H", fresh.request(C.count_req(2)))[0] == D.security_count(2)


def test_per_server_skip_and_times(mock_server_factory):
    mock = mock_server_factory(servers=2, faults=[
        {"action": "empty", "cmd": "bars", "server": 1, "skip": 1, "times": 2}])
    with connected(mock, 0) as a, connected(mock, 1) as b:
        assert len(a.request(C.bars_req(4, 1, "600000", 0, 1))) > 2
        results = [b.request(C.bars_req(4, 1, "600000", 0, 1)) == b"\x00\x00" for _ in range(4)]
    assert results == [False, True, True, False]
    assert mock.faults()[0]["fired"] == 2
    assert mock.server_counters(1)["faults_fired"] == 2


def test_faults_by_command_code_and_group(mock_server):
    mock_server.set_fault("empty", cmd=["0x052d", "list"])
    with connected(mock_server) as conn:
        assert conn.request(C.bars_req(4, 1, "600000", 0, 1)) == b"\x00\x00"
        assert conn.request(C.list_req(1, 0)) == b"\x00\x00"
        assert conn.request(C.count_req(1)) != b"\x00\x00"
    with pytest.raises(MockServerError):
        mock_server.set_fault("explode")
    with pytest.raises(MockServerError):
        mock_server.set_fault("empty", cmd="nosuch")


# ---------------------------------------------------------------- control

def test_counters_log_reset(mock_server):
    conn = connected(mock_server)
    conn.request(C.bars_req(9, 1, "600000", 65, 800, 3))
    c = mock_server.wait_for(lambda c: c["total"]["open"] == 1)
    assert c["servers"][0]["requests"] == {"setup1": 1, "setup2": 1, "setup3": 1, "bars": 1}
    entry = mock_server.request_log(cmd="bars")[0]
    assert entry["args"] == {"market": 1, "code": "600000", "code_hex": "363030303030", "category": 9,
                             "fq": 3, "start": 65, "count": 800, "tail": "00" * 10}
    assert entry["raw"].startswith("0c01086401011c001c002d05")
    assert abs(entry["t"] - time.time()) < 60
    conn.close()
    mock_server.wait_for(lambda c: c["total"]["open"] == 0 and c["total"]["closed"] == 1)
    mock_server.reset()
    c = mock_server.counters()
    assert c["total"]["requests_total"] == 0 and mock_server.request_log() == []


def test_listen_off_refuses_connections(mock_server):
    mock_server.listen(0, False)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", mock_server.port), timeout=1)
    mock_server.listen(0, True)
    with connected(mock_server) as conn:
        conn.request(C.count_req(0))


def test_process_ends_when_stdin_closes():
    proc = subprocess.Popen([sys.executable, SERVER_PY], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    info = json.loads(proc.stdout.readline())
    assert len(info["ports"]) == 1
    proc.stdin.close()
    assert proc.wait(timeout=5) == 0
    proc.stdout.close()


def test_stop_ends_the_process():
    mock = MockServer()
    proc = mock.proc
    mock.stop()
    assert proc.returncode == 0


def test_malformed_request_is_logged_and_closed(mock_server):
    with C.Conn(mock_server.port) as conn:
        conn.send(bytes.fromhex("0c0c186c000108000900") + b"\x4e\x04" + b"\x00" * 6)
        assert conn.sock.recv(10) == b""
    assert mock_server.request_log()[0]["cmd"] == "malformed"


def test_accept_faults_stall_or_delay_the_whole_connection(mock_server):
    mock_server.set_fault("stall", cmd="accept", nth=1)
    mock_server.set_fault("delay", cmd="accept", seconds=0.3, nth=2)
    with C.Conn(mock_server.port, timeout=0.3) as conn:
        with pytest.raises(socket.timeout):
            conn.handshake()
    with C.Conn(mock_server.port) as conn:
        t0 = time.monotonic()
        conn.handshake()
        assert time.monotonic() - t0 >= 0.3
    assert mock_server.server_counters()["handshakes"] == 1


def test_nth_data_request_skips_the_setup_packets(mock_server):
    mock_server.set_fault("empty", cmd="data", nth=2)
    with connected(mock_server) as conn:
        assert conn.request(C.count_req(1)) != b"\x00\x00"
        assert conn.request(C.bars_req(4, 1, "600000", 0, 1)) == b"\x00\x00"
        assert conn.request(C.bars_req(4, 1, "600000", 0, 1)) != b"\x00\x00"


def test_partial_reply_stalls_or_finishes_late(mock_server):
    mock_server.set_fault("partial", cmd="count", when="inside_body", bytes=1, nth=1)
    mock_server.set_fault("partial", cmd="count", when="after_header", then="finish", seconds=0.3, nth=2)
    with connected(mock_server, timeout=0.3) as conn:
        conn.send(C.count_req(0))
        conn.read_exact(17)
        with pytest.raises(socket.timeout):
            conn.read_exact(1)
    with connected(mock_server) as conn:
        t0 = time.monotonic()
        assert struct.unpack("<H", conn.request(C.count_req(0)))[0] == D.security_count(0)
        assert time.monotonic() - t0 >= 0.3
        assert conn.request(C.count_req(2)) == struct.pack("<H", D.security_count(2))


def test_expected_bars_helper_matches_the_wire(mock_server):
    with connected(mock_server) as conn:
        wire = C.parse_bars(conn.request(C.bars_req(0, 1, "000300", 5, 3)), 0, index=True)
    exp = D.expected_bars(1, "000300", 0, 5, 3)
    assert [e["datetime"] for e in exp] == ["2024-06-28 14:25", "2024-06-28 14:30", "2024-06-28 14:35"]
    assert [e["close"] for e in exp] == [w["close"] / 1000.0 for w in wire]
    assert [e["up_count"] for e in exp] == [w["up"] for w in wire]
