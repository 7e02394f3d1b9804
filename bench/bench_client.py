"""Speed and memory of TdxHqClient's data methods against the loopback mock quote server.

    python3 bench/bench_client.py [--rounds N] [--memory-calls N]

Run it with the interpreter that has quotix installed (for example the worktree's .venv). It
starts the mock server as a child process (127.0.0.1 only, as the test fixtures do) and prints
one table; see bench/README.md for what each figure means.
"""

import argparse
import gc
import os
import socket
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "mock_server"))
sys.path.insert(0, HERE)

import pure_decoder  # noqa: E402
from launcher import MockServer  # noqa: E402

from quotix._internal import TdxHqClient  # noqa: E402

MiB = 1024 * 1024

# 800 daily bars of a long series, unadjusted: one bars request, nothing else.
BAR_ARGS = (4, 1, "600000", 0, 800, 0)
BAR_ARGS_ONE = (4, 1, "600000", 0, 1, 0)
# 60 Shanghai securities, the most one quotes request carries.
QUOTE_PAIRS = [(1, f"{600100 + i}") for i in range(60)]

TARGET_DICT_SPEEDUP = 10.0
TARGET_TUPLE_SPEEDUP = 15.0
TARGET_CALL_RATIO = 1.5
TARGET_MEMORY_GROWTH = 1 * MiB


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("VmRSS not found")


class RawSession:
    """A plain Python socket speaking the same bytes as the client: the round-trip floor."""

    def __init__(self, host, port, setup_packets):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for packet in setup_packets:
            self.round_trip(packet)

    def _read_exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise ConnectionError("mock closed the connection")
            buf += chunk
        return bytes(buf)

    def round_trip(self, packet):
        """Sends one request and returns its whole framed reply, body not inflated."""
        self.sock.sendall(packet)
        header = self._read_exact(16)
        zip_size = int.from_bytes(header[12:14], "little")
        return header + self._read_exact(zip_size)

    def close(self):
        self.sock.close()


def logged_packet(mock, cmd):
    entries = mock.call("log", cmd=cmd)["entries"]
    if not entries:
        raise RuntimeError(f"no {cmd} request in the mock's log")
    return bytes.fromhex(entries[-1]["raw"])


def timed(fn):
    """(wall seconds, CPU seconds of this thread) of one call. The CPU time leaves out the wait
    for the mock, whose own speed varies from reply to reply."""
    w0, c0 = time.perf_counter(), time.thread_time()
    result = fn()
    c1, w1 = time.thread_time(), time.perf_counter()
    del result  # released outside the timed span, for every contender alike
    return w1 - w0, c1 - c0


def median_us(samples, which):
    return statistics.median(s[which] for s in samples) * 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=200, help="timed calls of each kind (default 200)")
    ap.add_argument("--memory-calls", type=int, default=10000, help="calls between the RSS readings")
    args = ap.parse_args()

    mock = MockServer()
    try:
        run(mock, args)
    finally:
        mock.stop()


def run(mock, args):
    host, port = mock.address()
    client = TdxHqClient()
    client.connect(host, port)
    # The limiters space requests on purpose (15 and 50 per second); they would measure the
    # policy, not the client.
    client.set_rate_limit(0)
    client.set_rate_limit_daily(0)

    # One request of each size; their exact bytes come from the mock's log.
    packets = {}
    for size, bar_args, pairs in (("big", BAR_ARGS, QUOTE_PAIRS), ("one", BAR_ARGS_ONE, QUOTE_PAIRS[:1])):
        bars = client.get_security_bars(*bar_args)
        packets["bars", size] = logged_packet(mock, "bars")
        quotes = client.get_security_quotes(pairs)
        packets["quotes", size] = logged_packet(mock, "quotes")
        assert (len(bars), len(quotes)) == ((800, 60) if size == "big" else (1, 1)), (len(bars), len(quotes))
    setup = [logged_packet(mock, c) for c in ("setup1", "setup2", "setup3")]
    mock.call("reset")

    raw = RawSession(host, port, setup)
    replies = {key: raw.round_trip(packet) for key, packet in packets.items()}

    # The plain decoder must agree with the client before its time means anything.
    for size, bar_args, pairs in (("big", BAR_ARGS, QUOTE_PAIRS), ("one", BAR_ARGS_ONE, QUOTE_PAIRS[:1])):
        _, body = pure_decoder.split_reply(replies["bars", size])
        assert pure_decoder.decode_bars(body, bar_args[0]) == client.get_security_bars(*bar_args), "bars differ"
        _, body = pure_decoder.split_reply(replies["quotes", size])
        assert pure_decoder.decode_quotes(body) == client.get_security_quotes(pairs), "quotes differ"

    def contenders_of(kind, size):
        """The contenders of one record kind ("bars" or "quotes") at one request size."""
        if kind == "bars":
            args_ = BAR_ARGS if size == "big" else BAR_ARGS_ONE
            reply = replies["bars", size]
            return {
                "raw socket": lambda p=packets["bars", size]: raw.round_trip(p),
                "dicts": lambda: client.get_security_bars(*args_),
                "tuples": lambda: client.get_security_bars_tuples(*args_),
                "DataFrame": lambda: client.get_security_bars_dataframe(*args_),
                "pure Python": lambda: pure_decoder.decode_bars(pure_decoder.split_reply(reply)[1], args_[0]),
            }
        pairs = QUOTE_PAIRS if size == "big" else QUOTE_PAIRS[:1]
        reply = replies["quotes", size]
        return {
            "raw socket": lambda p=packets["quotes", size]: raw.round_trip(p),
            "dicts": lambda: client.get_security_quotes(pairs),
            "tuples": lambda: client.get_security_quotes_tuples(pairs),
            "DataFrame": lambda: client.get_security_quotes_dataframe(pairs),
            "pure Python": lambda: pure_decoder.decode_quotes(pure_decoder.split_reply(reply)[1]),
        }

    # Each group is timed on its own, its contenders interleaved round by round so that drift of
    # the machine or the mock touches them alike. The DataFrame calls form groups of their own
    # (beside their own raw floor): pandas' allocations between two calls of another contender
    # would leave that one a cold cache and allocator.
    groups = {}
    for kind in ("bars", "quotes"):
        for size in ("big", "one"):
            c = contenders_of(kind, size)
            groups[kind, "objects", size] = {k: c[k] for k in ("raw socket", "dicts", "tuples", "pure Python")}
            groups[kind, "frames", size] = {k: c[k] for k in ("raw socket", "DataFrame")}
    wall, cpu = {}, {}
    for (kind, group, size), members in groups.items():
        for fn in members.values():  # warm-up: pandas import, caches, allocator pools
            for _ in range(20):
                timed(fn)
        got = {name: [] for name in members}
        for i in range(args.rounds):
            for name, fn in members.items():
                got[name].append(timed(fn))
            if i % 200 == 199:
                mock.call("reset")  # the mock keeps a log of every request; keep it small
        for name, samples in got.items():
            wall[kind, group, size, name] = median_us(samples, 0)
            cpu[kind, group, size, name] = median_us(samples, 1)

    # Call times, each against the raw round trip of the same request measured beside it.
    med, ratio = {}, {}
    for kind in ("bars", "quotes"):
        med[f"{kind} raw socket"] = wall[kind, "objects", "big", "raw socket"]
        for name in ("dicts", "tuples", "DataFrame"):
            group = "frames" if name == "DataFrame" else "objects"
            med[f"{kind} {name}"] = wall[kind, group, "big", name]
            ratio[f"{kind} {name}"] = med[f"{kind} {name}"] / wall[kind, group, "big", "raw socket"]

    # Decode and convert per record: the CPU time one more record adds to a call, beyond what it
    # adds to the raw round trip (the bytes on the wire). Taken between the full request and a
    # one-record request, so the fixed cost of a call (request, pool, syscalls) drops out; what
    # remains is inflating, parsing and making the Python objects.
    n_bars, n_quotes = 800, 60

    def per_record(kind, name, n):
        group = "frames" if name == "DataFrame" else "objects"
        extra = {size: cpu[kind, group, size, name] - cpu[kind, group, size, "raw socket"]
                 for size in ("big", "one")}
        return (extra["big"] - extra["one"]) / (n - 1)

    ours = {
        "bars dicts": per_record("bars", "dicts", n_bars),
        "bars tuples": per_record("bars", "tuples", n_bars),
        "bars DataFrame": per_record("bars", "DataFrame", n_bars),
        "quotes dicts": per_record("quotes", "dicts", n_quotes),
        "quotes tuples": per_record("quotes", "tuples", n_quotes),
    }
    pure_bar = (cpu["bars", "objects", "big", "pure Python"]
                - cpu["bars", "objects", "one", "pure Python"]) / (n_bars - 1)
    pure_quote = (cpu["quotes", "objects", "big", "pure Python"]
                  - cpu["quotes", "objects", "one", "pure Python"]) / (n_quotes - 1)

    # Resident memory across many calls of every kind.
    calls = [contenders_of(kind, "big")[name] for kind in ("bars", "quotes")
             for name in ("dicts", "tuples", "DataFrame")]
    for i in range(10 * len(calls)):  # one more warm-up, of this cycle
        calls[i % len(calls)]()
    gc.collect()
    before = rss_bytes()
    for i in range(args.memory_calls):
        calls[i % len(calls)]()
        if i % 2000 == 1999:
            mock.call("reset")  # the mock keeps a log of every request; keep it small
    gc.collect()
    after = rss_bytes()
    raw.close()
    client.disconnect()

    report(args, med, ratio, ours, pure_bar, pure_quote, before, after)


def report(args, med, ratio, ours, pure_bar, pure_quote, before, after):
    lines = []
    out = lines.append
    out(f"quotix TdxHqClient against the loopback mock ({args.rounds} interleaved rounds per group, medians)")
    out("")
    for kind, raw_key, keys in (
        ("bars", "bars raw socket", ("bars dicts", "bars tuples", "bars DataFrame")),
        ("quotes", "quotes raw socket", ("quotes dicts", "quotes tuples", "quotes DataFrame")),
    ):
        what = "get_security_bars, 800 daily bars" if kind == "bars" else "get_security_quotes, 60 securities"
        out(f"{what:36} {'wall us':>10} {'x raw trip':>11}")
        out(f"{'  raw socket floor':36} {med[raw_key]:10.1f} {1.0:11.2f}")
        for k in keys:
            out(f"{'  ' + k.split()[1]:36} {med[k]:10.1f} {ratio[k]:11.2f}")
    out("")
    out(f"{'decode + convert per record':36} {'CPU us':>10} {'speedup':>11}")
    out(f"{'bars, pure Python (struct+zlib)':36} {pure_bar:10.3f} {1.0:11.1f}")
    for k in ("bars dicts", "bars tuples", "bars DataFrame"):
        out(f"{'  ' + k:36} {ours[k]:10.3f} {pure_bar / ours[k] if ours[k] > 0 else float('inf'):11.1f}")
    out(f"{'quotes, pure Python (struct+zlib)':36} {pure_quote:10.3f} {1.0:11.1f}")
    for k in ("quotes dicts", "quotes tuples"):
        out(f"{'  ' + k:36} {ours[k]:10.3f} {pure_quote / ours[k] if ours[k] > 0 else float('inf'):11.1f}")
    out("")
    growth = after - before
    out(f"resident memory: {before / MiB:.2f} MiB before, {after / MiB:.2f} MiB after "
        f"{args.memory_calls} calls (growth {growth / 1024:+.0f} KiB)")
    out("")

    def verdict(ok):
        return "met" if ok else "MISSED"

    dict_speedup = pure_bar / ours["bars dicts"] if ours["bars dicts"] > 0 else float("inf")
    tuple_speedup = pure_bar / ours["bars tuples"] if ours["bars tuples"] > 0 else float("inf")
    worst_ratio = max(ratio[k] for k in ("bars dicts", "bars tuples", "quotes dicts", "quotes tuples"))
    out("targets:")
    out(f"  bars dicts >= {TARGET_DICT_SPEEDUP:.0f}x pure Python: {dict_speedup:.1f}x "
        f"{verdict(dict_speedup >= TARGET_DICT_SPEEDUP)}")
    out(f"  bars tuples >= {TARGET_TUPLE_SPEEDUP:.0f}x pure Python: {tuple_speedup:.1f}x "
        f"{verdict(tuple_speedup >= TARGET_TUPLE_SPEEDUP)}")
    out(f"  dict/tuple call <= {TARGET_CALL_RATIO}x raw round trip: worst {worst_ratio:.2f}x "
        f"{verdict(worst_ratio <= TARGET_CALL_RATIO)}")
    out(f"  memory growth < 1 MiB: {growth / 1024:+.0f} KiB {verdict(growth < TARGET_MEMORY_GROWTH)}")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
