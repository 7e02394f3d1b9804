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
        client.set_fq_context_tier("low")
        client.connect(host, port, timeout=5.0)
        print("connected:", client.is_connected())
        print("pool:", client.pool_stats())
        print("adjustment context tier:", client.fq_context_tier())

        if hasattr(client, "get_security_count"):
            for name, market in (("Shenzhen", quotix.MARKET_SZ), ("Shanghai", quotix.MARKET_SH)):
                print(f"securities in {name}:", client.get_security_count(market))
        if hasattr(client, "get_security_bars"):
            bars = client.get_security_bars(quotix.KLINE_DAILY, quotix.MARKET_SZ, "000001", 0, 3)
            for bar in bars:
                print("bar:", bar["datetime"], bar["open"], bar["close"])
        if hasattr(client, "get_security_quotes"):
            for q in client.get_security_quotes([(quotix.MARKET_SZ, "000001"), (quotix.MARKET_SH, "600000")]):
                print("quote:", q["code"], q["price"])

        client.block_server("192.0.2.1", 7709)
        print("blocked servers:", client.blocked_servers())

        client.disconnect()
        print("connected after disconnect:", client.is_connected())


if __name__ == "__main__":
    main()
