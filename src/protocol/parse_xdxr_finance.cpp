#include <algorithm>
#include <cstdio>

#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"

namespace quotix {

namespace {

const char* xdxr_category_name(uint8_t category) {
    static const char* const names[] = {
        "未知",         "除权除息",   "送配股上市", "非流通股上市", "未知股本变动",
        "股本变化",     "增发新股",   "股份回购",   "增发新股上市", "转配股上市",
        "可转债上市",   "扩缩股",     "非流通股缩股", "送认购权证", "送认沽权证",
    };
    return category < std::size(names) ? names[category] : "未知";
}

double f32_at(const uint8_t* p) { return static_cast<double>(read_f32_le(p)); }

}  // namespace

Result<std::vector<XdXrInfo>> parse_xdxr_info(Body body) {
    if (body.size() < 11) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data() + 9);
    const size_t events = std::min<size_t>(count, (body.size() - 11) / 29);
    std::vector<XdXrInfo> out;
    out.reserve(events);
    for (size_t i = 0; i < events; ++i) {
        const uint8_t* p = body.data() + 11 + 29 * i;
        XdXrInfo x;
        const PlainDate d = decode_plain_date(read_u32_le(p + 8));
        x.year = d.year;
        x.month = d.month;
        x.day = d.day;
        const uint8_t category = p[12];
        x.category = category;
        x.name = xdxr_category_name(category);
        const uint8_t* data = p + 13;
        switch (category) {
            case 1:
                x.fenhong = f32_at(data);
                x.peigujia = f32_at(data + 4);
                x.songzhuangu = f32_at(data + 8);
                x.peigu = f32_at(data + 12);
                break;
            case 11:
            case 12:
                x.suogu = f32_at(data + 8);
                break;
            case 13:
            case 14:
                x.xingquanjia = f32_at(data);
                x.fenshu = f32_at(data + 8);
                break;
            default:
                x.panqianliutong = decode_volume_float(data);
                x.qianzongguben = decode_volume_float(data + 4);
                x.panhouliutong = decode_volume_float(data + 8);
                x.houzongguben = decode_volume_float(data + 12);
                break;
        }
        out.push_back(std::move(x));
    }
    return out;
}

Result<FinanceInfo> parse_finance_info(Body body, uint8_t market, std::string_view code) {
    if (body.size() < 145) return detail::body_too_short("body too short for finance info");
    const uint8_t* p = body.data();
    FinanceInfo f;
    f.market = market;
    f.code = std::string(code);
    f.liutongguben = f32_at(p + 9);
    f.province = read_u16_le(p + 13);
    f.industry = read_u16_le(p + 15);
    f.updated_date = read_u32_le(p + 17);
    f.ipo_date = read_u32_le(p + 21);
    double* run[] = {
        &f.zongguben,      &f.guojiagu,        &f.faqirenfarengu,     &f.farengu,        &f.bgu,
        &f.hgu,            &f.zhigonggu,       &f.zongzichan,         &f.liudongzichan,  &f.gudingzichan,
        &f.wuxingzichan,   &f.gudongrenshu,    &f.liudongfuzhai,      &f.changqifuzhai,  &f.zibengongjijin,
        &f.jingzichan,     &f.zhuyingshouru,   &f.zhuyinglirun,       &f.yingshouzhangkuan, &f.yingyelirun,
        &f.touzishouyu,    &f.jingyingxianjinliu, &f.zongxianjinliu,  &f.cunhuo,         &f.lirunzonghe,
        &f.shuihoulirun,   &f.jinglirun,       &f.weifenpeilirun,     &f.meigujingzichan,
    };
    // 29 values from offset 25; the thirtieth (offset 141) is not kept.
    for (size_t i = 0; i < std::size(run); ++i) *run[i] = f32_at(p + 25 + 4 * i);
    return f;
}

Result<BlockInfoMeta> parse_block_info_meta(Body body) {
    if (body.size() < 38) return detail::body_too_short("body too short for block meta");
    BlockInfoMeta meta;
    meta.size = read_u32_le(body.data());
    static const char digits[] = "0123456789abcdef";
    meta.hash_value.reserve(64);
    for (size_t i = 5; i < 37; ++i) {
        meta.hash_value.push_back(digits[body[i] >> 4]);
        meta.hash_value.push_back(digits[body[i] & 0x0F]);
    }
    return meta;
}

}  // namespace quotix
