// Record fields joined as text, so that one expectation compares a whole record. Doubles print with
// 15 significant digits: exact for the decimal values the tests use, blind to last-bit noise.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>

namespace testutil {

inline std::string field_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}
inline std::string field_text(const std::string& s) { return s; }
inline std::string field_text(const std::optional<double>& v) { return v ? field_text(*v) : "-"; }
template <class T>
    requires std::is_integral_v<T>
std::string field_text(T v) {
    return std::to_string(v);
}

template <class... T>
std::string fields(const T&... v) {
    std::string s;
    ((s += " " + field_text(v)), ...);
    return s.substr(1);
}

}  // namespace testutil
