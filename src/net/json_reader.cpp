#include "net/json_reader.hpp"

namespace quotix::util {

std::string json_position(size_t line, size_t column) {
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

const JsonValue* JsonValue::find(std::string_view key) const {
    for (size_t i = 0; i < keys.size(); ++i)
        if (keys[i] == key) return &member_values[i];
    return nullptr;
}

const JsonValue* JsonValue::repeat_of(std::string_view key) const {
    bool seen = false;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] != key) continue;
        if (seen) return &member_values[i];
        seen = true;
    }
    return nullptr;
}

const char* JsonValue::type_name() const {
    switch (type) {
        case Type::Null: return "null";
        case Type::Bool: return "boolean";
        case Type::Number: return is_integer ? "integer" : "floating point number";
        case Type::String: return "string";
        case Type::Array: return "array";
        default: return "object";
    }
}

namespace {

// Nesting deeper than this is refused rather than recursed into.
constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(std::string_view s) : s_(s) {}

    JsonParseResult run() {
        JsonParseResult r;
        skip_ws();
        JsonValue v;
        if (!value(v, 0)) {
            r.error = error_;
            return r;
        }
        skip_ws();
        if (pos_ < s_.size()) {
            r.error = "trailing characters" + here();
            return r;
        }
        r.value = std::move(v);
        return r;
    }

private:
    std::string here() const { return json_position(line_, col_); }

    // The first fault ends the parse, so it is the only one recorded.
    bool fail(std::string msg) {
        error_ = std::move(msg) + here();
        return false;
    }

    void advance() {
        if (s_[pos_] == '\n') {
            ++line_;
            col_ = 1;
        } else {
            ++col_;
        }
        ++pos_;
    }

    void skip_ws() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            advance();
    }

    bool literal(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) return fail("expected value");
        for (size_t i = 0; i < word.size(); ++i) advance();
        return true;
    }

    bool value(JsonValue& v, int depth) {
        if (pos_ >= s_.size()) return fail("EOF while parsing a value");
        v.line = line_;
        v.column = col_;
        const char c = s_[pos_];
        switch (c) {
            case 'n': v.type = JsonValue::Type::Null; return literal("null");
            case 't': v.type = JsonValue::Type::Bool; return literal("true");
            case 'f': v.type = JsonValue::Type::Bool; return literal("false");
            case '"': v.type = JsonValue::Type::String; return string(v.text);
            case '[': return array(v, depth);
            case '{': return object(v, depth);
            default:
                if (c == '-' || (c >= '0' && c <= '9')) return number(v);
                return fail("expected value");
        }
    }

    bool number(JsonValue& v) {
        v.type = JsonValue::Type::Number;
        const size_t begin = pos_;
        if (s_[pos_] == '-') {
            v.negative = true;
            advance();
        }
        auto digit = [&] { return pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9'; };
        if (!digit()) return fail("invalid number");
        v.is_integer = true;
        v.integer_fits = true;
        if (s_[pos_] == '0') {
            advance();
            if (digit()) return fail("invalid number");
        } else {
            while (digit()) {
                const uint64_t d = static_cast<uint64_t>(s_[pos_] - '0');
                if (v.magnitude > (UINT64_MAX - d) / 10) v.integer_fits = false;
                else v.magnitude = v.magnitude * 10 + d;
                advance();
            }
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            v.is_integer = false;
            advance();
            if (!digit()) return fail("invalid number");
            while (digit()) advance();
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            v.is_integer = false;
            advance();
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) advance();
            if (!digit()) return fail("invalid number");
            while (digit()) advance();
        }
        v.text = std::string(s_.substr(begin, pos_ - begin));
        return true;
    }

    static void put_utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(uint32_t& out) {
        out = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos_ >= s_.size()) return fail("EOF while parsing a string");
            const char c = s_[pos_];
            uint32_t d;
            if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
            else return fail("invalid escape");
            out = out * 16 + d;
            advance();
        }
        return true;
    }

    bool string(std::string& out) {
        advance();  // opening quote
        while (true) {
            if (pos_ >= s_.size()) return fail("EOF while parsing a string");
            const char c = s_[pos_];
            if (c == '"') {
                advance();
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("control character while parsing a string");
            if (c != '\\') {
                out += c;
                advance();
                continue;
            }
            advance();
            if (pos_ >= s_.size()) return fail("EOF while parsing a string");
            const char e = s_[pos_];
            advance();
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    uint32_t cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (s_.substr(pos_, 2) != "\\u") return fail("lone leading surrogate");
                        advance();
                        advance();
                        uint32_t lo;
                        if (!hex4(lo)) return false;
                        if (lo < 0xDC00 || lo > 0xDFFF) return fail("invalid surrogate pair");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return fail("lone trailing surrogate");
                    }
                    put_utf8(out, cp);
                    break;
                }
                default: return fail("invalid escape");
            }
        }
    }

    bool array(JsonValue& v, int depth) {
        if (depth >= kMaxDepth) return fail("recursion limit exceeded");
        v.type = JsonValue::Type::Array;
        advance();
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            return close(v);
        }
        while (true) {
            JsonValue item;
            if (!value(item, depth + 1)) return false;
            v.items.push_back(std::move(item));
            skip_ws();
            if (pos_ >= s_.size()) return fail("EOF while parsing a list");
            if (s_[pos_] == ',') {
                advance();
                skip_ws();
                continue;
            }
            if (s_[pos_] == ']') {
                return close(v);
            }
            return fail("expected `,` or `]`");
        }
    }

    // Consumes the closing bracket and records where the value ends.
    bool close(JsonValue& v) {
        advance();
        v.end_line = line_;
        v.end_column = col_;
        return true;
    }

    bool object(JsonValue& v, int depth) {
        if (depth >= kMaxDepth) return fail("recursion limit exceeded");
        v.type = JsonValue::Type::Object;
        advance();
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            return close(v);
        }
        while (true) {
            if (pos_ >= s_.size()) return fail("EOF while parsing an object");
            if (s_[pos_] != '"') return fail("key must be a string");
            std::string key;
            if (!string(key)) return false;
            const size_t key_end_line = line_, key_end_column = col_;
            skip_ws();
            if (pos_ >= s_.size()) return fail("EOF while parsing an object");
            if (s_[pos_] != ':') return fail("expected `:`");
            advance();
            skip_ws();
            JsonValue item;
            if (!value(item, depth + 1)) return false;
            item.key_end_line = key_end_line;
            item.key_end_column = key_end_column;
            v.keys.push_back(std::move(key));
            v.member_values.push_back(std::move(item));
            skip_ws();
            if (pos_ >= s_.size()) return fail("EOF while parsing an object");
            if (s_[pos_] == ',') {
                advance();
                skip_ws();
                continue;
            }
            if (s_[pos_] == '}') {
                return close(v);
            }
            return fail("expected `,` or `}`");
        }
    }

    std::string_view s_;
    size_t pos_ = 0;
    size_t line_ = 1, col_ = 1;
    std::string error_;
};

}  // namespace

JsonParseResult parse_json(std::string_view text) { return Parser(text).run(); }

}  // namespace quotix::util
