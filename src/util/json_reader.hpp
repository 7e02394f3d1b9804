// A strict JSON reader that remembers where each value starts, so a file that does not fit its
// expected shape can be reported with the line and column of the fault. Duplicate keys and
// trailing text are errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quotix::util {

struct JsonValue {
    enum class Type : uint8_t { Null, Bool, Number, String, Array, Object };

    Type type = Type::Null;
    bool boolean = false;
    // Numbers: integers without fraction or exponent keep their exact value.
    bool is_integer = false;
    bool negative = false;
    uint64_t magnitude = 0;  // |value| of an integer that fits 64 bits
    bool integer_fits = false;
    std::string text;  // string value, or the number's spelling
    std::vector<JsonValue> items;
    // Object members in document order: keys[i] names member_values[i].
    std::vector<std::string> keys;
    std::vector<JsonValue> member_values;
    // Where the value starts (1-based line, column counted in bytes from 1).
    size_t line = 1, column = 1;
    // Where an object or array ends, just past its closing bracket.
    size_t end_line = 1, end_column = 1;

    const JsonValue* find(std::string_view key) const;
    const char* type_name() const;
};

// The parsed document, or a message ending with " at line L column C".
struct JsonParseResult {
    std::optional<JsonValue> value;
    std::string error;
};

JsonParseResult parse_json(std::string_view text);

std::string json_position(size_t line, size_t column);

}  // namespace quotix::util
