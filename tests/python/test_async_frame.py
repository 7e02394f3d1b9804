"""AsyncTdxHqClient's frame: its pool, the borrow rules between calls, the end of its runtime,
and the rate setters. The spacing of requests is observed only as a lower bound on the time a
run of them takes, which load can only lengthen."""

import gc
import os
import threading
import time

import pytest

from quotix._internal import AsyncTdxHqClient


def threads():
    return len(os.listdir("/proc/self/task"))


def wait_until(predicate, limit=10.0):
    deadline = time.monotonic() + limit
    while not predicate():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.01)


def test_pool_size(mock):
    for c, want in [(AsyncTdxHqClient(), 4), (AsyncTdxHqClient.with_pool_size(pool_size=3), 3)]:
        assert (c.connection_count(), c.is_connected()) == (0, False)
        assert c.connect(*mock.address(), 2.0) is True and (c.connection_count(), c.is_connected()) == (want, True)
        assert c.disconnect() is None and (c.connection_count(), c.is_connected()) == (0, False)
    assert mock.counters(0)["handshakes"] == 7


def test_borrows():
    c, seen = AsyncTdxHqClient(), []

    class Rps:  # a shared call inside an exclusive one
        def __index__(self):
            try:
                c.is_connected()
            except RuntimeError as e:
                seen.append(str(e))
            return 10

    class Port:  # exclusive calls inside a shared one; shared ones stack
        def __index__(self):
            for call in (lambda: c.set_rate_limit(1), lambda: c.set_phase("closed"), c.auto_detect_phase):
                try:
                    call()
                except RuntimeError as e:
                    seen.append(str(e))
            seen.append(c.connection_count())
            raise OverflowError("stop here")

    assert c.set_rate_limit(Rps()) is None
    with pytest.raises(OverflowError, match="stop here"):
        c.connect("127.0.0.1", Port())
    assert seen == ["Already mutably borrowed"] + ["Already borrowed"] * 3 + [0]
    c.set_rate_limit(1)  # both borrows were released on the way out
    assert c.is_connected() is False


def test_runtime_ends_with_the_object(mock):
    gc.collect()
    before = threads()
    for i in range(6):  # objects come and go, connected or not
        c = AsyncTdxHqClient.with_pool_size(2)
        if i % 2:
            c.connect(*mock.address(), 2.0)
            c.get_security_count(0)
        del c
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
    assert results == [2105]
    wait_until(lambda: mock.counters()["open"] == 0)
    assert threads() == before


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
    c.set_rate_limit(1000000)  # capped at 200 per second: 5 ms
    assert run_of(c, 6) >= 0.025 - 0.002
    assert c.auto_detect_phase() in ("trading", "prepost", "closed")  # which one is tested in C++
