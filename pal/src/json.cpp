// A strict JSON reader and a compact writer (RFC 8259). Numbers keep their
// literal text so that 64-bit integers survive exactly; strings are UTF-8.
#include "pal/json.h"

#include <cstring>

namespace pal::json {
namespace {

constexpr int kMaxDepth = 64;

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF are invalid).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = at(i);
    if (c < 0x80) return 1;
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1Fu; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0Fu; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07u; }
    else return 0;
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (at(i + k) & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return len;
}

void AppendUtf8(std::string& out, uint32_t cp) {
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

// Length of the number literal at s[i] per the grammar, or 0.
size_t NumberLength(std::string_view s, size_t i) {
    size_t p = i;
    auto digit = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
    if (p < s.size() && s[p] == '-') ++p;
    if (!digit(p)) return 0;
    if (s[p] == '0') {
        ++p;
    } else {
        while (digit(p)) ++p;
    }
    if (p < s.size() && s[p] == '.') {
        ++p;
        if (!digit(p)) return 0;
        while (digit(p)) ++p;
    }
    if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
        ++p;
        if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
        if (!digit(p)) return 0;
        while (digit(p)) ++p;
    }
    return p - i;
}

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    bool Document(Value& out) {
        SkipSpace();
        if (!ParseValue(out, 0)) return false;
        SkipSpace();
        if (pos_ != s_.size()) return Fail();
        return true;
    }
    size_t ErrorOffset() const { return error_; }

private:
    bool Fail() {
        error_ = pos_;
        return false;
    }
    void SkipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool Literal(const char* word) {
        size_t n = strlen(word);
        if (s_.substr(pos_, n) != word) return Fail();
        pos_ += n;
        return true;
    }

    bool ParseValue(Value& out, int depth) {
        if (pos_ >= s_.size()) return Fail();
        switch (s_[pos_]) {
        case '{': return ParseObject(out, depth + 1);
        case '[': return ParseArray(out, depth + 1);
        case '"': out.kind = Kind::String; return ParseString(out.text);
        case 't': out.kind = Kind::Bool; out.boolean = true; return Literal("true");
        case 'f': out.kind = Kind::Bool; out.boolean = false; return Literal("false");
        case 'n': out.kind = Kind::Null; return Literal("null");
        default: {
            size_t n = NumberLength(s_, pos_);
            if (n == 0) return Fail();
            out.kind = Kind::Number;
            out.text.assign(s_.substr(pos_, n));
            pos_ += n;
            return true;
        }
        }
    }

    bool ParseArray(Value& out, int depth) {
        if (depth > kMaxDepth) return Fail();
        out.kind = Kind::Array;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            out.items.emplace_back();
            if (!ParseValue(out.items.back(), depth)) return false;
            SkipSpace();
            if (pos_ >= s_.size()) return Fail();
            if (s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            if (s_[pos_] != ',') return Fail();
            ++pos_;
        }
    }

    bool ParseObject(Value& out, int depth) {
        if (depth > kMaxDepth) return Fail();
        out.kind = Kind::Object;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') return Fail();
            out.members.emplace_back();
            if (!ParseString(out.members.back().first)) return false;
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') return Fail();
            ++pos_;
            SkipSpace();
            if (!ParseValue(out.members.back().second, depth)) return false;
            SkipSpace();
            if (pos_ >= s_.size()) return Fail();
            if (s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            if (s_[pos_] != ',') return Fail();
            ++pos_;
        }
    }

    bool Hex4(uint32_t& v) {
        if (pos_ + 4 > s_.size()) return Fail();
        v = 0;
        for (int k = 0; k < 4; ++k) {
            char c = s_[pos_];
            uint32_t d;
            if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
            else return Fail();
            v = (v << 4) | d;
            ++pos_;
        }
        return true;
    }

    bool Escape(std::string& out) {
        ++pos_;  // the backslash
        if (pos_ >= s_.size()) return Fail();
        char c = s_[pos_];
        switch (c) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            size_t start = pos_ - 1;
            ++pos_;
            uint32_t cp;
            if (!Hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) {
                pos_ = start;  // a low surrogate with no high one before it
                return Fail();
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                uint32_t low;
                if (pos_ + 1 >= s_.size() || s_[pos_] != '\\' || s_[pos_ + 1] != 'u') {
                    pos_ = start;
                    return Fail();
                }
                pos_ += 2;
                if (!Hex4(low)) return false;
                if (low < 0xDC00 || low > 0xDFFF) {
                    pos_ = start;
                    return Fail();
                }
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(out, cp);
            return true;
        }
        default: return Fail();
        }
        ++pos_;
        return true;
    }

    bool ParseString(std::string& out) {
        ++pos_;  // opening quote
        out.clear();
        for (;;) {
            if (pos_ >= s_.size()) return Fail();
            unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c == '\\') {
                if (!Escape(out)) return false;
                continue;
            }
            if (c < 0x20) return Fail();
            size_t n = Utf8SequenceLength(s_, pos_);
            if (n == 0) return Fail();
            out.append(s_.substr(pos_, n));
            pos_ += n;
        }
    }

    std::string_view s_;
    size_t pos_ = 0;
    size_t error_ = 0;
};

void SerializeTo(std::string& out, const Value& v) {
    switch (v.kind) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += v.boolean ? "true" : "false"; break;
    case Kind::Number:
        // Text that is not a number literal would make the output unreadable.
        if (!v.text.empty() && NumberLength(v.text, 0) == v.text.size()) out += v.text;
        else out += "null";
        break;
    case Kind::String: Quote(out, v.text); break;
    case Kind::Array:
        out += '[';
        for (size_t i = 0; i < v.items.size(); ++i) {
            if (i != 0) out += ',';
            SerializeTo(out, v.items[i]);
        }
        out += ']';
        break;
    case Kind::Object:
        out += '{';
        for (size_t i = 0; i < v.members.size(); ++i) {
            if (i != 0) out += ',';
            Quote(out, v.members[i].first);
            out += ':';
            SerializeTo(out, v.members[i].second);
        }
        out += '}';
        break;
    }
}

// Splits a number literal into its significant digits and a power of ten:
// value = sign * digits * 10^exponent. False for anything not a number.
bool Decompose(const Value& v, bool& negative, std::string& digits, int64_t& exponent) {
    if (v.kind != Kind::Number || v.text.empty() || NumberLength(v.text, 0) != v.text.size()) return false;
    const std::string& t = v.text;
    size_t p = 0;
    negative = t[p] == '-';
    if (negative) ++p;
    digits.clear();
    exponent = 0;
    for (; p < t.size() && t[p] >= '0' && t[p] <= '9'; ++p) digits += t[p];
    if (p < t.size() && t[p] == '.') {
        for (++p; p < t.size() && t[p] >= '0' && t[p] <= '9'; ++p) {
            digits += t[p];
            --exponent;
        }
    }
    if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
        ++p;
        bool expNeg = t[p] == '-';
        if (t[p] == '+' || t[p] == '-') ++p;
        int64_t e = 0;
        for (; p < t.size(); ++p) {
            // Beyond this any non-zero value is out of range either way.
            if (e < 100000) e = e * 10 + (t[p] - '0');
        }
        exponent += expNeg ? -e : e;
    }
    size_t lead = digits.find_first_not_of('0');
    if (lead == std::string::npos) {
        digits.assign(1, '0');  // (assigning a literal trips GCC 12's -Wrestrict at -O3)
        exponent = 0;
        return true;
    }
    digits.erase(0, lead);
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    return true;
}

// The magnitude as an integer if it is whole and below 2^64.
bool Magnitude(const Value& v, bool& negative, uint64_t& out) {
    std::string digits;
    int64_t exponent;
    if (!Decompose(v, negative, digits, exponent) || exponent < 0) return false;
    if (static_cast<int64_t>(digits.size()) + exponent > 20) return false;
    uint64_t m = 0;
    for (int64_t i = 0; i < static_cast<int64_t>(digits.size()) + exponent; ++i) {
        uint32_t d = i < static_cast<int64_t>(digits.size()) ? static_cast<uint32_t>(digits[static_cast<size_t>(i)] - '0') : 0u;
        if (m > (UINT64_MAX - d) / 10) return false;
        m = m * 10 + d;
    }
    out = m;
    return true;
}

}  // namespace

const Value* Value::Find(std::string_view key) const {
    if (kind != Kind::Object) return nullptr;
    for (const auto& m : members)
        if (m.first == key) return &m.second;
    return nullptr;
}

bool Value::AsUint64(uint64_t& out) const {
    bool negative;
    uint64_t m;
    if (!Magnitude(*this, negative, m) || (negative && m != 0)) return false;
    out = m;
    return true;
}

bool Value::AsInt64(int64_t& out) const {
    bool negative;
    uint64_t m;
    if (!Magnitude(*this, negative, m)) return false;
    if (negative) {
        if (m > static_cast<uint64_t>(INT64_MAX) + 1u) return false;
        out = m == static_cast<uint64_t>(INT64_MAX) + 1u ? INT64_MIN : -static_cast<int64_t>(m);
    } else {
        if (m > static_cast<uint64_t>(INT64_MAX)) return false;
        out = static_cast<int64_t>(m);
    }
    return true;
}

bool Parse(std::string_view text, Value& out, size_t* errorOffset) {
    Parser p(text);
    out = Value();
    if (p.Document(out)) return true;
    if (errorOffset != nullptr) *errorOffset = p.ErrorOffset();
    out = Value();
    return false;
}

void Quote(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            out += '\\';
            switch (c) {
            case '\b': out += 'b'; break;
            case '\f': out += 'f'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default:
                out += "u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
            ++i;
        } else {
            size_t n = Utf8SequenceLength(s, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
        }
    }
    out += '"';
}

std::string Serialize(const Value& v) {
    std::string out;
    SerializeTo(out, v);
    return out;
}

}  // namespace pal::json
