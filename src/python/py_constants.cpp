// The module constants: plain int and str attributes, not listed in __all__.
#include "core/constants.hpp"
#include "core/error_codes.hpp"
#include "python/py_classes.hpp"

namespace quotix::py {
namespace {

bool set_int(PyObject* module, const char* name, long long value) {
    Ref v(PyLong_FromLongLong(value));
    return v && PyObject_SetAttrString(module, name, v.get()) == 0;
}

bool set_str(PyObject* module, const char* name, const char* value) {
    Ref v(PyUnicode_FromString(value));
    return v && PyObject_SetAttrString(module, name, v.get()) == 0;
}

struct IntConstant {
    const char* name;
    long long value;
};

}  // namespace

bool register_constants(PyObject* module) {
    static const IntConstant kNumbers[] = {
        {"MARKET_SZ", MARKET_SZ},
        {"MARKET_SH", MARKET_SH},
        {"MARKET_BJ", MARKET_BJ},
        {"KLINE_5MIN", KLINE_5MIN},
        {"KLINE_15MIN", KLINE_15MIN},
        {"KLINE_30MIN", KLINE_30MIN},
        {"KLINE_1HOUR", KLINE_1HOUR},
        {"KLINE_DAILY", KLINE_DAILY},
        {"KLINE_WEEKLY", KLINE_WEEKLY},
        {"KLINE_MONTHLY", KLINE_MONTHLY},
        {"KLINE_EXHQ_1MIN", KLINE_EXHQ_1MIN},
        {"KLINE_1MIN", KLINE_1MIN},
        {"KLINE_RI_K", KLINE_RI_K},
        {"KLINE_3MONTH", KLINE_3MONTH},
        {"KLINE_YEARLY", KLINE_YEARLY},
        {"FQ_NONE", FQ_NONE},
        {"FQ_QFQ", FQ_QFQ},
        {"FQ_HFQ", FQ_HFQ},
        {"MAX_KLINE_COUNT", MAX_KLINE_COUNT},
        {"MAX_TRANSACTION_COUNT", MAX_TRANSACTION_COUNT},
        {"DEFAULT_PORT", DEFAULT_PORT},
        {"DEFAULT_POOL_SIZE", DEFAULT_POOL_SIZE},
        {"FQ_PRICE_PRECISION", FQ_PRICE_PRECISION},
        // Shorter names for the same two values.
        {"PORT", DEFAULT_PORT},
        {"POOL_SIZE", DEFAULT_POOL_SIZE},
    };
    for (const IntConstant& c : kNumbers)
        if (!set_int(module, c.name, c.value)) return false;

    if (!set_str(module, "BLOCK_SZ", BLOCK_SZ) || !set_str(module, "BLOCK_FG", BLOCK_FG) ||
        !set_str(module, "BLOCK_GN", BLOCK_GN) || !set_str(module, "BLOCK_DEFAULT", BLOCK_DEFAULT))
        return false;

    // Every code of the error table that has a Python name (the response-decoding codes have none).
    size_t n = 0;
    const ErrorCodeConstant* codes = exported_error_codes(n);
    for (size_t i = 0; i < n; ++i)
        if (!set_int(module, codes[i].python_name, codes[i].code)) return false;
    return true;
}

}  // namespace quotix::py
