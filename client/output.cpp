#include "client/output.h"

namespace zctl {

void Write(std::FILE* f, std::string_view text) {
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), f);
}

namespace {
bool g_verbose = false;
}  // namespace

void SetVerbose(bool on) { g_verbose = on; }
bool Verbose() { return g_verbose; }

void WriteError(std::FILE* err, std::string_view command, std::string_view text) {
    std::string line = "zembrikctl: ";
    if (!command.empty()) {
        line += command;
        line += ": ";
    }
    line += text;
    line += '\n';
    Write(err, line);
}

std::string OneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? ' ' : c;
    }
    return out;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<std::string> SplitList(std::string_view text, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

void ArgScanner::Next(std::string& name, std::string& inlineValue, bool& hasInlineValue) {
    const std::string& arg = args_[next_++];
    size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    hasInlineValue = eq != std::string::npos;
    name = hasInlineValue ? arg.substr(0, eq) : arg;
    inlineValue = hasInlineValue ? arg.substr(eq + 1) : std::string();
}

bool ArgScanner::Value(const std::string& inlineValue, bool hasInlineValue, std::string& value) {
    if (hasInlineValue) {
        value = inlineValue;
        return true;
    }
    if (next_ >= args_.size()) return false;
    value = args_[next_++];
    return true;
}

}  // namespace zctl
