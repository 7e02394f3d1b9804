// Quoting of texts for debug forms of values.
#pragma once

#include <string>
#include <string_view>

namespace quotix::util {

// The text in double quotes, with quotes, backslashes and control characters escaped.
std::string debug_quote(std::string_view s);

}  // namespace quotix::util
