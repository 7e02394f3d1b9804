"""Finance and XDXR methods of TdxHqClient against the mock."""

import sys

import pytest
from hq_fixtures import client, data_requests, mock, requests_of  # noqa: F401


FIGURES = ["zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu", "zhigonggu", "zongzichan",
           "liudongzichan", "gudingzichan", "wuxingzichan", "gudongrenshu", "liudongfuzhai", "changqifuzhai",
           "zibengongjijin", "jingzichan", "zhuyingshouru", "zhuyinglirun", "yingshouzhangkuan", "yingyelirun",
           "touzishouyu", "jingyingxianjinliu", "zongxianjinliu", "cunhuo", "lirunzonghe", "shuihoulirun",
           "jinglirun", "weifenpeilirun", "meigujingzichan"]
FINANCE_KEYS = ["market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date"] + FIGURES
FINANCE_COLUMNS = ["code", "market", "zongguben", "liutongguben", "jingzichan", "jinglirun", "zhuyingshouru",
                   "yingyelirun", "meigujingzichan", "province", "industry"]
XDXR_VALUES = ["fenhong", "peigujia", "songzhuangu", "peigu", "suogu", "panqianliutong", "panhouliutong",
               "qianzongguben", "houzongguben", "fenshu", "xingquanjia"]
XDXR_KEYS = ["year", "month", "day", "category", "name"] + XDXR_VALUES


def expected_finance(market, code):
    """The mock's finance record (README): m = code mod 1000; figure j = 1000 (j + 1) + m."""
    m = int(code) % 1000
    f = {"market": market, "code": code, "liutongguben": 1000000.0 + m, "province": m % 32, "industry": m % 100,
         "updated_date": 20240630, "ipo_date": 19991110}
    for j, name in enumerate(FIGURES):
        f[name] = 1000.0 * (j + 1) + m
    return f


def test_finance_info(client, mock):
    info = client.get_finance_info(1, "600519")
    assert info == expected_finance(1, "600519")
    assert list(info) == FINANCE_KEYS
    assert [type(info[k]) for k in ("market", "code", "liutongguben", "province", "updated_date")] == \
        [int, str, float, int, int]
    (req,) = requests_of(mock, "finance")
    assert (req["market"], req["code"]) == (1, "600519")


def test_finance_dataframe_one_row_per_pair(client, mock):
    pairs = [(1, "600519"), (0, "000002"), (1, "600519")]
    frame = client.get_finance_info_dataframe(pairs)
    assert list(frame.columns) == FINANCE_COLUMNS
    assert len(frame) == 3
    for row, (market, code) in zip(frame.to_dict("records"), pairs, strict=True):
        expected = expected_finance(market, code)
        assert row == {c: expected[c] for c in FINANCE_COLUMNS}
    assert [(r["market"], r["code"]) for r in requests_of(mock, "finance")] == [(1, "600519"), (0, "000002"),
                                                                              (1, "600519")]


def test_finance_dataframe_stops_at_the_first_failure(client, mock):
    client.set_auto_retry(False)
    mock.set_fault("close", cmd="finance", nth=2)
    with pytest.raises(ConnectionError):
        client.get_finance_info_dataframe([(1, "600519"), (0, "000002"), (1, "600000")])
    assert [r["code"] for r in requests_of(mock, "finance")] == ["600519", "000002"]


def test_finance_short_reply_is_coded_2103(client, mock):
    mock.set_fault("cut_body", cmd="finance", keep=144, nth=1)
    with pytest.raises(ValueError, match=r"^\[E2103\].*body too short for finance info"):
        client.get_finance_info(1, "600519")


def test_finance_dataframe_without_pandas(client, mock, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        client.get_finance_info_dataframe([(1, "600519")])
    assert len(requests_of(mock, "finance")) == 1


@pytest.mark.parametrize("arg, exc", [
    ("600519", TypeError), ([(1, "600519", 0)], ValueError), ([(300, "600519")], OverflowError),
    ([[1, "600519"]], TypeError),
])
def test_finance_dataframe_bad_pairs_and_no_pairs_send_nothing(client, mock, arg, exc):
    with pytest.raises(exc):
        client.get_finance_info_dataframe(arg)
    frame = client.get_finance_info_dataframe([])
    assert list(frame.columns) == FINANCE_COLUMNS and len(frame) == 0
    assert data_requests(mock) == []


def test_xdxr_events_with_none_for_absent_values(client, mock):
    events = client.get_xdxr_info(0, "000001")
    assert [e["year"] * 10000 + e["month"] * 100 + e["day"] for e in events] == \
        [20240510, 20240603, 20240604, 20240617, 20240617, 20240620, 20240621, 20240624, 20240625]
    assert [e["category"] for e in events] == [1, 1, 2, 1, 1, 11, 13, 1, 20]
    assert [e["name"] for e in events] == ["除权除息", "除权除息", "送配股上市", "除权除息", "除权除息", "扩缩股",
                                           "送认购权证", "除权除息", "未知"]
    for e in events:
        assert list(e) == XDXR_KEYS
    ex_rights = {k: events[1][k] for k in XDXR_VALUES}
    assert ex_rights == {"fenhong": 5.0, "peigujia": 0.0, "songzhuangu": 0.0, "peigu": 0.0, "suogu": None,
                         "panqianliutong": None, "panhouliutong": None, "qianzongguben": None,
                         "houzongguben": None, "fenshu": None, "xingquanjia": None}
    shares = {k: events[2][k] for k in XDXR_VALUES}
    assert shares == {"fenhong": None, "peigujia": None, "songzhuangu": None, "peigu": None, "suogu": None,
                      "panqianliutong": 1000000.0, "qianzongguben": 2000000.0, "panhouliutong": 1100000.0,
                      "houzongguben": 2100000.0, "fenshu": None, "xingquanjia": None}
    assert events[5]["suogu"] == 0.5 and events[5]["fenhong"] is None
    assert (events[6]["xingquanjia"], events[6]["fenshu"], events[6]["peigu"]) == (4.5, 10.0, None)
    (req,) = requests_of(mock, "xdxr")
    assert (req["market"], req["code"]) == (0, "000001")


def test_argument_errors(client, mock):
    with pytest.raises(TypeError):
        client.get_finance_info(1)
    with pytest.raises(OverflowError):
        client.get_xdxr_info(256, "600519")
    with pytest.raises(TypeError):
        client.get_xdxr_info(1, b"600519")
    assert data_requests(mock) == []
    assert client.get_xdxr_info(1, "600519") == []  # a security without events
