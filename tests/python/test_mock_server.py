"""Checks of the mock quote server itself, with raw sockets (no quotix import)."""

import json
import socket
import struct
import subprocess
import sys
import time
import zlib

import pytest

import mock_client as C
from launcher import SERVER_PY, MockServerError

import dataset as D
import encoders as E


def connected(mock, server=0, timeout=5.0):
    conn = C.Conn(mock.ports[server], timeout=timeout)
    conn.handshake()
    return conn


def count_of(body):
    return struct.unpack_from("<H", body)[0]


@pytest.mark.parametrize("value,hexbytes", [
    (5, "05"), (-5, "45"), (63, "3f"), (-63, "7f"), (65, "8101"), (-65, "c101"),
    (8191, "bf7f"), (8192, "808001"), (0, "00"),
])
def test_price_varint(value, hexbytes):
    assert E.price_varint(value).hex() == hexbytes
    assert C.varint(bytes.fromhex(hexbytes), 0) == (value, len(hexbytes) // 2)


@pytest.mark.parametrize("value,hexbytes", [
    (0.0, "00000000"), (0.5, "0000003f"), (2.0, "00000040"), (100.0, "0000c842"),
    (576.0, "00001044"), (514.0, "00800044"), (1024.0, "00008044"),
    (1024.03125, "00018044"), (100000.0, "0050c347"),
])
def test_volume_float(value, hexbytes):
    assert E.volume_float(value).hex() == hexbytes
    assert C.volume_float(bytes.fromhex(hexbytes)) == value


def test_encoders():
    for inexact in (2 ** 24 + 1, 0.1):
        with pytest.raises(E.EncodeError):
            E.volume_float(inexact)
    assert E.bar_date_packed(2024, 1, 31, 9, 35).hex() == "83a03f02"
    assert E.bar_date_plain(2024, 1, 31).hex() == "03d73401"
    bar = {"year": 2024, "month": 1, "day": 31, "hour": 0, "minute": 0, "open": 10000, "close": 10500,
           "high": 10800, "low": 9800, "vol": 100.0, "amount": 100000.0}
    assert E.bars_body([bar], 4).hex() == "010003d73401909c01b407a00cc803" + "0000c842" + "0050c347"
    body = b"\x00" * 1000
    head, wire = E.frame(0x052D, body, "auto")   # compressed only when the length changes
    assert struct.unpack_from("<HH", head, 12) == (len(wire), 1000) and zlib.decompress(wire) == body
    head, wire = E.frame(0x052D, body, "never")
    assert struct.unpack_from("<HH", head, 12) == (1000, 1000) and wire == body


def test_several_servers_and_setup_replies(mock):
    assert len(set(mock.ports)) == 3 and mock.control_port not in mock.ports
    for i in range(3):
        with connected(mock, i) as conn:
            assert count_of(conn.request(C.count_req(0))) == D.security_count(0)
    c = mock.counters()
    assert [s["handshakes"] for s in c["servers"]] == [1, 1, 1] and c["total"]["requests"]["count"] == 3
    with C.Conn(mock.port) as conn:
        sizes = []
        for p in C.SETUP_PACKETS:
            conn.send(p)
            sizes.append(struct.unpack_from("<HH", conn.read_reply()[0], 12))
    assert sizes[0] == (42, 42) and sizes[2][0] != sizes[2][1] == 300   # the third is compressed


def test_bars(mock):
    with connected(mock) as conn:
        def bars(*args, index=False):
            return C.parse_bars(conn.request(C.bars_req(*args)), args[0], index=index)
        pages = [bars(9, 1, "600000", start, 800) for start in (0, 800, 2400, 3000)]
        short, tail = bars(4, 0, "000001", 0, 800), bars(4, 0, "000001", 25, 10)
        unknown = conn.request(C.bars_req(4, 0, "999999", 0, 10))
        five, one = bars(0, 1, "600000", 0, 3), bars(8, 1, "600000", 238, 3)
        index, block = bars(4, 1, "000001", 0, 2, index=True), bars(4, 1, "880001", 0, 1, index=True)
    # Bar i (oldest first, 3000 in all): close 10000 + 10*(i % 100) thousandths, vol 1000 + i.
    newest, older, oldest, beyond = pages
    assert [len(p) for p in pages] == [800, 800, 600, 0]
    assert newest[-1]["date"] == (2024, 6, 28, 0, 0) and older[-1]["date"] < newest[0]["date"]
    assert [newest[-1][k] for k in ("open", "close", "high", "low", "vol", "amount")] == [
        10940, 10990, 11090, 10840, 3999.0, 39990000.0]
    assert older[-1]["vol"] + 1 == newest[0]["vol"] and (oldest[0]["vol"], oldest[0]["close"]) == (1000.0, 10000)
    assert len(short) == 30 and tail == short[:5] and unknown == b"\x00\x00"
    assert [short[i]["date"][:3] for i in (0, 10, 20, 25)] == [(2024, 5, 20), (2024, 6, 3), (2024, 6, 17),
                                                              (2024, 6, 24)]
    assert [b["close"] for b in short[:3]] == [10000, 10010, 10020]
    assert [b["date"][3:] for b in five] == [(14, 50), (14, 55), (15, 0)]
    assert [b["date"] for b in one] == [(2024, 6, 27, 15, 0), (2024, 6, 28, 9, 31), (2024, 6, 28, 9, 32)]
    assert (index[-1]["up"], index[-1]["down"], index[-1]["close"]) == (199, 201, 3000990)
    assert len(block) == 1


def test_expected_bars_helper_matches_the_wire(mock):
    with connected(mock) as conn:
        wire = C.parse_bars(conn.request(C.bars_req(0, 1, "000300", 5, 3)), 0, index=True)
    exp = D.expected_bars(1, "000300", 0, 5, 3)
    assert [e["datetime"] for e in exp] == ["2024-06-28 14:25", "2024-06-28 14:30", "2024-06-28 14:35"]
    assert [(e["close"], e["up_count"]) for e in exp] == [(w["close"] / 1000.0, w["up"]) for w in wire]


def test_delay_stall_and_accept_faults(mock):
    mock.set_fault("delay", cmd="count", seconds=0.3)
    mock.set_fault("stall", cmd="bars")
    mock.set_fault("stall", cmd="accept", nth=1)
    mock.set_fault("delay", cmd="accept", seconds=0.3, nth=2)
    with C.Conn(mock.port, timeout=0.3) as conn:
        with pytest.raises(socket.timeout):
            conn.handshake()
    with C.Conn(mock.port, timeout=0.3) as conn:
        t0 = time.monotonic()
        conn.sock.settimeout(5)
        conn.handshake()
        conn.request(C.count_req(0))
        assert time.monotonic() - t0 >= 0.6
        conn.sock.settimeout(0.3)
        with pytest.raises(socket.timeout):
            conn.request(C.bars_req(4, 1, "600000", 0, 1))
    assert mock.requests("bars") == 1 and mock.server_counters()["handshakes"] == 1


@pytest.mark.parametrize("when,got", [
    ("before_header", 0), ("inside_header", 8), ("after_header", 16), ("inside_body", 17),
])
def test_close_at_each_point(mock, when, got):
    mock.set_fault("close", cmd="count", when=when)
    with connected(mock) as conn:
        conn.send(C.count_req(0))
        data = b""
        while chunk := conn.sock.recv(100):
            data += chunk
    assert len(data) == got


def test_reset_refuse_and_fail_handshake(mock):
    mock.set_fault("close", cmd="count", when="inside_header", rst=True)
    with connected(mock) as conn:
        conn.send(C.count_req(0))
        with pytest.raises((ConnectionResetError, EOFError)):
            conn.read_reply()
    mock.reset()
    fid = mock.set_fault("refuse")
    with C.Conn(mock.port) as conn:
        with pytest.raises((EOFError, ConnectionResetError)):
            conn.handshake()
    mock.clear_faults(id=fid)
    mock.set_fault("fail_handshake", cmd="setup3")
    with C.Conn(mock.port) as conn:
        with pytest.raises(EOFError):
            conn.handshake()
    c = mock.server_counters()
    assert (c["accepted"], c["handshakes"], c["requests"]["setup3"]) == (2, 0, 1)


def test_body_shaping_faults(mock):
    for nth, (action, extra) in enumerate([("cut_body", {"keep": 10}), ("corrupt_zlib", {}), ("zero_body", {}),
                                           ("empty", {}), ("body", {"hex": "0100"})], start=1):
        mock.set_fault(action, cmd="data", nth=nth + 1, **extra)   # the first data request is clean
    with connected(mock) as conn:
        req = C.bars_req(4, 1, "600000", 0, 5)
        assert conn.request(C.count_req(1)) != b"\x00\x00"
        assert len(conn.request(req)) == 10
        with pytest.raises(zlib.error):
            conn.request(req)
        with pytest.raises(ValueError, match="empty response body"):
            conn.request(req)
        assert [conn.request(req) for _ in range(2)] == [b"\x00\x00", b"\x01\x00"]
        assert len(C.parse_bars(conn.request(req), 4)) == 5
    assert [e["fault"] for e in mock.request_log(cmd="bars")] == [
        "cut_body", "corrupt_zlib", "zero_body", "empty", "body", None]


def test_wrong_lengths_garbage_and_partial_replies(mock):
    mock.set_fault("bad_lengths", cmd="count", zip_size=40, unzip_size=40, nth=1)
    mock.set_fault("garbage", cmd="count", hex="deadbeef", then="close", nth=2)
    mock.set_fault("partial", cmd="count", when="inside_body", bytes=1, nth=3)
    mock.set_fault("partial", cmd="count", when="after_header", then="finish", seconds=0.3, nth=4)
    with connected(mock, timeout=0.3) as conn:
        conn.send(C.count_req(0))
        assert struct.unpack_from("<HH", conn.read_exact(16), 12) == (40, 40)
        with pytest.raises(socket.timeout):
            conn.read_exact(40)                  # only 2 body bytes follow
    with connected(mock) as conn:
        conn.send(C.count_req(0))
        assert conn.read_exact(4) == bytes.fromhex("deadbeef") and conn.sock.recv(10) == b""
    with connected(mock, timeout=0.3) as conn:
        conn.send(C.count_req(0))
        conn.read_exact(17)
        with pytest.raises(socket.timeout):
            conn.read_exact(1)
    with connected(mock) as conn:
        t0 = time.monotonic()
        assert count_of(conn.request(C.count_req(0))) == D.security_count(0)
        assert time.monotonic() - t0 >= 0.3
        assert count_of(conn.request(C.count_req(2))) == D.security_count(2)


def test_twice_and_late_reply(mock):
    mock.set_fault("twice", cmd="count", nth=1)
    with connected(mock) as conn:
        first = conn.request(C.count_req(0))
        assert conn.read_reply()[1] == first      # the duplicate is waiting
    mock.set_fault("late", cmd="count", seconds=0.5, nth=1)
    with connected(mock, timeout=0.2) as stale:
        with pytest.raises(socket.timeout):
            stale.request(C.count_req(0))
        with connected(mock) as fresh:     # a new connection sees only its own reply
            assert count_of(fresh.request(C.count_req(2))) == D.security_count(2)


def test_fault_selection(mock):
    mock.set_fault("empty", cmd="bars", server=1, skip=1, times=2)
    mock.set_fault("empty", cmd=["0x052d", "list"], server=2)
    with connected(mock, 0) as a, connected(mock, 1) as b, connected(mock, 2) as c:
        assert len(a.request(C.bars_req(4, 1, "600000", 0, 1))) > 2
        assert [b.request(C.bars_req(4, 1, "600000", 0, 1)) == b"\x00\x00" for _ in range(4)] == [
            False, True, True, False]
        assert c.request(C.bars_req(4, 1, "600000", 0, 1)) == c.request(C.list_req(1, 0)) == b"\x00\x00"
        assert c.request(C.count_req(1)) != b"\x00\x00"
    assert mock.faults()[0]["fired"] == 2 and mock.server_counters(1)["faults_fired"] == 2
    for action, extra in [("explode", {}), ("empty", {"cmd": "nosuch"})]:
        with pytest.raises(MockServerError):
            mock.set_fault(action, **extra)


def test_counters_log_reset(mock_server):
    mock = mock_server           # fresh: a connection left by another test would move the counters
    conn = connected(mock)
    conn.request(C.bars_req(9, 1, "600000", 65, 800, 3))
    c = mock.wait_for(lambda c: c["total"]["open"] == 1)
    assert c["servers"][0]["requests"] == {"setup1": 1, "setup2": 1, "setup3": 1, "bars": 1}
    entry = mock.request_log(cmd="bars")[0]
    assert entry["args"] == {"market": 1, "code": "600000", "code_hex": "363030303030", "category": 9,
                             "fq": 3, "start": 65, "count": 800, "tail": "00" * 10}
    assert entry["raw"].startswith("0c01086401011c001c002d05") and abs(entry["t"] - time.time()) < 60
    conn.close()
    mock.wait_for(lambda c: c["total"]["open"] == 0 and c["total"]["closed"] == 1)
    mock.reset()
    assert mock.counters()["total"]["requests_total"] == 0 and mock.request_log() == []


def test_listen_off_and_malformed_requests(mock):
    mock.listen(0, False)
    try:
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", mock.port), timeout=1)
    finally:
        mock.listen(0, True)
    with C.Conn(mock.port) as conn:
        conn.send(bytes.fromhex("0c0c186c000108000900") + b"\x4e\x04" + b"\x00" * 6)
        assert conn.sock.recv(10) == b""
    assert mock.request_log()[0]["cmd"] == "malformed"


def test_process_ends_when_stdin_closes():
    proc = subprocess.Popen([sys.executable, SERVER_PY], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert len(json.loads(proc.stdout.readline())["ports"]) == 1
    proc.stdin.close()
    assert proc.wait(timeout=5) == 0
    proc.stdout.close()
