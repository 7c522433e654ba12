// A JSON document built in memory and printed once: the probe's whole output. Members keep the
// order in which they were added, so a capture reads in the order of the scenario format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct JsonMember;

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool flag = false;
    int64_t number = 0;
    std::string text;  // a String's bytes: UTF-8; any other byte is printed as the code point of its value
    std::vector<JsonValue> items;
    std::vector<JsonMember> members;
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

JsonValue JsonBool(bool value);
JsonValue JsonNumber(int64_t value);
JsonValue JsonString(std::string value);
JsonValue JsonArray();
JsonValue JsonObject();

// Adds a member at the end of an object (a later one of the same name is the caller's fault).
void Add(JsonValue& object, const std::string& name, JsonValue value);
void Append(JsonValue& array, JsonValue value);
// The member of that name, or null.
JsonValue* Member(JsonValue& object, const std::string& name);

// The document as text, two spaces per level, ending in a line break.
std::string JsonText(const JsonValue& value);

// "0x" and `digits` upper-case hex digits: how the scenario format writes identifiers and masks.
std::string HexNumber(uint32_t value, int digits);
// True when the bytes are well-formed UTF-8 (ASCII included).
bool IsUtf8(const std::string& bytes);
