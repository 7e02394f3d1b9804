"""The user server list and the block list of TdxHqClient. Editing them opens no connection."""

import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

from quotix._internal import TdxHqClient


@pytest.fixture
def client():
    return TdxHqClient()


def run_logged(code):
    """Runs `code` with the log level at info; returns standard error."""
    env = dict(os.environ, QUOTIX_LOG="info")
    r = subprocess.run([sys.executable, "-c", "import quotix._internal as qi\n" + textwrap.dedent(code)],
                       env=env, cwd=tempfile.gettempdir(), capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stderr


class TestServerSequences:
    def test_accepted_shapes(self, client):
        client.set_servers([("a", "192.0.2.1", 7709), ("b", "192.0.2.2", 7711)])
        client.set_servers((("a", "192.0.2.1", 7709),))
        client.set_servers([])
        client.reorder_servers([("a", "192.0.2.1", 0), ("a", "192.0.2.1", 65535)])

    @pytest.mark.parametrize("method", ["set_servers", "reorder_servers"])
    def test_str_is_not_a_sequence_of_servers(self, client, method):
        with pytest.raises(TypeError, match="'servers'"):
            getattr(client, method)("192.0.2.1")
        with pytest.raises(TypeError, match="'servers'"):
            getattr(client, method)(("a", "192.0.2.1", 7709)[0])

    @pytest.mark.parametrize("method", ["set_servers", "reorder_servers"])
    def test_wrong_tuple_length(self, client, method):
        with pytest.raises(ValueError) as e:
            getattr(client, method)([("a", "192.0.2.1", 7709), ("a", "192.0.2.1")])
        assert str(e.value) == "expected tuple of length 3, but got tuple of length 2"

    def test_probe_results_must_be_cut_to_three_items(self, client):
        probe_like = [("a", "192.0.2.1", 7709, 1.5, 2.5, 3.5)]
        with pytest.raises(ValueError) as e:
            client.reorder_servers(probe_like)
        assert str(e.value) == "expected tuple of length 3, but got tuple of length 6"
        client.reorder_servers([t[:3] for t in probe_like])

    @pytest.mark.parametrize("bad", [
        [["a", "192.0.2.1", 7709]],          # a list, not a tuple
        [("a", "192.0.2.1", "7709")],        # port not an int
        [(1, "192.0.2.1", 7709)],            # name not a str
        [("a", b"192.0.2.1", 7709)],         # ip not a str
        ["a"],
        7709,
        None,
        {("a", "192.0.2.1", 7709)},          # a set is not a sequence
        {"a": ("a", "192.0.2.1", 7709)},
    ])
    def test_wrong_types(self, client, bad):
        with pytest.raises(TypeError, match="'servers'"):
            client.set_servers(bad)

    def test_port_width_in_a_sequence(self, client):
        with pytest.raises(OverflowError, match="'servers' item 1"):
            client.set_servers([("a", "192.0.2.1", 7709), ("b", "192.0.2.2", 65536)])
        with pytest.raises(OverflowError):
            client.set_servers([("a", "192.0.2.1", -1)])

    def test_items_may_not_change_the_sequence_under_conversion(self, client):
        servers = []

        class Port:
            def __index__(self):
                servers.clear()
                return 7709

        servers.extend([("a", "192.0.2.1", Port()), ("b", "192.0.2.2", 7709)])
        client.set_servers(servers)   # converted from a snapshot; no crash


class TestBlockList:
    def test_block_twice_keeps_one_entry(self, client):
        client.block_server("192.0.2.1", 7709)
        client.block_server("192.0.2.1", 7709)
        assert client.blocked_servers() == [("192.0.2.1", 7709)]

    def test_entries_keep_their_order(self, client):
        client.block_server("192.0.2.3", 1)
        client.block_server("192.0.2.1", 2)
        client.block_server("192.0.2.2", 3)
        assert client.blocked_servers() == [("192.0.2.3", 1), ("192.0.2.1", 2), ("192.0.2.2", 3)]

    def test_unblock_removes_only_the_matching_port(self, client):
        client.block_server("192.0.2.1", 7709)
        client.block_server("192.0.2.1", 7711)
        client.unblock_server("192.0.2.1", 7711)
        assert client.blocked_servers() == [("192.0.2.1", 7709)]

    def test_entries_match_byte_for_byte(self, client):
        client.block_server(" 192.0.2.1", 7709)
        client.block_server("localhost", 7709)
        client.unblock_server("192.0.2.1", 7709)
        client.unblock_server("127.0.0.1", 7709)
        assert client.blocked_servers() == [(" 192.0.2.1", 7709), ("localhost", 7709)]

    def test_clear(self, client):
        client.block_server("192.0.2.1", 7709)
        client.clear_blocked_servers()
        assert client.blocked_servers() == []
        client.clear_blocked_servers()
        assert client.blocked_servers() == []

    def test_result_is_a_new_list_of_tuples(self, client):
        client.block_server("192.0.2.1", 7709)
        first = client.blocked_servers()
        first.clear()
        got = client.blocked_servers()
        assert got == [("192.0.2.1", 7709)]
        assert type(got[0]) is tuple and type(got[0][0]) is str and type(got[0][1]) is int

    def test_non_ascii_text_round_trips(self, client):
        client.block_server("服务器", 7709)
        assert client.blocked_servers() == [("服务器", 7709)]

    def test_add_server_accepts_duplicates(self, client):
        client.add_server("a", "192.0.2.1", 7709)
        client.add_server("a", "192.0.2.1", 7709)
        with pytest.raises(OverflowError):
            client.add_server("a", "192.0.2.1", 70000)

    def test_lists_change_no_connection_state(self, client):
        client.set_servers([("a", "192.0.2.1", 7709)])
        client.add_server("b", "192.0.2.2", 7709)
        client.block_server("192.0.2.2", 7709)
        assert client.is_connected() is False
        assert client.pool_stats()["total"] == 0


class TestBlockListLog:
    def test_block_logs_once(self):
        err = run_logged("""
            c = qi.TdxHqClient()
            c.block_server("192.0.2.1", 7709)
            c.block_server("192.0.2.1", 7709)
        """)
        assert err.count("[I] hq  server 192.0.2.1:7709 added to blacklist\n") == 1

    def test_unblock_logs_even_without_a_match(self):
        err = run_logged("""
            qi.TdxHqClient().unblock_server("192.0.2.9", 1)
        """)
        assert "[I] hq  server 192.0.2.9:1 removed from blacklist\n" in err

    def test_clear_logs_even_when_empty(self):
        err = run_logged("""
            qi.TdxHqClient().clear_blocked_servers()
        """)
        assert "[I] hq  server blacklist cleared\n" in err

    def test_add_server_logs_nothing(self):
        err = run_logged("""
            qi.TdxHqClient().add_server("a", "192.0.2.1", 7709)
        """)
        assert err == ""
