#include "client/reg_command.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "client/output.h"
#include "client/service_client.h"
#include "pal/error.h"
#include "pal/json.h"
#include "pal/regdata.h"
#include "pal/registry.h"
#include "pal/resource.h"
#include "pal/strings.h"

namespace zctl {

using pal::regdata::AppendUnits;
using pal::regdata::CleanText;
using pal::regdata::Hex;
using pal::regdata::LittleEndian;
using pal::regdata::LittleEndianBytes;
using pal::regdata::NaturalMulti;
using pal::regdata::NaturalString;
using pal::regdata::Units;

const char kRegSummary[] = "query, set, delete, export and import registry keys and values";

namespace {

const char kRegUsage[] =
    "Usage: zembrikctl reg query KEY [VALUE] [--json]\n"
    "       zembrikctl reg set KEY VALUE --type TYPE [DATA...]\n"
    "       zembrikctl reg delete KEY [VALUE] [--tree]\n"
    "       zembrikctl reg export KEY\n"
    "       zembrikctl reg import FILE\n"
    "       zembrikctl reg SUBCOMMAND --help\n"
    "\n"
    "Reads and edits the registry of the state root ($ZEMBRIK_SYSROOT, default\n"
    "/var/lib/zembrik) with the caller's own permissions.\n"
    "\n"
    "KEY is a path below HKEY_LOCAL_MACHINE, written with '\\' or '/':\n"
    "  SYSTEM\\CurrentControlSet\\Services\\Zembrik\\Parameters\n"
    "  SYSTEM/CurrentControlSet/Services/Zembrik/Parameters\n"
    "An \"HKLM\\\" or \"HKEY_LOCAL_MACHINE\\\" in front is accepted. In a path that\n"
    "contains '\\', '/' is part of a name. VALUE \"\" is the key's default value.\n"
    "\n"
    "Subcommands:\n"
    "  query    a key's values and subkeys, or one value\n"
    "  set      set a value, creating the key when missing\n"
    "  delete   delete a value, a key, or with --tree a key and its subtree\n"
    "  export   a key and its subtree as .reg text on standard output\n"
    "  import   apply a .reg file written by export\n"
    "\n"
    "Errors are shown with the system's text for the error code.\n"
    "Exit status: 0 on success, 1 on any error.\n";

const char kQueryUsage[] =
    "Usage: zembrikctl reg query KEY [VALUE] [--json]\n"
    "\n"
    "Shows the values of KEY (name, type, data) and then its subkeys, or only\n"
    "the value VALUE (\"\" for the default value):\n"
    "  HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\n"
    "      Limit      REG_DWORD       0x3c (60)\n"
    "      Targets    REG_MULTI_SZ    a\\0b\n"
    "\n"
    "  HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik\\Groups\n"
    "Numbers show in hex and decimal, REG_MULTI_SZ strings joined by \\0,\n"
    "binary data as hex; control characters in strings show as spaces.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON object for scripts, with the exact data:\n"
    "               {\"key\": ..., \"values\": [{\"name\": ..., \"type\": \"REG_DWORD\",\n"
    "               \"data\": 60}, ...], \"subkeys\": [...]}; with VALUE only the\n"
    "               value's object. \"data\" is a string (REG_SZ, REG_EXPAND_SZ),\n"
    "               a list of strings (REG_MULTI_SZ), a number (REG_DWORD,\n"
    "               REG_QWORD) or hex text (REG_BINARY); data that has no such\n"
    "               exact form comes as \"hex\" instead of \"data\"\n"
    "  -h, --help   this text\n";

const char kSetUsage[] =
    "Usage: zembrikctl reg set KEY VALUE --type TYPE [DATA...]\n"
    "\n"
    "Sets the value VALUE of KEY (\"\" for the default value), creating KEY and\n"
    "the keys above it when missing. TYPE and its DATA:\n"
    "  sz, expand_sz   one string\n"
    "  multi_sz        any number of non-empty strings, one per word\n"
    "  dword, qword    one number, decimal (60) or hex (0x3c)\n"
    "  binary          hex bytes: 01ff7a, \"01 ff 7a\" or 01,ff,7a\n"
    "Put -- before DATA that begins with '-'.\n"
    "\n"
    "Options:\n"
    "  --type TYPE  the value's type (required)\n"
    "  -h, --help   this text\n";

const char kDeleteUsage[] =
    "Usage: zembrikctl reg delete KEY [VALUE] [--tree]\n"
    "\n"
    "Deletes the value VALUE of KEY (\"\" for the default value) or, without\n"
    "VALUE, the key KEY. A key that has subkeys is deleted only with --tree.\n"
    "\n"
    "Options:\n"
    "  --tree       delete KEY with all its subkeys and values\n"
    "  -h, --help   this text\n";

const char kExportUsage[] =
    "Usage: zembrikctl reg export KEY\n"
    "\n"
    "Writes KEY and everything below it to standard output in the text form of\n"
    "a Windows .reg export (UTF-8, line ends LF), one section per key:\n"
    "  Windows Registry Editor Version 5.00\n"
    "\n"
    "  [HKEY_LOCAL_MACHINE\\SOFTWARE\\Zembrik]\n"
    "  \"Name\"=\"text\"\n"
    "  \"Limit\"=dword:0000003c\n"
    "  \"Targets\"=hex(7):61,00,00,00,00,00\n"
    "@ is the default value; hex is REG_BINARY, hex(2) REG_EXPAND_SZ, hex(7)\n"
    "REG_MULTI_SZ, hex(b) REG_QWORD, hex(N) any other type N (in hex).\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

const char kImportUsage[] =
    "Usage: zembrikctl reg import FILE\n"
    "\n"
    "Applies a file in the form that export writes: each [KEY] section creates\n"
    "the key and sets its values; [-KEY] deletes a key and its subtree;\n"
    "\"name\"=- deletes a value. Lines beginning with ';' are comments. The whole\n"
    "file is checked before anything is changed.\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

constexpr const char kRoot[] = "HKEY_LOCAL_MACHINE";
constexpr const char kRegHeader[] = "Windows Registry Editor Version 5.00";
constexpr DWORD kMaxValueName = 16383;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kExportWidth = 80;
constexpr size_t kMaxImportBytes = 64 * 1024 * 1024;

// ---- text forms -------------------------------------------------------

std::string KeyName(const std::u16string& path) {
    return path.empty() ? std::string(kRoot) : std::string(kRoot) + "\\" + pal::ToUtf8(path);
}

std::u16string Child(const std::u16string& path, const std::u16string& name) {
    return path.empty() ? name : path + u"\\" + name;
}

std::string TypeText(DWORD type) {
    const char* name = pal::regdata::NameOfType(type);
    if (name != nullptr) return name;
    char buf[24];
    std::snprintf(buf, sizeof(buf), "0x%x", type);
    return buf;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The data as people read it in a table; never more than one line.
std::string ReadableData(const RegValue& v) {
    std::u16string u;
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (!Units(v.data, u)) break;
        if (!u.empty() && u.back() == 0) u.pop_back();
        return OneLine(pal::ToUtf8(u));
    case REG_MULTI_SZ: {
        if (!Units(v.data, u)) break;
        while (!u.empty() && u.back() == 0) u.pop_back();
        std::string text;
        size_t start = 0;
        while (start <= u.size() && !u.empty()) {
            size_t end = u.find(char16_t(0), start);
            if (end == std::u16string::npos) end = u.size();
            if (start > 0) text += "\\0";
            text += OneLine(pal::ToUtf8(std::u16string_view(u).substr(start, end - start)));
            start = end + 1;
        }
        return text;
    }
    case REG_DWORD:
    case REG_QWORD: {
        if (v.data.size() != (v.type == REG_DWORD ? 4u : 8u)) break;
        uint64_t n = LittleEndian(v.data);
        char buf[48];
        std::snprintf(buf, sizeof(buf), "0x%llx (%llu)", static_cast<unsigned long long>(n),
                      static_cast<unsigned long long>(n));
        return buf;
    }
    default:
        break;
    }
    return Hex(v.data);
}

// {"name": ..., "type": ..., "data": ...}, or "hex" where the natural form
// would not give back exactly these bytes.
std::string ValueJson(const RegValue& v) {
    std::string out = "{\"name\": ";
    pal::json::Quote(out, pal::ToUtf8(v.name));
    out += ", \"type\": ";
    const char* name = pal::regdata::NameOfType(v.type);
    if (name != nullptr) pal::json::Quote(out, name);
    else out += std::to_string(v.type);
    std::string data;
    std::string text;
    std::vector<std::string> list;
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (NaturalString(v.data, text)) pal::json::Quote(data, text);
        break;
    case REG_MULTI_SZ:
        if (NaturalMulti(v.data, list)) {
            data = "[";
            for (size_t i = 0; i < list.size(); ++i) {
                if (i > 0) data += ", ";
                pal::json::Quote(data, list[i]);
            }
            data += "]";
        }
        break;
    case REG_DWORD:
    case REG_QWORD:
        if (v.data.size() == (v.type == REG_DWORD ? 4u : 8u)) data = std::to_string(LittleEndian(v.data));
        break;
    case REG_BINARY:
        pal::json::Quote(data, Hex(v.data));
        break;
    default:
        break;
    }
    if (!data.empty()) {
        out += ", \"data\": " + data;
    } else {
        out += ", \"hex\": ";
        pal::json::Quote(out, Hex(v.data));
    }
    return out + "}";
}

// ---- registry access --------------------------------------------------

class KeyHandle {
public:
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    ~KeyHandle() {
        if (h != nullptr) RegCloseKey(h);
    }
    HKEY h = nullptr;
};

DWORD OpenKey(const std::u16string& path, REGSAM access, KeyHandle& key) {
    return static_cast<DWORD>(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key.h));
}

// Every value of a key, in the key's order.
DWORD ReadValues(HKEY key, std::vector<RegValue>& out) {
    out.clear();
    std::u16string name(kMaxValueName + 1, u'\0');
    int retries = 0;
    for (DWORD i = 0;;) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD type = 0, size = 0;
        LONG rc = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
        RegValue v;
        v.data.resize(size);
        nameLen = static_cast<DWORD>(name.size());
        rc = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &v.type, reinterpret_cast<BYTE*>(v.data.data()),
                           &size);
        // The value grew between the two calls: ask again.
        if (rc == ERROR_MORE_DATA && ++retries < 8) continue;
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
        v.data.resize(size);
        v.name.assign(name.data(), nameLen);
        out.push_back(std::move(v));
        ++i;
        retries = 0;
    }
}

DWORD ReadValue(HKEY key, const std::u16string& name, RegValue& v) {
    v.name = name;
    for (int retries = 0;; ++retries) {
        DWORD size = 0;
        LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &v.type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
        v.data.resize(size);
        rc = RegQueryValueExW(key, name.c_str(), nullptr, &v.type, reinterpret_cast<BYTE*>(v.data.data()), &size);
        if (rc == ERROR_MORE_DATA && retries < 8) continue;
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
        v.data.resize(size);
        return ERROR_SUCCESS;
    }
}

// The names of a key's subkeys, sorted as the registry lists them.
DWORD ReadSubkeys(HKEY key, std::vector<std::u16string>& out) {
    out.clear();
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
        DWORD len = 256;
        LONG rc = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
        out.emplace_back(name, len);
    }
}

// Deletes a key below HKEY_LOCAL_MACHINE with its whole subtree, deepest
// keys first. `failed` names the key where it stopped.
DWORD DeleteTree(const std::u16string& path, std::u16string& failed) {
    std::vector<std::u16string> subkeys;
    {
        KeyHandle key;
        DWORD rc = OpenKey(path, KEY_ENUMERATE_SUB_KEYS, key);
        if (rc == ERROR_SUCCESS) rc = ReadSubkeys(key.h, subkeys);
        if (rc != ERROR_SUCCESS) {
            failed = path;
            return rc;
        }
    }
    for (const std::u16string& s : subkeys) {
        DWORD rc = DeleteTree(Child(path, s), failed);
        if (rc != ERROR_SUCCESS) return rc;
    }
    DWORD rc = static_cast<DWORD>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()));
    if (rc != ERROR_SUCCESS) failed = path;
    return rc;
}

// ---- .reg text --------------------------------------------------------

void AppendQuoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

// Bytes as "xx,xx,..." after `line`, wrapped like a .reg export: a line that
// would pass the width ends in '\' and the bytes go on indented by two.
void AppendHexBytes(std::string& out, std::string line, const std::string& bytes) {
    size_t prefix = line.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::string item = Hex(bytes.substr(i, 1));
        if (i + 1 < bytes.size()) item += ',';
        if (line.size() > prefix && line.size() + item.size() + 1 > kExportWidth) {
            out += line + "\\\n";
            line = "  ";
            prefix = 2;
        }
        line += item;
    }
    out += line + "\n";
}

}  // namespace

void AppendRegValue(std::string& out, const RegValue& v) {
    std::string line;
    if (v.name.empty()) line = "@";
    else AppendQuoted(line, pal::ToUtf8(v.name));
    line += '=';
    std::string text;
    if (v.type == REG_SZ && NaturalString(v.data, text) &&
        std::none_of(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; })) {
        AppendQuoted(line, text);
        out += line + "\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "dword:%08x", static_cast<unsigned>(LittleEndian(v.data)));
        out += line + buf + "\n";
        return;
    }
    if (v.type == REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof(buf), "hex(%x):", v.type);
        line += buf;
    }
    AppendHexBytes(out, std::move(line), v.data);
}

namespace {

// One section per key, the key first and then its subkeys in registry order.
DWORD ExportKey(const std::u16string& path, std::string& out, std::u16string& failed) {
    std::vector<RegValue> values;
    std::vector<std::u16string> subkeys;
    {
        // Closed before going deeper: one open key at a time.
        KeyHandle key;
        DWORD rc = OpenKey(path, KEY_READ, key);
        if (rc == ERROR_SUCCESS) rc = ReadValues(key.h, values);
        if (rc == ERROR_SUCCESS) rc = ReadSubkeys(key.h, subkeys);
        if (rc != ERROR_SUCCESS) {
            failed = path;
            return rc;
        }
    }
    out += "\n[" + KeyName(path) + "]\n";
    for (const RegValue& v : values) AppendRegValue(out, v);
    for (const std::u16string& s : subkeys) {
        DWORD rc = ExportKey(Child(path, s), out, failed);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

// A quoted .reg string at text[pos]; \\ and \" are the only escapes.
bool ParseQuoted(std::string_view text, size_t& pos, std::string& out) {
    if (pos >= text.size() || text[pos] != '"') return false;
    out.clear();
    for (++pos; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= text.size() || (text[pos] != '\\' && text[pos] != '"')) return false;
            c = text[pos];
        }
        out += c;
    }
    return false;
}

bool ParseHexList(std::string_view text, std::string& bytes) {
    bytes.clear();
    size_t pos = 0;
    auto skipSpace = [&] {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    };
    skipSpace();
    if (pos == text.size()) return true;
    for (;;) {
        skipSpace();
        if (pos + 2 > text.size()) return false;
        int hi = HexDigit(text[pos]), lo = HexDigit(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes += static_cast<char>(hi * 16 + lo);
        pos += 2;
        skipSpace();
        if (pos == text.size()) return true;
        if (text[pos] != ',') return false;
        ++pos;
    }
}

// The data part of a value line, after '='.
bool ParseRegData(std::string_view text, ImportOp& op, std::string& error) {
    if (text == "-") {
        op.kind = ImportOp::DeleteValue;
        return true;
    }
    op.kind = ImportOp::SetValue;
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string s;
        if (!ParseQuoted(text, pos, s) || pos != text.size()) {
            error = "bad string data";
            return false;
        }
        op.value.type = REG_SZ;
        op.value.data.clear();
        AppendUnits(op.value.data, pal::ToUtf16(s));
        AppendUnits(op.value.data, std::u16string(1, 0));
        return true;
    }
    if (text.rfind("dword:", 0) == 0) {
        std::string_view digits = text.substr(6);
        uint32_t n = 0;
        bool ok = !digits.empty() && digits.size() <= 8;
        for (char c : digits) {
            int d = HexDigit(c);
            ok = ok && d >= 0;
            n = (n << 4) | static_cast<uint32_t>(d < 0 ? 0 : d);
        }
        if (!ok) {
            error = "dword: needs 1 to 8 hex digits";
            return false;
        }
        op.value.type = REG_DWORD;
        op.value.data = LittleEndianBytes(n, 4);
        return true;
    }
    size_t colon = text.find(':');
    std::string_view kind = text.substr(0, colon);
    if (colon == std::string_view::npos || kind.rfind("hex", 0) != 0) {
        error = "unknown data form (\"text\", dword:, hex:, hex(N): or -)";
        return false;
    }
    if (kind == "hex") {
        op.value.type = REG_BINARY;
    } else {
        if (kind.size() < 6 || kind[3] != '(' || kind.back() != ')' || kind.size() > 13) {
            error = "bad hex(N) type";
            return false;
        }
        uint32_t t = 0;
        for (char c : kind.substr(4, kind.size() - 5)) {
            int d = HexDigit(c);
            if (d < 0) {
                error = "bad hex(N) type";
                return false;
            }
            t = (t << 4) | static_cast<uint32_t>(d);
        }
        op.value.type = t;
    }
    if (!ParseHexList(text.substr(colon + 1), op.value.data)) {
        error = "bad hex bytes (xx,xx,...)";
        return false;
    }
    return true;
}

// A key path of a section names keys the registry can hold: no empty name,
// none longer than a key name may be, no NUL (which would end it early).
bool GoodSectionPath(const std::u16string& path) {
    if (path.find(u'\0') != std::u16string::npos) return false;
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        size_t len = (end == std::u16string::npos ? path.size() : end) - start;
        if (len == 0 || len > kMaxKeyName) return false;
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

}  // namespace

bool ParseRegText(std::string_view text, std::vector<ImportOp>& ops, std::string& error) {
    ops.clear();
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.remove_prefix(3);
    size_t pos = 0, lineNo = 0;
    bool header = false, inKey = false;
    std::u16string key;
    while (pos < text.size()) {
        // One logical line: a line ending in '\' goes on in the next one.
        std::string logical;
        size_t first = lineNo + 1;
        for (;;) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNo;
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
                line.remove_suffix(1);
            if (!logical.empty())
                while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
            bool more = !line.empty() && line.back() == '\\' && line.front() != '[' && line.front() != ';';
            if (more) line.remove_suffix(1);
            logical += line;
            if (!more || pos >= text.size()) break;
        }
        std::string_view l = logical;
        while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(first) + ": " + why;
            return false;
        };
        if (l.empty() || l[0] == ';') continue;
        if (!header) {
            if (l != kRegHeader) return fail(std::string("the file must begin with \"") + kRegHeader + "\"");
            header = true;
            continue;
        }
        ImportOp op;
        op.line = first;
        if (l[0] == '[') {
            if (l.back() != ']') return fail("a section needs a closing ']'");
            std::string_view inner = l.substr(1, l.size() - 2);
            bool remove = !inner.empty() && inner[0] == '-';
            if (remove) inner.remove_prefix(1);
            std::string head = ToLowerAscii(inner.substr(0, std::min(inner.size(), sizeof(kRoot) - 1)));
            if (head != ToLowerAscii(kRoot) ||
                (inner.size() > sizeof(kRoot) - 1 && inner[sizeof(kRoot) - 1] != '\\'))
                return fail(std::string("only keys of ") + kRoot + " can be imported");
            std::u16string path = pal::ToUtf16(inner.substr(std::min(inner.size(), sizeof(kRoot))));
            if (path.empty() && remove) return fail(std::string("cannot delete ") + kRoot);
            if (!GoodSectionPath(path))
                return fail("an empty key name, one longer than 255 characters or a NUL in the section");
            op.kind = remove ? ImportOp::DeleteKey : ImportOp::CreateKey;
            op.key = path;
            inKey = !remove;
            key = path;
            ops.push_back(std::move(op));
            continue;
        }
        if (!inKey) return fail("a value line outside a key section");
        size_t p = 0;
        std::string name;
        if (l[0] == '@') {
            p = 1;
        } else if (!ParseQuoted(l, p, name)) {
            return fail("a value line begins with \"name\" or @");
        }
        while (p < l.size() && (l[p] == ' ' || l[p] == '\t')) ++p;
        if (p >= l.size() || l[p] != '=') return fail("'=' expected after the value name");
        ++p;
        while (p < l.size() && (l[p] == ' ' || l[p] == '\t')) ++p;
        op.key = key;
        op.value.name = pal::ToUtf16(name);
        if (op.value.name.size() > kMaxValueName) return fail("a value name longer than 16383 characters");
        if (op.value.name.find(u'\0') != std::u16string::npos) return fail("a NUL in a value name");
        std::string why;
        if (!ParseRegData(l.substr(p), op, why)) return fail(why);
        ops.push_back(std::move(op));
    }
    if (!header) {
        error = std::string("the file must begin with \"") + kRegHeader + "\"";
        return false;
    }
    return true;
}

namespace {

// ---- subcommands ------------------------------------------------------

struct RegArgs {
    std::vector<std::string> words;
    std::string type;
    bool hasType = false;
    bool json = false;
    bool tree = false;
    bool help = false;
};

bool ParseRegArgs(const std::vector<std::string>& args, RegArgs& out, std::string& error) {
    ArgScanner scan(args);
    bool optionsDone = false;
    while (!scan.Done()) {
        std::string name, inlineValue, value;
        bool hasInline = false;
        scan.Next(name, inlineValue, hasInline);
        if (optionsDone || name.size() < 2 || name[0] != '-') {
            out.words.push_back(hasInline ? name + "=" + inlineValue : name);
            continue;
        }
        if (name == "--" && !hasInline) {
            optionsDone = true;
        } else if (name == "--json" || name == "--tree" || name == "--help" || name == "-h") {
            if (hasInline) {
                error = "option " + name + " takes no value";
                return false;
            }
            if (name == "--json") out.json = true;
            else if (name == "--tree") out.tree = true;
            else out.help = true;
        } else if (name == "--type") {
            if (!scan.Value(inlineValue, hasInline, value)) {
                error = "option --type needs a value";
                return false;
            }
            out.type = value;
            out.hasType = true;
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
    }
    return true;
}

struct Context {
    std::string command;  // "reg query" ...
    std::FILE* out;
    std::FILE* err;

    int Fail(const std::string& text) const {
        WriteError(err, command, text);
        return 1;
    }
    int Usage(const std::string& text) const {
        WriteError(err, command, text);
        Write(err, "Run 'zembrikctl " + command + " --help' for the usage.\n");
        return 1;
    }
    // "<key>[: <value>]: <system text>"
    int Error(const std::u16string& key, DWORD code, const std::u16string* value = nullptr) const {
        std::string where = KeyName(key);
        if (value != nullptr) where += " value " + (value->empty() ? std::string("(Default)") : pal::ToUtf8(*value));
        return Fail(where + ": " + ResultWords(code));
    }
};

bool ParseType(std::string_view text, DWORD& type) {
    std::string t = ToLowerAscii(text);
    if (t.rfind("reg_", 0) == 0) t = t.substr(4);
    static const std::pair<const char*, DWORD> kTypes[] = {
        {"sz", REG_SZ},       {"expand_sz", REG_EXPAND_SZ}, {"multi_sz", REG_MULTI_SZ},
        {"dword", REG_DWORD}, {"qword", REG_QWORD},         {"binary", REG_BINARY},
    };
    for (const auto& [name, value] : kTypes) {
        if (t == name) {
            type = value;
            return true;
        }
    }
    return false;
}

int Query(const Context& c, const RegArgs& a) {
    if (a.words.empty() || a.words.size() > 2) return c.Usage("query takes KEY and an optional VALUE");
    std::u16string path;
    std::string error;
    if (!ParseKeyPath(a.words[0], path, error)) return c.Usage(error);
    KeyHandle key;
    DWORD rc = OpenKey(path, KEY_READ, key);
    if (rc != ERROR_SUCCESS) return c.Error(path, rc);
    std::vector<RegValue> values;
    std::vector<std::u16string> subkeys;
    bool one = a.words.size() == 2;
    if (one) {
        RegValue v;
        std::u16string name = pal::ToUtf16(a.words[1]);
        rc = ReadValue(key.h, name, v);
        if (rc != ERROR_SUCCESS) return c.Error(path, rc, &name);
        // Names match without regard to case; show the stored spelling.
        std::vector<RegValue> all;
        if (ReadValues(key.h, all) == ERROR_SUCCESS)
            for (const RegValue& stored : all)
                if (stored.name.size() == name.size() && lstrcmpiW(stored.name.c_str(), name.c_str()) == 0)
                    v.name = stored.name;
        if (a.json) {
            Write(c.out, ValueJson(v) + "\n");
            return 0;
        }
        values.push_back(std::move(v));
    } else {
        rc = ReadValues(key.h, values);
        if (rc == ERROR_SUCCESS) rc = ReadSubkeys(key.h, subkeys);
        if (rc != ERROR_SUCCESS) return c.Error(path, rc);
    }
    if (a.json) {
        std::string text = "{\"key\": ";
        pal::json::Quote(text, KeyName(path));
        text += ", \"values\": [";
        for (size_t i = 0; i < values.size(); ++i) text += (i > 0 ? ", " : "") + ValueJson(values[i]);
        text += "], \"subkeys\": [";
        for (size_t i = 0; i < subkeys.size(); ++i) {
            if (i > 0) text += ", ";
            pal::json::Quote(text, pal::ToUtf8(subkeys[i]));
        }
        Write(c.out, text + "]}\n");
        return 0;
    }
    std::string text = OneLine(KeyName(path)) + "\n";
    std::vector<std::string> names;
    size_t nameWidth = 0, typeWidth = 0;
    for (const RegValue& v : values) {
        names.push_back(v.name.empty() ? "(Default)" : OneLine(pal::ToUtf8(v.name)));
        nameWidth = std::max(nameWidth, names.back().size());
        typeWidth = std::max(typeWidth, TypeText(v.type).size());
    }
    for (size_t i = 0; i < values.size(); ++i) {
        std::string type = TypeText(values[i].type);
        text += "    " + names[i] + std::string(nameWidth - names[i].size() + 4, ' ') + type;
        std::string data = ReadableData(values[i]);
        if (!data.empty()) text += std::string(typeWidth - type.size() + 4, ' ') + data;
        text += "\n";
    }
    for (const std::u16string& s : subkeys) text += "\n" + OneLine(KeyName(Child(path, s))) + "\n";
    Write(c.out, text);
    return 0;
}

int Set(const Context& c, const RegArgs& a) {
    if (a.words.size() < 2) return c.Usage("set takes KEY, VALUE, --type TYPE and DATA");
    if (!a.hasType) return c.Usage("set needs --type (sz, expand_sz, multi_sz, dword, qword, binary)");
    DWORD type = REG_NONE;
    if (!ParseType(a.type, type))
        return c.Usage("unknown type '" + a.type + "' (sz, expand_sz, multi_sz, dword, qword, binary)");
    std::u16string path;
    std::string error, bytes;
    if (!ParseKeyPath(a.words[0], path, error)) return c.Usage(error);
    std::vector<std::string> data(a.words.begin() + 2, a.words.end());
    if (!EncodeRegData(type, data, bytes, error)) return c.Usage(error);
    std::u16string name = pal::ToUtf16(a.words[1]);
    KeyHandle key;
    DWORD rc = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                                  REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key.h, nullptr));
    if (rc != ERROR_SUCCESS) return c.Error(path, rc);
    rc = static_cast<DWORD>(RegSetValueExW(key.h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                           static_cast<DWORD>(bytes.size())));
    if (rc != ERROR_SUCCESS) return c.Error(path, rc, &name);
    return 0;
}

int Delete(const Context& c, const RegArgs& a) {
    if (a.words.empty() || a.words.size() > 2) return c.Usage("delete takes KEY and an optional VALUE");
    if (a.tree && a.words.size() == 2) return c.Usage("--tree deletes a whole key: give no VALUE with it");
    std::u16string path;
    std::string error;
    if (!ParseKeyPath(a.words[0], path, error)) return c.Usage(error);
    if (a.words.size() == 2) {
        std::u16string name = pal::ToUtf16(a.words[1]);
        KeyHandle key;
        DWORD rc = OpenKey(path, KEY_SET_VALUE, key);
        if (rc != ERROR_SUCCESS) return c.Error(path, rc);
        rc = static_cast<DWORD>(RegDeleteValueW(key.h, name.c_str()));
        if (rc != ERROR_SUCCESS) return c.Error(path, rc, &name);
        return 0;
    }
    if (path.empty()) return c.Usage(std::string(kRoot) + " itself cannot be deleted");
    if (a.tree) {
        std::u16string failed;
        DWORD rc = DeleteTree(path, failed);
        if (rc != ERROR_SUCCESS) return c.Error(failed, rc);
        return 0;
    }
    DWORD subkeys = 0;
    {
        KeyHandle key;
        DWORD rc = OpenKey(path, KEY_QUERY_VALUE, key);
        if (rc == ERROR_SUCCESS)
            rc = static_cast<DWORD>(RegQueryInfoKeyW(key.h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr, nullptr, nullptr));
        if (rc != ERROR_SUCCESS) return c.Error(path, rc);
    }
    if (subkeys > 0)
        return c.Fail(KeyName(path) + " has " + std::to_string(subkeys) + (subkeys == 1 ? " subkey" : " subkeys") +
                      "; use --tree to delete it with everything below it");
    DWORD rc = static_cast<DWORD>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()));
    if (rc != ERROR_SUCCESS) return c.Error(path, rc);
    return 0;
}

int Export(const Context& c, const RegArgs& a) {
    if (a.words.size() != 1) return c.Usage("export takes one KEY");
    std::u16string path, failed;
    std::string error;
    if (!ParseKeyPath(a.words[0], path, error)) return c.Usage(error);
    std::string text = kRegHeader;
    text += "\n";
    DWORD rc = ExportKey(path, text, failed);
    if (rc != ERROR_SUCCESS) return c.Error(failed, rc);
    Write(c.out, text);
    return 0;
}

int Import(const Context& c, const RegArgs& a) {
    if (a.words.size() != 1) return c.Usage("import takes one FILE");
    const std::string& file = a.words[0];
    // 'e': the descriptor is close-on-exec.
    std::FILE* f = std::fopen(file.c_str(), "rbe");
    if (f == nullptr) return c.Fail(file + ": " + std::strerror(errno));
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0 && text.size() <= kMaxImportBytes) text.append(buf, n);
    bool readError = std::ferror(f) != 0;
    std::fclose(f);
    if (readError) return c.Fail(file + ": read error");
    if (text.size() > kMaxImportBytes) return c.Fail(file + ": larger than 64 MiB");
    std::vector<ImportOp> ops;
    std::string error;
    if (!ParseRegText(text, ops, error)) return c.Fail(file + ": " + error);
    KeyHandle key;
    for (const ImportOp& op : ops) {
        std::string at = file + ": line " + std::to_string(op.line) + ": ";
        DWORD rc = ERROR_SUCCESS;
        std::u16string failed = op.key;
        switch (op.kind) {
        case ImportOp::CreateKey: {
            KeyHandle next;
            rc = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, op.key.c_str(), 0, nullptr,
                                                    REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &next.h,
                                                    nullptr));
            std::swap(key.h, next.h);
            break;
        }
        case ImportOp::DeleteKey:
            rc = DeleteTree(op.key, failed);
            if (rc == ERROR_FILE_NOT_FOUND && failed == op.key) rc = ERROR_SUCCESS;  // already gone
            break;
        case ImportOp::SetValue:
            rc = static_cast<DWORD>(RegSetValueExW(key.h, op.value.name.c_str(), 0, op.value.type,
                                                   reinterpret_cast<const BYTE*>(op.value.data.data()),
                                                   static_cast<DWORD>(op.value.data.size())));
            break;
        case ImportOp::DeleteValue:
            rc = static_cast<DWORD>(RegDeleteValueW(key.h, op.value.name.c_str()));
            if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
            break;
        }
        if (rc != ERROR_SUCCESS) return c.Fail(at + KeyName(failed) + ": " + ResultWords(rc));
    }
    return 0;
}

struct Subcommand {
    const char* name;
    const char* usage;
    int (*run)(const Context&, const RegArgs&);
    bool json;  // which options apply
    bool type;
    bool tree;
};

const Subcommand kSubcommands[] = {
    {"query", kQueryUsage, Query, true, false, false},
    {"set", kSetUsage, Set, false, true, false},
    {"delete", kDeleteUsage, Delete, false, false, true},
    {"export", kExportUsage, Export, false, false, false},
    {"import", kImportUsage, Import, false, false, false},
};

}  // namespace

bool ParseKeyPath(std::string_view text, std::u16string& out, std::string& error) {
    out.clear();
    bool backslash = text.find('\\') != std::string_view::npos;
    auto isSep = [&](char ch) { return ch == '\\' || (!backslash && ch == '/'); };
    // The root, when named, must be the local machine.
    size_t firstSep = 0;
    while (firstSep < text.size() && !isSep(text[firstSep])) ++firstSep;
    std::string head = ToLowerAscii(text.substr(0, firstSep));
    if (head == "hklm" || head == "hkey_local_machine") {
        text.remove_prefix(firstSep);
    } else {
        static const char* const kOtherRoots[] = {"hkcu", "hkey_current_user", "hkcr", "hkey_classes_root",
                                                  "hku",  "hkey_users",        "hkcc", "hkey_current_config"};
        for (const char* r : kOtherRoots) {
            if (head == r) {
                error = "only " + std::string(kRoot) + " exists here, not " + std::string(text.substr(0, firstSep));
                return false;
            }
        }
    }
    while (!text.empty() && isSep(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSep(text.back())) text.remove_suffix(1);
    std::string path;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isSep(text[i])) {
            if (isSep(text[i + 1])) {
                error = "empty key name in '" + std::string(text) + "'";
                return false;
            }
            path += '\\';
        } else {
            path += text[i];
        }
    }
    out = pal::ToUtf16(path);
    return true;
}

bool EncodeRegData(DWORD type, const std::vector<std::string>& words, std::string& bytes, std::string& error) {
    bytes.clear();
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (words.size() != 1) {
            error = "this type takes one DATA string (quote it if it has spaces)";
            return false;
        }
        AppendUnits(bytes, pal::ToUtf16(words[0]));
        AppendUnits(bytes, std::u16string(1, 0));
        return true;
    case REG_MULTI_SZ:
        for (const std::string& w : words) {
            if (w.empty()) {
                error = "multi_sz strings cannot be empty";
                return false;
            }
            AppendUnits(bytes, pal::ToUtf16(w));
            AppendUnits(bytes, std::u16string(1, 0));
        }
        AppendUnits(bytes, std::u16string(words.empty() ? 2 : 1, 0));
        return true;
    case REG_DWORD:
    case REG_QWORD: {
        if (words.size() != 1) {
            error = "this type takes one number";
            return false;
        }
        std::string_view s = words[0];
        bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        if (hex) s.remove_prefix(2);
        uint64_t limit = type == REG_DWORD ? 0xFFFFFFFFull : ~0ull;
        uint64_t base = hex ? 16 : 10;
        uint64_t n = 0;
        bool ok = !s.empty();
        for (char ch : s) {
            int d = hex ? HexDigit(ch) : (ch >= '0' && ch <= '9' ? ch - '0' : -1);
            if (d < 0 || n > (limit - static_cast<uint64_t>(d)) / base) {
                ok = false;
                break;
            }
            n = n * base + static_cast<uint64_t>(d);
        }
        if (!ok) {
            error = "'" + words[0] + "' is not a number for " + (type == REG_DWORD ? "dword" : "qword") +
                    " (decimal, or hex with 0x; at most " + (type == REG_DWORD ? "0xffffffff)" : "0xffffffffffffffff)");
            return false;
        }
        bytes = LittleEndianBytes(n, type == REG_DWORD ? 4 : 8);
        return true;
    }
    case REG_BINARY: {
        std::string digits;
        for (const std::string& w : words)
            for (char ch : w)
                if (ch != ' ' && ch != ',' && ch != '\t') digits += ch;
        if (digits.size() % 2 != 0 ||
            std::any_of(digits.begin(), digits.end(), [](char ch) { return HexDigit(ch) < 0; })) {
            error = "binary data must be hex bytes (01ff7a, \"01 ff 7a\" or 01,ff,7a)";
            return false;
        }
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes += static_cast<char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1]));
        return true;
    }
    default:
        error = "unsupported type";
        return false;
    }
}

int RunRegCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.empty()) {
        WriteError(err, "reg", "a subcommand is needed");
        Write(err, kRegUsage);
        return 1;
    }
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        Write(out, kRegUsage);
        return 0;
    }
    const Subcommand* sub = nullptr;
    for (const Subcommand& s : kSubcommands)
        if (name == s.name) sub = &s;
    if (sub == nullptr) {
        WriteError(err, "reg", (name.rfind("-", 0) == 0 ? "unknown option '" : "unknown subcommand '") + name +
                                   "' (query, set, delete, export, import)");
        Write(err, "Run 'zembrikctl reg --help' for the usage.\n");
        return 1;
    }
    Context c{std::string("reg ") + sub->name, out, err};
    RegArgs a;
    std::string error;
    if (!ParseRegArgs(std::vector<std::string>(args.begin() + 1, args.end()), a, error)) return c.Usage(error);
    if (a.help) {
        Write(out, sub->usage);
        return 0;
    }
    const char* stray = a.json && !sub->json ? "--json"
                        : a.hasType && !sub->type ? "--type"
                        : a.tree && !sub->tree ? "--tree"
                                               : nullptr;
    if (stray != nullptr) return c.Usage(std::string("option ") + stray + " does not apply to " + c.command);
    return sub->run(c, a);
}

}  // namespace zctl
