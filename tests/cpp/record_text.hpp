// Record fields joined as text, so that one expectation compares a whole record or list. Doubles print
// with 15 significant digits: exact for the decimal values the tests use, blind to last-bit noise.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>

namespace testutil {

inline std::string field_text(const std::string& s) { return s; }
template <class T>
std::string field_text(const T& v) {
    if constexpr (std::is_integral_v<T>) return std::to_string(v);
    else if constexpr (std::is_same_v<T, std::optional<double>>) return v ? field_text(*v) : "-";
    else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.15g", double(v));
        return buf;
    }
}

template <class... T>
std::string fields(const T&... v) {
    std::string s;
    ((s += " " + field_text(v)), ...);
    return s.substr(1);
}

// Every record of a list as `text` gives it, records separated by " | ".
template <class List, class Text>
std::string records(const List& list, Text text) {
    std::string s;
    for (const auto& r : list) s += (&r == &*std::begin(list) ? "" : " | ") + text(r);
    return s;
}

}  // namespace testutil
