"""get_fund_list against the loopback mock: the walk over the security list, its page budget,
its early stop past the fund range, and its failures. Pages with chosen codes are served by the
mock's `body` fault, one per list request in order."""

import pytest

import encoders
from quotix._internal import TdxHqFundClient

KEYS = ["market", "code", "name", "fund_type", "fund_type_zh", "vol_unit", "decimal_point", "pre_close"]


@pytest.fixture
def mock(mock_server_module):
    return mock_server_module


@pytest.fixture
def fund(mock):
    mock.reset()
    c = TdxHqFundClient()
    c.connect(*mock.address())
    mock.reset()
    yield c
    c.disconnect()


def row(code, name="基金", volunit=100, decimal_point=3, pre_close=1.5):
    return {"code": code, "volunit": volunit, "name": name, "decimal_point": decimal_point,
            "pre_close": pre_close}


def serve(mock, count, pages):
    """The next count request answers `count`; list request k answers pages[k] (codes or rows)."""
    mock.set_fault("body", cmd="count", hex=encoders.count_body(count).hex(), times=1)
    for k, page in enumerate(pages, start=1):
        rows = [row(r) if isinstance(r, str) else r for r in page]
        mock.set_fault("body", cmd="list", nth=k, hex=encoders.security_list_body(rows).hex())


def list_starts(mock):
    return [e["args"]["start"] for e in mock.request_log(cmd="list")]


def codes(funds):
    return [f["code"] for f in funds]


def test_mock_data_set(fund, mock):
    sh = fund.get_fund_list(1)
    assert len(sh) == 103 and list(sh[0]) == KEYS
    assert sh[0] == {"market": 1, "code": "510050", "name": "50ETF", "fund_type": "ETF",
                     "fund_type_zh": "交易型开放式指数基金", "vol_unit": 100, "decimal_point": 3, "pre_close": 2.5}
    assert codes(sh[:3]) == ["510050", "510300", "510500"]
    assert (sh[-1]["code"], sh[-1]["fund_type"], sh[-1]["fund_type_zh"]) == ("519674", "OpenEnd", "开放式基金")
    assert list_starts(mock) == [0]       # the first page already ends with 600xxx codes
    mock.reset()
    sz = fund.get_fund_list(market=0)
    assert len(sz) == 101 and codes(sz[-2:]) == ["159915", "161725"]
    assert (sz[-1]["fund_type"], sz[-1]["fund_type_zh"]) == ("LOF", "上市型开放式基金")
    # 159001: filler row, name "测试" + its last four digits, pre_close 5.0 + (n mod 40) * 0.25.
    assert sz[0] == {"market": 0, "code": "159001", "name": "测试9001", "fund_type": "ETF",
                     "fund_type_zh": "交易型开放式指数基金", "vol_unit": 100, "decimal_point": 3,
                     "pre_close": 5.0 + (159001 % 40) * 0.25}
    assert list_starts(mock) == [0, 1000]
    mock.reset()
    assert fund.get_fund_list(2) == []    # walks its budget and finds nothing
    assert list_starts(mock) == [0]
    mock.reset()
    assert fund.get_fund_list(9) == []
    assert (mock.requests("count"), mock.requests("list")) == (1, 0)


# The budget and the range bounds themselves are checked in the core's own tests.
@pytest.mark.parametrize("market, count, pages, want, starts", [
    (1, 0, [], [], []),
    (1, 1001, [["510001", "510002"], ["510003"], ["510004"]], ["510001", "510002", "510003"], [0, 1000]),
    (2, 2500, [["510001", "999999"], ["159001", "999999"], ["510002", "999999"]], [], [0, 1000, 2000]),
    (1, 5000, [["510001", "510002"], []], ["510001", "510002"], [0, 1000]),   # an empty page ends the walk
    # The early stop needs a fund first, and looks at the last code of a page only.
    (1, 5000, [["600000", "600001"], ["510050", "600002"], ["510060"]], ["510050"], [0, 1000]),
    (1, 3000, [["510050", "600000", "510060"], ["700000"], ["510070"]], ["510050", "510060"], [0, 1000]),
    (0, 9000, [["159001", "120001"], ["160001"], ["150001", "170000"], ["159002"]],
     ["159001", "160001", "150001"], [0, 1000, 2000]),
])
def test_walk(fund, mock, market, count, pages, want, starts):
    serve(mock, count, pages)
    assert codes(fund.get_fund_list(market)) == want
    assert list_starts(mock) == starts


def test_values_come_from_the_entry_and_market_from_the_request(fund, mock):
    serve(mock, 10, [[row("511010", name="国债ETF", volunit=10, decimal_point=3, pre_close=100.25),
                      row("600000"), row("508000", decimal_point=2), row("51", name="短")]])
    funds = fund.get_fund_list(1)
    assert funds[0] == {"market": 1, "code": "511010", "name": "国债ETF", "fund_type": "Bond",
                        "fund_type_zh": "债券基金", "vol_unit": 10, "decimal_point": 3, "pre_close": 100.25}
    assert [(f["code"], f["fund_type"], f["fund_type_zh"], f["decimal_point"]) for f in funds[1:]] == [
        ("508000", "REITs", "不动产投资信托基金", 2), ("51", "Other", "其他", 3)]
    assert all(f["market"] == 1 for f in funds)


def test_failures(fund, mock):
    mock.set_fault("body", cmd="count", hex="00", times=1)
    with pytest.raises(ValueError) as e:
        fund.get_fund_list(1)
    assert str(e.value) == "[E2103] response length mismatch: body too short for count"
    assert mock.requests("list") == 0
    mock.reset()
    # A failed third page discards the funds found so far.
    serve(mock, 5000, [["510001", "510002"], ["510003", "510004"]])
    mock.set_fault("body", cmd="list", nth=3, hex="00")
    with pytest.raises(ValueError) as e:
        fund.get_fund_list(1)
    assert str(e.value) == "[E2103] response length mismatch: body too short"
    assert list_starts(mock) == [0, 1000, 2000]


def test_a_failed_walk_leaves_nothing_behind(fund, mock):
    mock.set_fault("body", cmd="list", nth=2, hex="00")
    with pytest.raises(ValueError):
        fund.get_fund_list(0)
    # The next call walks afresh (the first page may come from the client's cache).
    assert len(fund.get_fund_list(0)) == 101
    assert list_starts(mock)[-1] == 1000


def test_fewer_entries_than_announced_is_an_empty_page(fund, mock):
    mock.set_fault("body", cmd="list", nth=1, hex="0100")
    assert fund.get_fund_list(1) == []
    assert list_starts(mock) == [0]
