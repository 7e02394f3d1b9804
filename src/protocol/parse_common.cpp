#include "protocol/parse_common.hpp"

#include <cstdio>

namespace quotix::detail {

std::string hhmm(uint64_t minutes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02llu:%02llu", static_cast<unsigned long long>(minutes / 60),
                  static_cast<unsigned long long>(minutes % 60));
    return buf;
}

}  // namespace quotix::detail
