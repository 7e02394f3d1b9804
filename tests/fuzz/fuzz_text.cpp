#include "fuzz_check.hpp"
#include "protocol/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quotix::TextBytes bytes(data, size);
    require(valid_utf8(quotix::decode_gbk(bytes)), "gbk");
    require(valid_utf8(quotix::decode_utf8_lossy(bytes)), "utf8");
    require(valid_utf8(quotix::decode_utf16le(bytes)), "utf16le");
    require(valid_utf8(quotix::decode_utf16be(bytes)), "utf16be");
    require(valid_utf8(quotix::decode_name_text(bytes)), "name");
    const std::string code = quotix::decode_reply_code(bytes);
    require(valid_utf8(code), "code");
    require(code.empty() || code.back() != '\0', "no trailing NUL");
    // Valid UTF-8 passes through unchanged.
    const std::string once = quotix::decode_utf8_lossy(bytes);
    require(quotix::decode_utf8_lossy(quotix::TextBytes(reinterpret_cast<const uint8_t*>(once.data()), once.size())) == once, "utf8 idempotent");
    return 0;
}
