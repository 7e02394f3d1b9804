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
    entries = mock.request_log(cmd=cmd)
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
    mock.reset()

    raw = RawSession(host, port, setup)
    replies = {key: raw.round_trip(packet) for key, packet in packets.items()}

    # The plain decoder must agree with the client before its time means anything.
    for size, bar_args, pairs in (("big", BAR_ARGS, QUOTE_PAIRS), ("one", BAR_ARGS_ONE, QUOTE_PAIRS[:1])):
        _, body = pure_decoder.split_reply(replies["bars", size])
        assert pure_decoder.decode_bars(body, bar_args[0]) == client.get_security_bars(*bar_args), "bars differ"
        _, body = pure_decoder.split_reply(replies["quotes", size])
        assert pure_decoder.decode_quotes(body) == client.get_security_quotes(pairs), "quotes differ"

    def contenders_of(size, bar_args, pairs):
        bars_packet, quotes_packet = packets["bars", size], packets["quotes", size]
        bars_reply, quotes_reply = replies["bars", size], replies["quotes", size]
        return {
            ("bars raw socket", size): lambda: raw.round_trip(bars_packet),
            ("bars dicts", size): lambda: client.get_security_bars(*bar_args),
            ("bars tuples", size): lambda: client.get_security_bars_tuples(*bar_args),
            ("bars DataFrame", size): lambda: client.get_security_bars_dataframe(*bar_args),
            ("quotes raw socket", size): lambda: raw.round_trip(quotes_packet),
            ("quotes dicts", size): lambda: client.get_security_quotes(pairs),
            ("quotes tuples", size): lambda: client.get_security_quotes_tuples(pairs),
            ("quotes DataFrame", size): lambda: client.get_security_quotes_dataframe(pairs),
            ("bars pure Python", size): lambda: pure_decoder.decode_bars(
                pure_decoder.split_reply(bars_reply)[1], bar_args[0]),
            ("quotes pure Python", size): lambda: pure_decoder.decode_quotes(
                pure_decoder.split_reply(quotes_reply)[1]),
        }

    contenders = {**contenders_of("big", BAR_ARGS, QUOTE_PAIRS),
                  **contenders_of("one", BAR_ARGS_ONE, QUOTE_PAIRS[:1])}
    for fn in contenders.values():  # warm-up: pandas import, caches, allocator pools
        for _ in range(20):
            timed(fn)
    samples = {key: [] for key in contenders}
    # Interleaved, so drift of the machine or the mock touches every contender alike.
    for i in range(args.rounds):
        for key, fn in contenders.items():
            samples[key].append(timed(fn))
        if i % 200 == 199:
            mock.reset()  # the mock keeps a log of every request; keep it small
    med = {key[0]: median_us(s, 0) for key, s in samples.items() if key[1] == "big"}
    cpu = {key: median_us(s, 1) for key, s in samples.items()}

    # Decode and convert per record: the CPU time one more record adds to a call, beyond what it
    # adds to the raw round trip (the bytes on the wire). Taken between the full request and a
    # one-record request, so the fixed cost of a call (request, pool, syscalls) drops out; what
    # remains is inflating, parsing and making the Python objects.
    n_bars, n_quotes = 800, 60

    def per_record(kind, what, n):
        extra_big = cpu[f"{kind} {what}", "big"] - cpu[f"{kind} raw socket", "big"]
        extra_one = cpu[f"{kind} {what}", "one"] - cpu[f"{kind} raw socket", "one"]
        return (extra_big - extra_one) / (n - 1)

    ours = {
        "bars dicts": per_record("bars", "dicts", n_bars),
        "bars tuples": per_record("bars", "tuples", n_bars),
        "bars DataFrame": per_record("bars", "DataFrame", n_bars),
        "quotes dicts": per_record("quotes", "dicts", n_quotes),
        "quotes tuples": per_record("quotes", "tuples", n_quotes),
    }
    pure_bar = (cpu["bars pure Python", "big"] - cpu["bars pure Python", "one"]) / (n_bars - 1)
    pure_quote = (cpu["quotes pure Python", "big"] - cpu["quotes pure Python", "one"]) / (n_quotes - 1)

    # Resident memory across many calls of every kind.
    calls = [contenders[k, "big"] for k in ("bars dicts", "bars tuples", "bars DataFrame", "quotes dicts",
                                             "quotes tuples", "quotes DataFrame")]
    gc.collect()
    before = rss_bytes()
    for i in range(args.memory_calls):
        calls[i % len(calls)]()
        if i % 2000 == 1999:
            mock.reset()  # the mock keeps a log of every request; keep it small
    gc.collect()
    after = rss_bytes()
    raw.close()
    client.disconnect()

    report(args, med, ours, pure_bar, pure_quote, before, after)


def report(args, med, ours, pure_bar, pure_quote, before, after):
    lines = []
    out = lines.append
    out(f"quotix TdxHqClient against the loopback mock ({args.rounds} interleaved rounds, medians)")
    out("")
    for kind, raw_key, keys in (
        ("bars", "bars raw socket", ("bars dicts", "bars tuples", "bars DataFrame")),
        ("quotes", "quotes raw socket", ("quotes dicts", "quotes tuples", "quotes DataFrame")),
    ):
        what = "get_security_bars, 800 daily bars" if kind == "bars" else "get_security_quotes, 60 securities"
        out(f"{what:36} {'wall us':>10} {'x raw trip':>11}")
        out(f"{'  raw socket floor':36} {med[raw_key]:10.1f} {1.0:11.2f}")
        for k in keys:
            out(f"{'  ' + k.split()[1]:36} {med[k]:10.1f} {med[k] / med[raw_key]:11.2f}")
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
    worst_ratio = max(med["bars dicts"] / med["bars raw socket"], med["bars tuples"] / med["bars raw socket"],
                      med["quotes dicts"] / med["quotes raw socket"],
                      med["quotes tuples"] / med["quotes raw socket"])
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
