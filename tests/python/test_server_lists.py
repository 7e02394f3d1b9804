"""The user server list and the block list of TdxHqClient. Editing them opens no connection."""


import pytest

from quotix._internal import TdxHqClient
from smart_helpers import run_python


@pytest.fixture
def client():
    return TdxHqClient()


def test_accepted_shapes(client):
    client.set_servers([("a", "192.0.2.1", 7709), ("b", "192.0.2.2", 7711)])
    client.set_servers((("a", "192.0.2.1", 7709),))
    client.set_servers([])
    client.reorder_servers([("a", "192.0.2.1", 0), ("a", "192.0.2.1", 65535)])
    client.add_server("a", "192.0.2.1", 7709)
    client.add_server("a", "192.0.2.1", 7709)     # duplicates accepted
    client.block_server("192.0.2.1", 7709)
    assert client.is_connected() is False and client.pool_stats()["total"] == 0   # nothing dialled


@pytest.mark.parametrize("method", ["set_servers", "reorder_servers"])
@pytest.mark.parametrize("bad, exc, text", [
    ("192.0.2.1", TypeError, "'servers'"),
    ([["a", "192.0.2.1", 7709]], TypeError, "'servers'"),         # a list, not a tuple
    ([("a", "192.0.2.1", "7709")], TypeError, "'servers'"),
    ([(1, "192.0.2.1", 7709)], TypeError, "'servers'"),
    ([("a", b"192.0.2.1", 7709)], TypeError, "'servers'"),
    (["a"], TypeError, "'servers'"),
    (7709, TypeError, "'servers'"),
    (None, TypeError, "'servers'"),
    ({("a", "192.0.2.1", 7709)}, TypeError, "'servers'"),         # a set is not a sequence
    ({"a": ("a", "192.0.2.1", 7709)}, TypeError, "'servers'"),
    ([("a", "192.0.2.1", 7709), ("a", "192.0.2.1")], ValueError,
     "^expected tuple of length 3, but got tuple of length 2$"),
    # Probe results must be cut to three items first.
    ([("a", "192.0.2.1", 7709, 1.5, 2.5, 3.5)], ValueError, "^expected tuple of length 3, but got tuple of length 6$"),
    ([("a", "192.0.2.1", 7709), ("b", "192.0.2.2", 65536)], OverflowError, "'servers' item 1"),
    ([("a", "192.0.2.1", -1)], OverflowError, None),
])
def test_bad_server_sequences(client, method, bad, exc, text):
    with pytest.raises(exc, match=text):
        getattr(client, method)(bad)


def test_items_may_not_change_the_sequence_under_conversion(client):
    servers = []

    class Port:
        def __index__(self):
            servers.clear()
            return 7709

    servers.extend([("a", "192.0.2.1", Port()), ("b", "192.0.2.2", 7709)])
    client.set_servers(servers)   # converted from a snapshot; no crash
    with pytest.raises(OverflowError):
        client.add_server("a", "192.0.2.1", 70000)


def test_block_list(client):
    for ip, port in [("192.0.2.3", 1), ("192.0.2.1", 2), ("192.0.2.3", 1), ("192.0.2.1", 7711), (" 192.0.2.4", 7709),
                     ("localhost", 7709), ("服务器", 7709)]:
        client.block_server(ip, port)
    # Entries match byte for byte; unblocking removes only the matching port.
    for ip, port in [("192.0.2.1", 7711), ("192.0.2.4", 7709), ("127.0.0.1", 7709), ("192.0.2.1", 9)]:
        client.unblock_server(ip, port)
    got = client.blocked_servers()
    assert got == [("192.0.2.3", 1), ("192.0.2.1", 2), (" 192.0.2.4", 7709), ("localhost", 7709), ("服务器", 7709)]
    assert type(got[0]) is tuple and type(got[0][0]) is str and type(got[0][1]) is int
    got.clear()
    assert len(client.blocked_servers()) == 5     # a new list each time
    client.clear_blocked_servers()
    client.clear_blocked_servers()
    assert client.blocked_servers() == []


def test_log_lines():
    err = run_python("""
        import quotix._internal as qi
        c = qi.TdxHqClient()
        c.add_server("a", "192.0.2.1", 7709)
        c.block_server("192.0.2.1", 7709)
        c.block_server("192.0.2.1", 7709)
        c.unblock_server("192.0.2.9", 1)
        qi.TdxHqClient().clear_blocked_servers()
    """, QUOTIX_LOG="info").stderr
    # Blocking logs once; unblocking and clearing log even when nothing matches; adding logs nothing.
    assert err == ("[I] hq  server 192.0.2.1:7709 added to blacklist\n"
                   "[I] hq  server 192.0.2.9:1 removed from blacklist\n"
                   "[I] hq  server blacklist cleared\n")
