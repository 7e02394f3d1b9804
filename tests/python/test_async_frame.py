"""AsyncTdxHqClient's frame: its pool, the borrow rules between calls, the end of its runtime and
the rate setters, whose spacing is observed only as a lower bound that load can only lengthen."""

import gc
import threading
import time

import pytest
from conftest import threads

from quotix._internal import AsyncTdxHqClient


def test_borrows():
    c, seen = AsyncTdxHqClient(), []

    def attempt(*calls):
        for call in calls:
            try:
                call()
            except RuntimeError as e:
                seen.append(str(e))

    rps = type("Rps", (), {"__index__": lambda s: attempt(c.is_connected) or 10})()  # shared inside exclusive

    def port_index(s):  # exclusive calls inside a shared one; shared ones stack
        attempt(lambda: c.set_rate_limit(1), lambda: c.set_phase("closed"), c.auto_detect_phase)
        seen.append(c.connection_count())
        raise OverflowError("stop here")

    assert c.set_rate_limit(rps) is None
    with pytest.raises(OverflowError, match="stop here"):
        c.connect("127.0.0.1", type("Port", (), {"__index__": port_index})())
    assert seen == ["Already mutably borrowed"] + ["Already borrowed"] * 3 + [0]
    c.set_rate_limit(1)  # both borrows were released on the way out
    assert c.is_connected() is False


def test_pool_and_the_end_of_the_runtime(mock):
    gc.collect()
    before = threads()
    for c, size in ((AsyncTdxHqClient(), 4), (AsyncTdxHqClient.with_pool_size(pool_size=3), 3)):
        assert (c.connection_count(), c.is_connected()) == (0, False)
        assert c.connect(*mock.address(), 2.0) is True and c.get_security_count(0) == 2105
        assert (c.connection_count(), c.is_connected()) == (size, True)
    assert c.disconnect() is None and (c.connection_count(), c.is_connected()) == (0, False)
    del c  # the other one is dropped while connected
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
