// A strict JSON reader that remembers where each value starts, so a file that does not fit its
// expected shape can be reported with the line and column of the fault. Trailing text is an
// error. An object may name a key twice: whether that matters is the caller's to say, since the
// members it does not use may hold anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quotix::util {

struct JsonValue {
    // A Bool does not keep which literal it was: the cache reads no boolean member.
    enum class Type : uint8_t { Null, Bool, Number, String, Array, Object };

    Type type = Type::Null;
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
    // For a member of an object: where its key ends, just past the closing quote.
    size_t key_end_line = 1, key_end_column = 1;

    // The first member named `key`, or null.
    const JsonValue* find(std::string_view key) const;
    // The second member named `key`, or null when the key is named once at most.
    const JsonValue* repeat_of(std::string_view key) const;
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
