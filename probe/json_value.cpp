#include "probe/json_value.h"

#include <cstdio>
#include <utility>

namespace {

constexpr int INDENT_SPACES = 2;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char ASCII_LIMIT = 0x80;
constexpr int ESCAPE_SIZE = 8;

// UTF-8: a lead byte tells the sequence's length by its high bits; each continuation byte carries
// six bits under the mark 10xxxxxx.
struct Utf8Lead {
    unsigned char mask, pattern;  // the lead byte's marking bits and their value
    size_t length;
    uint32_t lowest;  // the least code point this length may carry (shorter forms are overlong)
};
constexpr Utf8Lead UTF8_LEADS[] = {{0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};
constexpr unsigned char CONTINUATION_MASK = 0xC0, CONTINUATION_MARK = 0x80;
constexpr unsigned CONTINUATION_BITS = 6;
constexpr uint32_t SURROGATE_FIRST = 0xD800, SURROGATE_LAST = 0xDFFF, LAST_CODE_POINT = 0x10FFFF;

// The length of the well-formed UTF-8 sequence at `i`, or 0 when the byte there starts none.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < ASCII_LIMIT)
        return 1;
    for (const Utf8Lead& form : UTF8_LEADS) {
        if ((lead & form.mask) != form.pattern)
            continue;
        if (i + form.length > s.size())
            return 0;
        uint32_t code = lead & static_cast<unsigned char>(~form.mask);
        for (size_t k = 1; k < form.length; ++k) {
            if ((byte(i + k) & CONTINUATION_MASK) != CONTINUATION_MARK)
                return 0;
            code = (code << CONTINUATION_BITS) | (byte(i + k) & static_cast<unsigned char>(~CONTINUATION_MASK));
        }
        // Overlong forms, surrogates and values past Unicode's end are not text.
        if (code < form.lowest || (code >= SURROGATE_FIRST && code <= SURROGATE_LAST) || code > LAST_CODE_POINT)
            return 0;
        return form.length;
    }
    return 0;
}

void PrintString(const std::string& s, std::string& out) {
    out += '"';
    char escape[ESCAPE_SIZE];
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < FIRST_PRINTABLE) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else if (size_t n = Utf8SequenceLength(s, i); n > 0) {
            out.append(s, i, n);
            i += n;
        } else {
            // A byte of another code page (a path in the ANSI code page, say): the output must
            // stay valid JSON, so it becomes the character of the same number.
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        }
    }
    out += '"';
}

void Print(const JsonValue& v, int depth, std::string& out) {
    const std::string inner(static_cast<size_t>((depth + 1) * INDENT_SPACES), ' ');
    const std::string outer(static_cast<size_t>(depth * INDENT_SPACES), ' ');
    switch (v.kind) {
        case JsonValue::Kind::Null:
            out += "null";
            return;
        case JsonValue::Kind::Bool:
            out += v.flag ? "true" : "false";
            return;
        case JsonValue::Kind::Number:
            out += std::to_string(v.number);
            return;
        case JsonValue::Kind::String:
            PrintString(v.text, out);
            return;
        case JsonValue::Kind::Array:
            if (v.items.empty()) {
                out += "[]";
                return;
            }
            out += "[\n";
            for (size_t i = 0; i < v.items.size(); ++i) {
                out += inner;
                Print(v.items[i], depth + 1, out);
                out += i + 1 < v.items.size() ? ",\n" : "\n";
            }
            out += outer + "]";
            return;
        case JsonValue::Kind::Object:
            if (v.members.empty()) {
                out += "{}";
                return;
            }
            out += "{\n";
            for (size_t i = 0; i < v.members.size(); ++i) {
                out += inner;
                PrintString(v.members[i].name, out);
                out += ": ";
                Print(v.members[i].value, depth + 1, out);
                out += i + 1 < v.members.size() ? ",\n" : "\n";
            }
            out += outer + "}";
            return;
    }
}

}  // namespace

JsonValue JsonBool(bool value) {
    JsonValue v;
    v.kind = JsonValue::Kind::Bool;
    v.flag = value;
    return v;
}

JsonValue JsonNumber(int64_t value) {
    JsonValue v;
    v.kind = JsonValue::Kind::Number;
    v.number = value;
    return v;
}

JsonValue JsonString(std::string value) {
    JsonValue v;
    v.kind = JsonValue::Kind::String;
    v.text = std::move(value);
    return v;
}

JsonValue JsonArray() {
    JsonValue v;
    v.kind = JsonValue::Kind::Array;
    return v;
}

JsonValue JsonObject() {
    JsonValue v;
    v.kind = JsonValue::Kind::Object;
    return v;
}

void Add(JsonValue& object, const std::string& name, JsonValue value) {
    object.members.push_back({name, std::move(value)});
}

void Append(JsonValue& array, JsonValue value) {
    array.items.push_back(std::move(value));
}

JsonValue* Member(JsonValue& object, const std::string& name) {
    for (auto& [key, value] : object.members)
        if (key == name)
            return &value;
    return nullptr;
}

std::string JsonText(const JsonValue& value) {
    std::string out;
    Print(value, 0, out);
    out += '\n';
    return out;
}

std::string HexNumber(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

bool IsUtf8(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = Utf8SequenceLength(bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}
