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


class TestMockDataSet:
    def test_shanghai(self, fund, mock):
        funds = fund.get_fund_list(1)
        assert len(funds) == 103
        assert funds[0] == {"market": 1, "code": "510050", "name": "50ETF", "fund_type": "ETF",
                            "fund_type_zh": "交易型开放式指数基金", "vol_unit": 100, "decimal_point": 3,
                            "pre_close": 2.5}
        assert list(funds[0]) == KEYS
        assert codes(funds[:3]) == ["510050", "510300", "510500"]
        assert funds[-1]["code"] == "519674"
        assert (funds[-1]["fund_type"], funds[-1]["fund_type_zh"]) == ("OpenEnd", "开放式基金")
        # The first page already ends with 600xxx codes.
        assert mock.requests("count") == 1
        assert list_starts(mock) == [0]

    def test_shenzhen(self, fund, mock):
        funds = fund.get_fund_list(market=0)
        assert len(funds) == 101
        assert codes(funds[-2:]) == ["159915", "161725"]
        assert funds[-1]["fund_type"] == "LOF"
        assert funds[-1]["fund_type_zh"] == "上市型开放式基金"
        # 159001: filler row, name "测试" + its last four digits, pre_close 5.0 + (n mod 40) * 0.25.
        assert funds[0] == {"market": 0, "code": "159001", "name": "测试9001", "fund_type": "ETF",
                            "fund_type_zh": "交易型开放式指数基金", "vol_unit": 100, "decimal_point": 3,
                            "pre_close": 5.0 + (159001 % 40) * 0.25}
        assert list_starts(mock) == [0, 1000]

    def test_beijing_walks_its_budget_and_finds_nothing(self, fund, mock):
        assert fund.get_fund_list(2) == []
        assert list_starts(mock) == [0]

    def test_market_without_securities(self, fund, mock):
        assert fund.get_fund_list(9) == []
        assert mock.requests("count") == 1
        assert mock.requests("list") == 0


class TestBudget:
    def test_count_zero_sends_no_list_request(self, fund, mock):
        serve(mock, 0, [])
        assert fund.get_fund_list(1) == []
        assert mock.requests("list") == 0

    def test_count_1000_is_one_page(self, fund, mock):
        serve(mock, 1000, [["510001", "510002"], ["510003"]])
        assert codes(fund.get_fund_list(1)) == ["510001", "510002"]
        assert list_starts(mock) == [0]

    def test_count_1001_is_two_pages_whatever_their_length(self, fund, mock):
        serve(mock, 1001, [["510001", "510002"], ["510003"], ["510004"]])
        assert codes(fund.get_fund_list(1)) == ["510001", "510002", "510003"]
        assert list_starts(mock) == [0, 1000]

    def test_other_markets_never_stop_early(self, fund, mock):
        serve(mock, 2500, [["510001", "999999"], ["159001", "999999"], ["510002", "999999"]])
        assert fund.get_fund_list(2) == []
        assert list_starts(mock) == [0, 1000, 2000]

    def test_an_empty_page_ends_the_walk_with_what_was_found(self, fund, mock):
        serve(mock, 5000, [["510001", "510002"], []])
        assert codes(fund.get_fund_list(1)) == ["510001", "510002"]
        assert list_starts(mock) == [0, 1000]


class TestEarlyStop:
    def test_shanghai_fund_prefixed_last_code_never_stops(self, fund, mock):
        # "51a000" sorts after "519999", yet it is a fund code.
        serve(mock, 5000, [["510050", "51a000"], ["600000"]])
        assert codes(fund.get_fund_list(1)) == ["510050", "51a000"]
        assert list_starts(mock) == [0, 1000]

    def test_shanghai_needs_a_fund_before_stopping(self, fund, mock):
        serve(mock, 5000, [["600000", "600001"], ["510050", "600002"], ["510060"]])
        assert codes(fund.get_fund_list(1)) == ["510050"]
        assert list_starts(mock) == [0, 1000]

    def test_shanghai_519999_goes_on_and_52_stops(self, fund, mock):
        serve(mock, 5000, [["510050", "519999"], ["520000"], ["510060"]])
        assert codes(fund.get_fund_list(1)) == ["510050", "519999"]
        assert list_starts(mock) == [0, 1000]

    def test_shanghai_one_character_last_code(self, fund, mock):
        serve(mock, 5000, [["510050", "5"], ["501000", "600000"], ["510060"]])
        assert codes(fund.get_fund_list(1)) == ["510050", "501000"]
        assert list_starts(mock) == [0, 1000]

    def test_shenzhen_bound(self, fund, mock):
        serve(mock, 9000, [["159001", "120001"], ["160001"], ["150001", "170000"], ["159002"]])
        funds = fund.get_fund_list(0)
        assert codes(funds) == ["159001", "160001", "150001"]
        assert [f["fund_type"] for f in funds] == ["ETF", "LOF", "Other"]
        assert list_starts(mock) == [0, 1000, 2000]

    def test_only_the_last_code_of_a_page_counts(self, fund, mock):
        serve(mock, 3000, [["510050", "600000", "510060"], ["700000"], ["510070"]])
        assert codes(fund.get_fund_list(1)) == ["510050", "510060"]
        assert list_starts(mock) == [0, 1000]


class TestRows:
    def test_values_come_from_the_entry_and_market_from_the_request(self, fund, mock):
        serve(mock, 10, [[row("511010", name="国债ETF", volunit=10, decimal_point=3, pre_close=100.25),
                          row("600000"), row("508000", decimal_point=2), row("51", name="短")]])
        funds = fund.get_fund_list(1)
        assert funds[0] == {"market": 1, "code": "511010", "name": "国债ETF", "fund_type": "Bond",
                            "fund_type_zh": "债券基金", "vol_unit": 10, "decimal_point": 3,
                            "pre_close": 100.25}
        assert [(f["code"], f["fund_type"], f["fund_type_zh"], f["decimal_point"]) for f in funds[1:]] == [
            ("508000", "REITs", "不动产投资信托基金", 2), ("51", "Other", "其他", 3)]
        assert all(f["market"] == 1 for f in funds)


class TestFailures:
    def test_count_failure_sends_no_list_request(self, fund, mock):
        mock.set_fault("body", cmd="count", hex="00", times=1)
        with pytest.raises(ValueError) as e:
            fund.get_fund_list(1)
        assert str(e.value) == "[E2103] response length mismatch: body too short for count"
        assert mock.requests("list") == 0

    def test_a_failed_third_page_discards_the_earlier_funds(self, fund, mock):
        serve(mock, 5000, [["510001", "510002"], ["510003", "510004"]])
        mock.set_fault("body", cmd="list", nth=3, hex="00")
        with pytest.raises(ValueError) as e:
            fund.get_fund_list(1)
        assert str(e.value) == "[E2103] response length mismatch: body too short"
        assert list_starts(mock) == [0, 1000, 2000]

    def test_a_failed_walk_leaves_nothing_behind(self, fund, mock):
        mock.set_fault("body", cmd="list", nth=2, hex="00")
        with pytest.raises(ValueError):
            fund.get_fund_list(0)
        # The next call walks afresh (the first page may come from the client's cache).
        assert len(fund.get_fund_list(0)) == 101
        assert list_starts(mock)[-1] == 1000

    def test_fewer_entries_than_announced_is_no_error(self, fund, mock):
        # A page announcing one entry and holding none is an empty page.
        mock.set_fault("body", cmd="list", nth=1, hex="0100")
        assert fund.get_fund_list(1) == []
        assert list_starts(mock) == [0]
