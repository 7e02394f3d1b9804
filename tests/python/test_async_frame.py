"""AsyncTdxHqClient's frame: the borrow rules between calls, the binding and conversion of every
argument, its pool, the end of its runtime and the rate setters, whose spacing is observed only as a
lower bound that load can only lengthen."""

import gc
import inspect
import threading
import time

import pytest
from conftest import threads

from quotix._internal import AsyncTdxHqClient


PUBLIC = [name for name in vars(AsyncTdxHqClient) if not name.startswith("_")]
EXCLUSIVE = {"set_rate_limit", "set_phase", "auto_detect_phase"}
# A value each parameter converts from; the time-out is one the methods refuse afterwards, so that
# no call of these tables can ever start connecting.
ARGS = {"pool_size": 1, "ip": "127.0.0.1", "port": 1, "timeout": -1.0, "rps": 0, "phase": "closed", "category": 4,
        "market": 0, "code": "000001", "start": 0, "count": 1, "fq": 0, "date": 20240628, "all_stock": [],
        "stocks": []}


def params(name):
    return [p for p in inspect.signature(getattr(AsyncTdxHqClient, name)).parameters if p != "self"]


def test_borrows():
    c, seen, inner = AsyncTdxHqClient(), [], {}

    def attempt(*calls):
        for call in calls:
            try:
                call()
            except RuntimeError as e:
                seen.append(str(e))

    def every_method(s):  # every method inside an exclusive borrow: none gets its own
        for name in PUBLIC[1:]:  # with_pool_size is static: it borrows nothing
            try:
                getattr(c, name)(*[ARGS[p] for p in params(name)])
            except RuntimeError as e:
                inner[name] = str(e)
        return 10

    def port_index(s):  # exclusive calls inside a shared one; shared ones stack
        attempt(lambda: c.set_rate_limit(1), lambda: c.set_phase("closed"), c.auto_detect_phase)
        seen.append(c.connection_count())
        raise OverflowError("stop here")

    assert c.set_rate_limit(type("Rps", (), {"__index__": every_method})()) is None
    assert inner == {name: "Already borrowed" if name in EXCLUSIVE else "Already mutably borrowed"
                     for name in PUBLIC[1:]}
    with pytest.raises(OverflowError, match="stop here"):
        c.connect("127.0.0.1", type("Port", (), {"__index__": port_index})())
    assert seen == ["Already borrowed"] * 3 + [0]
    c.set_rate_limit(1)  # both borrows were released on the way out
    assert c.is_connected() is False


def test_every_argument_is_bound_then_converted_before_anything_is_sent(mock):
    c = AsyncTdxHqClient.with_pool_size(1)
    c.connect(*mock.address(), 2.0)
    mock.call("reset")
    for name in PUBLIC:
        names = params(name)
        if not names:
            continue
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes at most {len(names)} arguments? \("):
            getattr(c, name)(*[ARGS[p] for p in names], bogus=1)
        for p in names:  # each parameter in turn the one that does not convert
            with pytest.raises(TypeError, match=f"^argument '{p}': ") as e:
                getattr(c, name)(*[object() if q == p else ARGS[q] for q in names])
            assert type(e.value.__cause__) is TypeError, (name, p)
    assert (mock.counters()["requests_total"], mock.counters()["accepted"], c.connection_count()) == (0, 0, 1)


class Refuses:
    """An integer argument whose conversion fails in Python code, so its error carries a traceback."""

    def __init__(self, error=None):
        self.error = error or TypeError("not today")

    def __index__(self):
        raise self.error


class Mute(TypeError):
    def __str__(self):
        return str(1 / 0)


# Conversions, each refused with its own exception: (call, exception, message pattern).
CONVERSIONS = [
    (lambda c: c.get_security_count(256), OverflowError, "^out of range integral type conversion attempted$"),
    (lambda c: c.get_security_count(-1), OverflowError, "^out of range integral type conversion attempted$"),
    (lambda c: c.get_security_count(2 ** 64), OverflowError, "^int too big to convert$"),  # past 64 bits
    (lambda c: c.get_security_list(0, 65536), OverflowError, "^out of range integral"),
    (lambda c: c.get_security_list(0, 1.5), TypeError, "^argument 'start': "),
    (lambda c: c.get_security_list(x=1, y=2), TypeError, r"^get_security_list\(\) missing required argument 'market'"),
    (lambda c: AsyncTdxHqClient.with_pool_size(2 ** 64), OverflowError, "^int too big to convert$"),
    (lambda c: AsyncTdxHqClient(pool_size=2), TypeError, r"^AsyncTdxHqClient\(\) takes no arguments$"),
    (lambda c: c.get_finance_info(0, "\udcff"), UnicodeEncodeError, "surrogates not allowed"),
    (lambda c: c.get_security_quotes("600000"), TypeError,
     r"^argument 'all_stock': 'str' object cannot be converted to a sequence of \(market, code\) tuples$"),
    (lambda c: c.get_security_quotes([[0, "000001"]]), TypeError,
     "^argument 'all_stock': 'list' object cannot be converted to 'tuple'$"),
    (lambda c: c.get_finance_info_dataframe([(0, "000001"), ("1", "600000")]), TypeError, "^argument 'stocks': "),
    (lambda c: c.get_security_quotes([(256, "600000")]), OverflowError, "^out of range integral"),
    (lambda c: c.connect("127.0.0.1", 1, -0.5), ValueError, "timeout"),
    (lambda c: c.set_phase(1), TypeError, "^argument 'phase': "),
    (lambda c: c.get_transaction_data(0, "000001", Refuses()), TypeError, "^argument 'start': not today$"),
    (lambda c: c.get_transaction_data(0, "000001", Refuses(Mute())), ZeroDivisionError, "division"),  # no text
]


@pytest.mark.parametrize("call, exc, text", CONVERSIONS)
def test_conversions(call, exc, text):
    with pytest.raises(exc, match=text) as e:
        call(AsyncTdxHqClient.with_pool_size(1))
    assert type(e.value) is exc
    cause = e.value.__cause__
    if str(e.value).startswith("argument '"):  # the conversion's own error is the cause, its traceback kept
        assert type(cause) is TypeError and str(e.value).endswith(": " + str(cause))
        assert (cause.__traceback__ is not None) == (str(cause) == "not today")


def test_pool_and_the_end_of_the_runtime(mock):
    gc.collect()
    before = threads()
    assert AsyncTdxHqClient.with_pool_size(2 ** 64 - 1).connection_count() == 0  # no upper bound
    for c, size in ((AsyncTdxHqClient.with_pool_size(0), 1), (AsyncTdxHqClient(**{}), 4),
                    (AsyncTdxHqClient.with_pool_size(pool_size=3), 3)):  # a pool of none is a pool of one
        assert (c.connection_count(), c.is_connected()) == (0, False)
        assert c.connect(*mock.address(), None) is True and c.get_security_count(0) == 2105
        assert (c.connection_count(), c.is_connected()) == (size, True)
    assert c.disconnect() is None and (c.connection_count(), c.is_connected()) == (0, False)
    del c  # the others were dropped while connected
    # Dropped while its connections wait on a server that never answers: no wait for the server.
    c = AsyncTdxHqClient.with_pool_size(2)
    c.connect(*mock.address(), 30.0)
    mock.set_fault("stall", cmd="count")
    t0 = time.monotonic()
    del c
    gc.collect()
    assert time.monotonic() - t0 < 10
    # The last reference dropped on another thread during a call: that thread ends the object.
    mock.call("reset")
    mock.set_fault("delay", cmd="count", seconds=0.3, nth=1)
    c, results = AsyncTdxHqClient.with_pool_size(2), []
    c.connect(*mock.address(), 2.0)
    t = threading.Thread(target=lambda cl: results.append(cl.get_security_count(0)), args=(c,))
    t.start()
    del c
    t.join(10)
    deadline = time.monotonic() + 10
    while mock.counters()["open"] and time.monotonic() < deadline:
        time.sleep(0.01)
    assert (results, mock.counters()["open"], threads(before)) == ([2105], 0, before)


def run_of(client, n):
    """Seconds taken by n finance requests, which are never cached."""
    client.get_finance_info(0, "000001")  # stamps the limiter
    t0 = time.monotonic()
    for _ in range(n):
        client.get_finance_info(0, "000001")
    return time.monotonic() - t0


def test_rate_setters(client):
    c = client("async")
    c.set_rate_limit(10)  # 1000 ms / 10
    assert run_of(c, 3) >= 0.2 - 0.002
    assert c.set_phase("lunch") is None and run_of(c, 3) >= 0.2 - 0.002  # an unknown name changes nothing
    c.set_rate_limit(0)
    c.set_phase("trading")  # 20 ms
    assert run_of(c, 6) >= 0.1 - 0.002
    assert c.auto_detect_phase() in ("trading", "prepost", "closed")  # which one is tested in C++
