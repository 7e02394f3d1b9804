// Byte vectors written as hexadecimal text in tests: "0c 01 08" -> {0x0c, 0x01, 0x08}, and "00*12"
// for a byte that occurs twelve times in a row.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quotix::testing {

inline std::vector<uint8_t> hex(std::string_view text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '*' && !out.empty()) {
            size_t n = 0;
            while (i + 1 < text.size() && std::isdigit(uint8_t(text[i + 1]))) n = n * 10 + (text[++i] - '0');
            if (n > 0) out.insert(out.end(), n - 1, out.back());
        } else if (std::isxdigit(uint8_t(text[i])) && i + 1 < text.size()) {
            out.push_back(uint8_t(std::stoi(std::string(text.substr(i++, 2)), nullptr, 16)));
        }
    }
    return out;
}

}  // namespace quotix::testing
