// A small JSON reader and writer for the layer's own files (registry values,
// event log, status files). Not a Win32 API.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pal::json {

enum class Kind { Null, Bool, Number, String, Array, Object };

struct Member;

struct Value {
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text;  // String: the decoded UTF-8 text; Number: the literal as written
    std::vector<Value> items;                             // Array
    std::vector<Member> members;  // Object, in file order

    // Member by exact key, or null.
    const Value* Find(std::string_view key) const;
    // Number as an integer; false if not a whole number in range.
    bool AsInt64(int64_t& out) const;
    bool AsUint64(uint64_t& out) const;
};

// One key and its value (a pair of its own: std::pair would need Value
// complete where Value is still being defined).
struct Member {
    std::string first;
    Value second;
    Member() = default;
    Member(std::string key, Value value) : first(std::move(key)), second(std::move(value)) {}
};

// Parses a whole document (surrounding white space allowed). Returns false on
// malformed input or nesting deeper than 64, with the byte offset of the fault.
bool Parse(std::string_view text, Value& out, size_t* errorOffset = nullptr);
// Appends s as a JSON string literal (quotes included; control characters,
// quote and backslash escaped; invalid UTF-8 bytes as U+FFFD).
void Quote(std::string& out, std::string_view s);
// Compact text of a value.
std::string Serialize(const Value& v);

}  // namespace pal::json
