"""Quote methods of TdxHqClient against the mock: the batch on the wire, values, the dict and
tuple orders, the DataFrame, the 60-security limit and argument refusal."""

import sys

import pytest
from hq_fixtures import client, data_requests, mock, requests_of  # noqa: F401


LEVELS = range(1, 6)
QUOTE_KEYS = (["market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol", "cur_vol",
               "amount", "s_vol", "b_vol"]
              + [k for n in LEVELS for k in (f"bid{n}", f"bid_vol{n}")]
              + [k for n in LEVELS for k in (f"ask{n}", f"ask_vol{n}")])
QUOTE_COLUMNS = ["code", "market", "price", "last_close", "open", "high", "low", "vol", "cur_vol", "amount",
                 "s_vol", "b_vol", "servertime"]


def expected_quote(market, code, unit):
    """The mock's quote of a security, by hand from the data set's rules (README): P = 1000 +
    (n mod 1000) in the security's price unit; prices are (P + difference) x unit."""
    n = int(code)
    p = 1000 + n % 1000
    vol = 100000 + n % 1000
    q = {
        "market": market, "code": code, "price": p * unit, "last_close": (p - 10) * unit,
        "open": (p - 5) * unit, "high": (p + 20) * unit, "low": (p - 30) * unit, "servertime": "14:30:2541",
        "vol": float(vol), "cur_vol": 100.0, "amount": float(vol * 1000), "s_vol": 60000.0, "b_vol": 40000.0,
    }
    for k in LEVELS:
        q[f"bid{k}"] = (p - k) * unit
        q[f"bid_vol{k}"] = 100.0 * k
    for k in LEVELS:
        q[f"ask{k}"] = (p + k) * unit
        q[f"ask_vol{k}"] = 200.0 * k
    return q


SIXTY = [(1, f"{600100 + i}") for i in range(60)]


def test_quotes_match_the_data_set(client, mock):
    pairs = [(1, "600000"), (0, "159915"), (1, "519674")]
    quotes = client.get_security_quotes(pairs)
    assert quotes == [expected_quote(1, "600000", 0.01), expected_quote(0, "159915", 0.001),
                      expected_quote(1, "519674", 0.00001)]
    for q in quotes:
        assert list(q) == QUOTE_KEYS
        assert type(q["market"]) is int and type(q["code"]) is str and type(q["servertime"]) is str
        assert all(type(q[k]) is float for k in QUOTE_KEYS if k not in ("market", "code", "servertime"))
    (req,) = requests_of(mock, "quotes")
    assert req["n"] == 3 and req["pairs"] == [[1, "600000"], [0, "159915"], [1, "519674"]]


def test_tuples_interleave_levels_and_leave_out_the_time(client):
    pairs = [(1, "600000"), (0, "000002")]
    dicts = client.get_security_quotes(pairs)
    tuples = client.get_security_quotes_tuples(pairs)
    for d, t in zip(dicts, tuples, strict=True):
        assert len(t) == 32
        head = [d[k] for k in ("market", "code", "price", "last_close", "open", "high", "low", "vol", "cur_vol",
                               "amount", "s_vol", "b_vol")]
        levels = [d[f"{side}{n}"] for n in LEVELS for side in ("bid", "bid_vol", "ask", "ask_vol")]
        assert list(t) == head + levels


def test_dataframe_columns_and_values(client):
    frame = client.get_security_quotes_dataframe(SIXTY)
    dicts = client.get_security_quotes(SIXTY)
    assert list(frame.columns) == QUOTE_COLUMNS
    assert len(frame) == 60
    for column in QUOTE_COLUMNS:
        assert frame[column].tolist() == [d[column] for d in dicts]
    assert str(frame["market"].dtype) == "int64" and str(frame["price"].dtype) == "float64"


def test_more_than_60_pairs_are_cut_to_the_first_60(client, mock):
    # A block code beyond the 60th pair is never looked at.
    pairs = SIXTY + [(1, "880001")]
    for method in (client.get_security_quotes, client.get_security_quotes_tuples,
                   client.get_security_quotes_dataframe):
        assert len(method(pairs)) == 60
    reqs = requests_of(mock, "quotes")
    assert [r["n"] for r in reqs] == [60, 60, 60]
    assert reqs[0]["pairs"] == [[m, c] for m, c in SIXTY]


def test_same_pair_twice_is_sent_twice(client, mock):
    quotes = client.get_security_quotes(all_stock=[(1, "600000"), (1, "600000")])
    assert len(quotes) == 2 and quotes[0] == quotes[1]
    assert requests_of(mock, "quotes")[0]["n"] == 2


def test_empty_batch_is_sent_with_zero_entries(client, mock):
    assert client.get_security_quotes([]) == []
    assert client.get_security_quotes_tuples(()) == []
    frame = client.get_security_quotes_dataframe([])
    assert list(frame.columns) == QUOTE_COLUMNS and len(frame) == 0
    assert [r["n"] for r in requests_of(mock, "quotes")] == [0, 0, 0]


def test_block_code_is_refused_without_traffic(client, mock):
    with pytest.raises(ValueError, match=r"^\[E1101\].*code=880001$"):
        client.get_security_quotes([(1, "600000"), (1, "880001")])
    # Other lengths are not block codes.
    assert len(client.get_security_quotes([(1, "88000"), (1, "8800011")])) == 2
    assert [r["n"] for r in requests_of(mock, "quotes")] == [2]


@pytest.mark.parametrize("arg, exc, text", [
    ("600000", TypeError, None),
    (None, TypeError, None),
    ([(1, "600000"), [1, "600001"]], TypeError, None),
    ([(1, 600000)], TypeError, None),
    ([("1", "600000")], TypeError, None),
    ([(256, "600000")], OverflowError, None),
    ([(1, "600000", 0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([(1,)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
])
def test_bad_batches_raise_before_any_request(client, mock, arg, exc, text):
    for method in (client.get_security_quotes, client.get_security_quotes_tuples,
                   client.get_security_quotes_dataframe):
        with pytest.raises(exc) as e:
            method(arg)
        if text:
            assert str(e.value) == text
    assert data_requests(mock) == []


def test_dataframe_without_pandas_and_a_dropped_connection(client, mock, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        client.get_security_quotes_dataframe([(1, "600000")])
    assert len(requests_of(mock, "quotes")) == 1
    client.set_auto_retry(False)
    mock.set_fault("close", cmd="quotes", nth=1)
    with pytest.raises(ConnectionError):
        client.get_security_quotes([(1, "600000")])
