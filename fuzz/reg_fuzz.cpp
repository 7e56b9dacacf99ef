// libFuzzer target: any bytes as a .reg file for `zembrikctl reg import`.
// What the parser accepts names only keys the registry can hold (no empty
// name, none over 255 characters, no NUL) and values it can hold, and
// written out again as export writes it parses to the same changes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/reg_command.h"
#include "pal/strings.h"

namespace {

bool GoodKeyPath(const std::u16string& path) {
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string name = path.substr(start, end == std::u16string::npos ? path.npos : end - start);
        if (name.empty() || name.size() > 255 || name.find(u'\0') != std::u16string::npos) return false;
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

std::string Section(const std::u16string& key, bool remove) {
    std::string out = remove ? "\n[-HKEY_LOCAL_MACHINE" : "\n[HKEY_LOCAL_MACHINE";
    if (!key.empty()) out += "\\" + pal::ToUtf8(key);
    return out + "]\n";
}

std::string Quoted(const std::u16string& name) {
    if (name.empty()) return "@";
    std::string out = "\"";
    for (char c : pal::ToUtf8(name)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<zctl::ImportOp> ops;
    std::string error;
    if (!zctl::ParseRegText(text, ops, error)) {
        if (error.empty()) abort();
        return 0;
    }
    std::string again = "Windows Registry Editor Version 5.00\n";
    for (const zctl::ImportOp& op : ops) {
        if (!GoodKeyPath(op.key)) abort();
        if (op.value.name.size() > 16383 || op.value.name.find(u'\0') != std::u16string::npos) abort();
        switch (op.kind) {
        case zctl::ImportOp::CreateKey: again += Section(op.key, false); break;
        case zctl::ImportOp::DeleteKey:
            if (op.key.empty()) abort();
            again += Section(op.key, true);
            break;
        case zctl::ImportOp::SetValue: zctl::AppendRegValue(again, op.value); break;
        case zctl::ImportOp::DeleteValue: again += Quoted(op.value.name) + "=-\n"; break;
        }
    }
    std::vector<zctl::ImportOp> reparsed;
    if (!zctl::ParseRegText(again, reparsed, error) || reparsed.size() != ops.size()) abort();
    for (size_t i = 0; i < ops.size(); ++i) {
        const zctl::ImportOp& a = ops[i];
        const zctl::ImportOp& b = reparsed[i];
        if (a.kind != b.kind || a.key != b.key || a.value.name != b.value.name) abort();
        if (a.kind == zctl::ImportOp::SetValue && (a.value.type != b.value.type || a.value.data != b.value.data))
            abort();
    }
    return 0;
}
