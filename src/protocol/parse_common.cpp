#include "protocol/parse_common.hpp"

namespace quotix::detail {

void append_padded(std::string& out, uint64_t value, size_t width) {
    char digits[20];  // 2^64 has 20 digits
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (n < width) out.append(width - n, '0');
    while (n > 0) out.push_back(digits[--n]);
}

std::string hhmm(uint64_t minutes) {
    std::string s;
    s.reserve(5);
    append_padded(s, minutes / 60, 2);
    s.push_back(':');
    append_padded(s, minutes % 60, 2);
    return s;
}

}  // namespace quotix::detail
