#include "shared/query_rules.hpp"

#include "core/error_codes.hpp"
#include "core/logging.hpp"

namespace quotix::net {

bool is_block_code(std::string_view code) {
    return code.size() == 6 && code[0] == '8' && code[1] == '8';
}

Status refuse_block_code(std::string_view code) {
    if (is_block_code(code))
        return TdxError::coded(codes::BLOCK_CODE_IN_GENERAL_CLIENT, "code=" + std::string(code));
    return ok_status();
}

Status check_start(uint32_t start) {
    if (start > 0xFFFF)
        return TdxError::coded(codes::ARGUMENT_OUT_OF_RANGE, "start=" + std::to_string(start));
    return ok_status();
}

std::vector<std::pair<uint8_t, std::string>> limit_quote_batch(
    std::span<const std::pair<uint8_t, std::string>> stocks, const char* tag) {
    if (stocks.size() > MAX_QUOTE_BATCH) {
        QTX_LOG('W', tag,
                "批量行情查询超过上限 " << stocks.size() << "/" << MAX_QUOTE_BATCH
                                        << "，自动截断。请自行分组调用。");
        stocks = stocks.first(MAX_QUOTE_BATCH);
    }
    return {stocks.begin(), stocks.end()};
}

}  // namespace quotix::net
