#include "protocol/coefficient.hpp"

namespace quotix {

namespace {
bool starts_with_any(std::string_view code, std::initializer_list<std::string_view> prefixes) {
    for (auto p : prefixes)
        if (code.starts_with(p)) return true;
    return false;
}
}  // namespace

double get_security_coefficient(uint8_t market, std::string_view code) {
    if (market == 0) {
        if (code.size() < 2) return 0.01;
        if (starts_with_any(code, {"39", "00", "30"})) return 0.01;
        if (starts_with_any(code, {"20", "15", "16"})) return 0.001;
        if (starts_with_any(code, {"10", "12", "13"})) return 0.0001;
        return 0.01;
    }
    if (market == 1) {
        if (code.size() < 2) return 0.01;
        if (starts_with_any(code, {"60", "68"})) return 0.01;
        if (code.starts_with("90")) return 0.001;
        // 519xxx funds quote in a finer unit than the 51xxxx ETFs, so this must precede "51".
        if (code.starts_with("519")) return 0.00001;
        if (starts_with_any(code, {"50", "51", "58"})) return 0.001;
        if (starts_with_any(code, {"11", "13"})) return 0.0001;
        return 0.01;
    }
    return 0.01;
}

}  // namespace quotix
