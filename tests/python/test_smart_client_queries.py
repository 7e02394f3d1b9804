"""TdxSmartClient's retrying get_security_bars and get_security_quotes against the loopback mock:
what reaches Python of the retry paths, whose every turn is checked in the core's own tests.

The client is connected to the mock through its cache file, and every built-in server is
blacklisted there, so a move to "the next primary server" finds none and never dials out. Empty bars are asked for in an intraday category, which the pooled client does
not itself retry on other servers (it does so for daily and longer bars)."""

import pytest

import dataset
from quotix._internal import TdxSmartClient
from smart_helpers import cache_doc, entry, home, read_cache, write_cache  # noqa: F401

BAR_KEYS = ["open", "high", "low", "close", "vol", "amount", "year", "month", "day", "hour", "minute", "datetime"]
QUOTE_KEYS = (["market", "code", "active1", "price", "last_close", "open", "high", "low", "vol", "cur_vol",
               "amount", "s_vol", "b_vol"]
              + [k for i in range(1, 6) for k in (f"bid{i}", f"ask{i}", f"bid_vol{i}", f"ask_vol{i}")]
              + ["reversed_bytes0", "reversed_bytes1", "reversed_bytes2", "active2"])

MAX_RETRY = "[E2005] retry exhausted: max retry reached"
NO_ALTERNATIVE = "[E2001] connection failed: no alternative server available"
BLOCK_CODE = ("[E1101] block code (88xxxx) not allowed in general client, use TdxBlockClient: "
              "code=880001")
INTRADAY = 0          # 5-minute bars
NO_DATA = "602999"    # not in market 1's list: the mock has no bars for it


@pytest.fixture
def smart(home, mock):
    host, port = mock.address()
    write_cache(home, cache_doc(last_success=entry(host, port, "mock0")))
    c = TdxSmartClient()
    assert c.connect_to_any(timeout=2.0) is True
    mock.reset()
    yield c
    # Before the mock stops: the heartbeat's reconnect would walk the built-in primary table.
    c.disconnect()


def approx(rows):
    return [{k: (pytest.approx(v) if isinstance(v, float) else v) for k, v in r.items()} for r in rows]


def attempts(what, n=3):
    return "".join(f"[W] smart  attempt {a}/3: {what}, triggering health check\n" for a in range(1, n + 1))


def test_bars(smart, mock, capfd):
    bars = smart.get_security_bars(4, 1, "600100", 0, 5, 0)
    assert all(list(b) == BAR_KEYS for b in bars) and bars == approx(dataset.expected_bars(1, "600100", 4, 0, 5))
    assert isinstance(bars[0]["year"], int) and isinstance(bars[0]["vol"], float)
    assert (mock.requests("bars"), mock.requests("xdxr")) == (1, 0)
    # The defaults ask for 800 forward-adjusted bars: the events are asked for; 600100 has none.
    assert smart.get_security_bars(4, 1, "600100") == approx(dataset.expected_bars(1, "600100", 4, 0, 800))
    sent = mock.request_log(cmd="bars")[1]["args"]
    assert (sent["start"], sent["count"], sent["fq"], mock.requests("xdxr")) == (0, 800, 1, 1)
    bars = smart.get_security_bars(fq=1, count=30, start=0, code="000001", market=0, category=4)
    # Forward adjustment of the mock's first bar: 10.000 x 0.950446 x 0.980373 x 0.5 x 0.949519.
    assert (bars[0]["close"], bars[-1]["close"]) == (pytest.approx(4.424), pytest.approx(10.29))
    assert capfd.readouterr().err == ""


def test_empty_answers_from_a_healthy_server_end_in_max_retry(smart, mock, capfd):
    with pytest.raises(RuntimeError) as ei:
        smart.get_security_bars(INTRADAY, 1, NO_DATA, 0, 10, 0)
    assert (type(ei.value), str(ei.value)) == (RuntimeError, MAX_RETRY)
    assert capfd.readouterr().err == attempts("empty response")
    # Three queries and one health probe (daily bars of 1:600519); a passed probe is not repeated.
    log = mock.request_log(cmd="bars")
    assert len(log) == 4
    assert [log[1]["args"][k] for k in ("market", "code", "category", "start", "count")] == [1, "600519", 4, 0, 1]
    assert smart.is_connected() is True


def test_failed_health_check_with_nowhere_to_go(smart, mock, home, capfd):
    mock.set_fault("empty", cmd="bars")
    with pytest.raises(RuntimeError) as ei:
        smart.get_security_bars(INTRADAY, 1, "600000", 0, 10, 0)
    assert str(ei.value) == NO_ALTERNATIVE
    assert capfd.readouterr().err == attempts("empty response", 1) + (
        "[W] smart  health check failed: K-line empty, server may have protocol anomaly\n"
        "[W] smart  health check failed, trying next server...\n"
        "[E] smart  no alternative server available\n")
    # The server that failed its check is blacklisted and its failure counted, on disk too.
    assert smart.is_connected() is False
    host, port = mock.address()
    saved = read_cache(home)
    assert {k: saved["blacklist"][-1][k] for k in ("ip", "port", "reason")} == {
        "ip": host, "port": port, "reason": "kline_empty"}
    assert saved["server_stats"][f"{host}:{port}"] == {"success": 0, "fail": 1, "avg_latency": 0}


@pytest.mark.parametrize("fault, args, text, line, requests", [
    ({"hex": "01"}, (4, 1, "600000", 0, 10, 0), "[E2103] response length mismatch: body too short",
     "error: [E2103] response length mismatch: body too short", 1),
    (None, (4, 1, "880001"), BLOCK_CODE, f"error: {BLOCK_CODE}", 0),     # refused before the wire
])
def test_error_with_nowhere_to_go_raises_it_at_once(smart, mock, capfd, fault, args, text, line, requests):
    if fault:
        mock.set_fault("body", cmd="bars", **fault)
    with pytest.raises(RuntimeError) as ei:
        smart.get_security_bars(*args)
    assert str(ei.value) == text
    assert capfd.readouterr().err == (f"[W] smart  attempt 1/3: {line}, trying next server\n"
                                      "[E] smart  no alternative server available\n")
    assert mock.requests() == requests


@pytest.mark.parametrize("args, exc, name", [
    ((4, 1, "600000", 65536, 10, 0), RuntimeError, r"^\[E1003\] .*: start=65536$"),   # refused, not cut
    ((256, 1, "600000"), OverflowError, "category"),
    ((4, -1, "600000"), OverflowError, "market"),
    ((4, 1, 600000), TypeError, "code"),
    ((4, 1, "600000", 2 ** 32), OverflowError, "start"),
    ((4, 1, "600000", 0, 65536), OverflowError, "count"),
    ((4, 1, "600000", 0, 800, 256), OverflowError, "fq"),
    ((4.0, 1, "600000"), TypeError, "category"),
    ((4, 1), TypeError, "code"),
    (("4", 1, "600000", 0, 65536), TypeError, "category"),       # the first bad argument wins
])
def test_bar_argument_errors_never_reach_the_network(smart, mock, args, exc, name):
    with pytest.raises(exc, match=name):
        smart.get_security_bars(*args)
    assert mock.requests() == 0


def expected_quote_600000():
    # P = 1000 hundredths for 1:600000.
    q = {"market": 1, "code": "600000", "active1": 100, "price": 10.0, "last_close": 9.9, "open": 9.95,
         "high": 10.2, "low": 9.7, "vol": 100000.0, "cur_vol": 100.0, "amount": 100000000.0,
         "s_vol": 60000.0, "b_vol": 40000.0}
    for k in range(1, 6):
        q.update({f"bid{k}": 10.0 - 0.01 * k, f"ask{k}": 10.0 + 0.01 * k, f"bid_vol{k}": 100.0 * k,
                  f"ask_vol{k}": 200.0 * k})
    q.update({"reversed_bytes0": 14302541, "reversed_bytes1": 3, "reversed_bytes2": 0, "active2": 100})
    return q


def test_quotes(smart, mock, capfd):
    quotes = smart.get_security_quotes([(1, "600000"), (0, "000001")])
    assert list(quotes[0]) == QUOTE_KEYS and "servertime" not in quotes[0]
    assert quotes[0] == approx([expected_quote_600000()])[0]
    assert (quotes[1]["market"], quotes[1]["code"], quotes[1]["price"]) == (0, "000001", pytest.approx(10.01))
    assert mock.request_log(cmd="quotes")[0]["args"]["pairs"] == [[1, "600000"], [0, "000001"]]
    assert smart.get_security_quotes(all_stock=((1, "510300"),))[0]["price"] == pytest.approx(1.3)
    assert capfd.readouterr().err == ""
    pairs = [(1, str(600100 + i)) for i in range(61)]
    assert [q["code"] for q in smart.get_security_quotes(pairs)] == [c for _, c in pairs[:60]]
    assert capfd.readouterr().err == "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n"
    assert mock.request_log(cmd="quotes")[-1]["args"]["n"] == 60


def test_empty_quotes_end_in_max_retry(smart, mock, capfd):
    mock.set_fault("empty", cmd="quotes")
    with pytest.raises(RuntimeError, match="max retry reached"):
        smart.get_security_quotes([(1, "600000")])
    assert capfd.readouterr().err == attempts("empty quotes")
    assert (mock.requests("quotes"), mock.requests("bars")) == (3, 1)


def test_quote_error_hides_its_text_in_the_line_but_raises_it(smart, mock, capfd):
    with pytest.raises(RuntimeError) as ei:
        smart.get_security_quotes([(1, "600000"), (1, "880001")])
    assert str(ei.value) == BLOCK_CODE
    assert capfd.readouterr().err == ("[W] smart  attempt 1/3: error, trying next server\n"
                                      "[E] smart  no alternative server available\n")
    assert mock.requests() == 0


@pytest.mark.parametrize("value, exc, text", [
    ("600000", TypeError, "all_stock"),
    ([(1, "600000", 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(256, "600000")], OverflowError, "all_stock"),
    ([(1, 600000)], TypeError, "all_stock"),
    ([[1, "600000"]], TypeError, "all_stock"),
    (None, TypeError, "all_stock"),
])
def test_quote_argument_errors_never_reach_the_network(smart, mock, value, exc, text):
    with pytest.raises(exc, match=text):
        smart.get_security_quotes(value)
    assert mock.requests() == 0
