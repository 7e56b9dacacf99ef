#include "common/prom_text.h"

#include <cstdio>

std::string PromEscape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void PromText::Family(const char* name, const char* help, const char* type) {
    family_ = name;
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;  // ours: no backslash or line feed to escape
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
}

void PromText::Labels(PromLabels labels) {
    text_ += family_;
    if (labels.size() == 0) return;
    char sep = '{';
    for (const auto& l : labels) {
        text_ += sep;
        text_ += l.first;
        text_ += "=\"";
        text_ += PromEscape(l.second);
        text_ += '"';
        sep = ',';
    }
    text_ += '}';
}

void PromText::Sample(PromLabels labels, double value) {
    Labels(labels);
    char buf[40];
    std::snprintf(buf, sizeof(buf), " %.17g\n", value);
    text_ += buf;
}

void PromText::Sample(PromLabels labels, ULONGLONG value) {
    Labels(labels);
    text_ += ' ';
    text_ += std::to_string(value);
    text_ += '\n';
}

void PromText::Single(const char* name, const char* help, const char* type, ULONGLONG value) {
    Family(name, help, type);
    Sample({}, value);
}

void PromText::Single(const char* name, const char* help, const char* type, double value) {
    Family(name, help, type);
    Sample({}, value);
}
