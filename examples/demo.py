"""A short tour of quotix against the loopback mock quote server of the test suite.

Run it with scripts/demo.sh (which builds and installs the package first) or, once quotix is
installed, with `python3 examples/demo.py`.

To use a real quote server instead of the mock, leave out the mock and connect directly:

    client = TdxHqClient()
    client.connect("<server ip>", 7709)      # one server you know, or:
    client.connect_to_any()                  # the first server of the built-in tables that answers

    # Servers can be ranked by response time and the fastest put first:
    #   ranked = client.probe_servers(timeout=3.0)
    #   client.reorder_servers([r[:3] for r in ranked[:5]])
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "mock_server"))

from launcher import MockServer  # noqa: E402  (the same launcher the test fixtures use)

import quotix  # noqa: E402
from quotix import TdxHqClient  # noqa: E402


def main():
    with MockServer() as mock:
        host, port = mock.address()
        print(f"mock quote server listening on {host}:{port}")

        client = TdxHqClient()
        client.connect(host, port, timeout=5.0)
        print("connected:", client.is_connected(), client.pool_stats())

        for name, market in (("Shenzhen", quotix.MARKET_SZ), ("Shanghai", quotix.MARKET_SH)):
            print(f"securities in {name}:", client.get_security_count(market))

        # The five newest daily bars, raw and forward-adjusted (前复权) for ex-rights events.
        raw = client.get_security_bars(quotix.KLINE_DAILY, quotix.MARKET_SZ, "000001", 0, 30,
                                       quotix.FQ_NONE)
        qfq = client.get_security_bars(quotix.KLINE_DAILY, quotix.MARKET_SZ, "000001", 0, 30,
                                       quotix.FQ_QFQ)
        for r, a in list(zip(raw, qfq))[:5]:
            print(f"bar {r['datetime']}: close {r['close']:.3f}, forward-adjusted {a['close']:.3f}")
        report = client.calc_fq_factors(quotix.MARKET_SZ, "000001", 0, 30)
        for key, value in report.items():
            print(f"factor report {key}:", value)

        for q in client.get_security_quotes([(quotix.MARKET_SZ, "000001"),
                                             (quotix.MARKET_SH, "600000")]):
            print(f"quote {q['code']}: price {q['price']}, bid1 {q['bid1']}, ask1 {q['ask1']}")

        try:
            frame = client.get_security_bars_dataframe(quotix.KLINE_DAILY, quotix.MARKET_SH,
                                                       "600000", 0, 3)
            print(frame)
        except ImportError:
            print("(pandas is not installed: DataFrame methods are unavailable)")

        client.disconnect()
        print("connected after disconnect:", client.is_connected())


if __name__ == "__main__":
    main()
