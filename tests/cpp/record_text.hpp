// Record fields joined as text, so that one expectation compares a whole record or list. Doubles print
// with 15 significant digits: exact for the decimal values the tests use, blind to last-bit noise.
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>

namespace testutil {

template <class T>
std::string field_text(const T& v) {
    if constexpr (std::is_convertible_v<T, std::string>) return v;
    else if constexpr (std::is_integral_v<T>) return std::to_string(v);
    else if constexpr (requires { v.has_value(); }) return v ? field_text(*v) : "-";
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

// A parse result as text: its records, or its one record, or the error's display.
template <class R, class Text>
std::string outcome(const R& r, Text text) {
    if (!r.ok()) return r.error().display();
    if constexpr (requires { r->begin(); }) return records(*r, text);
    else return text(*r);
}

}  // namespace testutil
