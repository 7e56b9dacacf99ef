// Registry data in its natural text forms: shared by the registry store and
// the registry editor, so both read and write values the same way.
#include "pal/regdata.h"

#include "pal/registry.h"
#include "pal/strings.h"

namespace pal::regdata {
namespace {

struct TypeName {
    DWORD type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

}  // namespace

const char* NameOfType(DWORD type) {
    for (const auto& t : kTypeNames)
        if (t.type == type) return t.name;
    return nullptr;
}

bool TypeOfName(const std::string& name, DWORD& type) {
    for (const auto& t : kTypeNames) {
        if (name == t.name) {
            type = t.type;
            return true;
        }
    }
    return false;
}

// UTF-16 units of little-endian bytes; false for an odd length.
bool Units(const std::string& bytes, std::u16string& out) {
    if (bytes.size() % 2 != 0) return false;
    out.resize(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return true;
}

void AppendUnits(std::string& bytes, std::u16string_view units) {
    for (char16_t u : units) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
}

// Well-formed UTF-16 without NUL: converts to UTF-8 and back unchanged.
bool CleanText(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t u = s[i];
        if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF)) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

bool NaturalString(const std::string& bytes, std::string& utf8) {
    std::u16string u;
    if (!Units(bytes, u) || u.empty() || u.back() != 0) return false;
    u.pop_back();
    if (!CleanText(u)) return false;
    utf8 = ToUtf8(u);
    return true;
}

// Each string NUL-terminated, then one more NUL; the empty list is two NULs.
bool NaturalMulti(const std::string& bytes, std::vector<std::string>& list) {
    std::u16string u;
    if (!Units(bytes, u) || u.size() < 2) return false;
    list.clear();
    if (u.size() == 2 && u[0] == 0 && u[1] == 0) return true;
    size_t i = 0;
    for (;;) {
        if (i == u.size() - 1 && u[i] == 0 && !list.empty()) return true;
        if (i >= u.size() || u[i] == 0) return false;
        size_t end = u.find(char16_t(0), i);
        if (end == std::u16string::npos) return false;
        std::u16string_view s(u.data() + i, end - i);
        if (!CleanText(s)) return false;
        list.push_back(ToUtf8(s));
        i = end + 1;
    }
}

uint64_t LittleEndian(const std::string& bytes) {
    uint64_t v = 0;
    for (size_t i = bytes.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
    return v;
}

std::string LittleEndianBytes(uint64_t v, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

bool Unhex(const std::string& text, std::string& bytes) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes += static_cast<char>((hi << 4) | lo);
    }
    return true;
}

}  // namespace pal::regdata
