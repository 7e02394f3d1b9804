"""Running out of memory inside the Python layer. A child interpreter makes each call of CALLS
again and again with its n-th interpreter allocation failing, for n = 0, 1, 2, ... until 20 attempts
in a row have raised no MemoryError. Every attempt must give the call's normal outcome (the same
value, or the same exception with the same text) or MemoryError: no crash, no SystemError, no other
value. The first start-up of the module is swept the same way, and the interpreter must then still
exit cleanly. pandas is a stand-in whose DataFrame is dict, so only this layer is swept."""

import json
import socket
import subprocess
import sys
import tempfile

import pytest
from encoders import block_file, minute_time_body

pytest.importorskip("_testcapi")  # the interpreter's allocation hooks

CHILD = r'''
import _imp, gc, itertools, json, os, struct, sys, types, _testcapi
from functools import partial
from importlib import util

def failing(n, call):
    """The outcome of call() with its n-th allocation failing."""
    gc.collect()  # empties the free lists, so that every float, tuple, list or dict is allocated
    _testcapi.set_nomemory(n, n + 1)
    try:
        return "=", call()
    except BaseException as e:
        return type(e), e
    finally:
        _testcapi.remove_mem_hooks()

def sweep(call):
    seen, calm = [], 0
    for n in itertools.count():
        kind, value = failing(n, call)
        calm = 0 if kind is MemoryError else calm + 1
        # A new object of one of the module's classes stands for its class.
        seen.append((kind, str(value) if kind != "=" else
                     type(value) if type(value).__module__ == "quotix._internal" else value))
        if calm == 20:
            return seen

gc.disable()  # a collection would shift the allocations of one attempt against the next
# Start-up, each attempt on a fresh module object made from the extension file: first while the
# classes are being made (an attempt keeps those it made), then once they all exist.
where = util.find_spec("quotix").submodule_search_locations  # found, not imported
extension = util.spec_from_file_location("quotix._internal", next(
    os.path.join(d, f) for d in where for f in os.listdir(d) if f.startswith("_internal.")))
def start_up():
    return _imp.exec_dynamic(_imp.create_dynamic(extension))
for _ in range(2):
    outcomes = {o[0] for o in sweep(start_up)}
    assert outcomes == {"=", MemoryError}, outcomes
sys.modules["pandas"] = pandas = types.ModuleType("pandas")
pandas.DataFrame = dict
import quotix._internal as q

a = json.loads(sys.argv[1])
ac, bad, dead = (q.AsyncTdxHqClient.with_pool_size(1) for _ in range(3))
hq = q.TdxHqClient()
for client, port in ((ac, a["port"]), (bad, a["bad_port"]), (hq, a["port"])):
    client.connect("127.0.0.1", port, 2.0)
    client.set_rate_limit(0)
hq.set_rate_limit_daily(0)
day = struct.pack("<IIIIIfII", 20240315, 1234, 1250, 1200, 1240, 640.5, 500, 0) * 3
minute = struct.pack("<HHIIIIfII", 10555, 575, 1234, 1250, 1200, 1240, 640.5, 500, 0) * 3
lc = struct.pack("<HH4ffII", 10555, 575, 12.5, 13, 12, 12.75, 640.5, 500, 0) * 3
block, gpcw = bytes.fromhex(a["block"]), struct.pack("<2xIH4xI4x", 20231231, 1, 8) + b"600000\0" + \
    struct.pack("<I2f", 31, 0.5, 2.5)
pairs = [(0, "000001"), (1, "600000")]
three = type("Three", (), {"__index__": lambda s: 3})()

class AtExit:
    """Reads while the interpreter finalises, on the thread that holds its lock."""
    def __del__(self, reader=q.DailyBarReader(), write=os.write):
        write(1, b"finalised %d\n" % len(reader.parse_data(day)))

at_exit = AtExit()
gc.freeze()  # what exists now is never collected, so that each collection above is quick
for line in CALLS.strip().splitlines():
    seen = sweep(eval("partial(" + line + ")"))
    wrong = [o for o in seen if o[0] is not MemoryError and o != seen[-1]]
    if seen[-1][0] is SystemError or wrong:
        print(line, seen[-1], wrong[:2])
gc.unfreeze()  # a frozen object is never destroyed, at_exit included
'''

# One call a line: the callable, then its arguments. ac and hq are connected to the mock, bad to a
# port of it that answers finance requests with one byte and minute data with two points, dead to
# nothing.
CALLS = r"""
q.DailyBarReader, coefficient=2
q.DailyBarReader, coef=1
q.DailyBarReader(0.01).parse_data, day
q.DailyBarReader(0.001).parse_data_tuples, bytearray(day)
q.DailyBarReader().to_dataframe, list(day[:64])
q.DailyBarReader().parse_data, day[:33]
q.DailyBarReader().parse_data, dat=day
q.DailyBarReader().parse_file, "\0"
q.MinBarReader().parse_data, minute
q.MinBarReader().parse_data_tuples, minute
q.MinBarReader().to_dataframe, minute
q.LcMinBarReader().parse_data, lc
q.LcMinBarReader().to_dataframe, lc
q.BlockReader().parse_data, block
q.BlockReader().parse_data_group, block
q.FinancialReader().parse_data, gpcw
q.FinancialReader().parse_data, [0, 1, -1]
q.TdxHqClient
q.AsyncTdxHqClient.with_pool_size, 1
ac.get_security_bars, 4, 0, "000001", 0, 3
ac.get_security_bars_all, 4, 0, "000001", 3, 0
ac.get_security_bars_tuples, 0, 1, "600000", 0, 3, 0
ac.get_security_bars_dataframe, 4, 1, "600000", 0, 3, 0
ac.get_index_bars, 4, 1, "000001", 0, 3
ac.get_index_bars_all, 4, 1, "000001", 3
ac.get_index_bars_tuples, 4, 1, "000001", 0, 3
ac.get_index_bars_dataframe, 4, 1, "000001", 0, 3
ac.get_security_quotes, pairs
ac.get_security_quotes_tuples, pairs
ac.get_security_quotes_dataframe, pairs
ac.get_security_count, three
ac.get_security_list, 2, 298
ac.get_transaction_data, 1, "600000", 0, 3
ac.get_history_transaction_data, 1, "600000", 0, 3, 20240628
ac.get_finance_info, 0, "000001"
ac.get_finance_info, 0, ""
ac.get_finance_info_dataframe, pairs
ac.get_xdxr_info, 0, "000001"
ac.connection_count
ac.set_phase, "x"
bad.get_minute_time_data, 0, "000001"
bad.get_history_minute_time_data, 1, "600000", 20240628
bad.get_finance_info, 0, "000001"
dead.connect, "127.0.0.1", closed_port, 1.0
ac.get_security_count, "0"
ac.get_security_quotes, [(1, 2)]
ac.get_finance_info_dataframe, 7
hq.get_security_quotes, pairs
hq.get_security_list, 2, 298
hq.get_and_parse_block_info, "block.dat"
hq.calc_fq_factors, 1, "600000"
hq.set_cache_ttl, 2 ** 64 - 1
hq.set_cache_ttl, 2 ** 64
hq.connect, "127.0.0.1", 1, "x"
hq.set_servers, "x"
"""


def test_each_failing_allocation_gives_the_outcome_or_memory_error(mock):
    mock.set_fault("body", cmd="finance", server=1, hex="01")
    mock.set_fault("body", cmd="minute", server=1, hex=minute_time_body([(1000, 100), (1003, 90)]).hex())
    with socket.socket() as s:  # a loopback port with no listener
        s.bind(("127.0.0.1", 0))
        closed = s.getsockname()[1]
    args = {"port": mock.ports[0], "bad_port": mock.ports[1],
            "block": block_file([("银行", ["600000", "600036"]), ("IDX", ["999999"], 1)]).hex()}
    code = f"CALLS = {CALLS!r}\nclosed_port = {closed}\n" + CHILD
    r = subprocess.run([sys.executable, "-c", code, json.dumps(args)], cwd=tempfile.gettempdir(),
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "finalised 3\n")


def test_a_runtime_without_threads():
    # Too little address space for the runtime's worker threads: each AsyncTdxHqClient raises the
    # module's InternalError, a BaseException that `except Exception` lets pass, with the failing
    # allocation swept as above; the interpreter lives on.
    r = subprocess.run([sys.executable, "-c", CHILD[:CHILD.index("gc.disable()")] + r'''
import resource
import quotix._internal as q
size = int(next(line for line in open("/proc/self/status") if line.startswith("VmSize")).split()[1]) << 10
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), resource.RLIM_INFINITY))
seen = sweep(q.AsyncTdxHqClient) + sweep(partial(q.AsyncTdxHqClient.with_pool_size, 2))
print({o for o in seen if o[0] is not MemoryError}, q.DailyBarReader().parse_data(b""))
'''], cwd=tempfile.gettempdir(), capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == ("{(<class 'quotix._internal.InternalError'>, 'could not create the async runtime: "
                        "IO error: cannot create the async runtime: Resource temporarily unavailable')} []\n")
