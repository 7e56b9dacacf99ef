#include "common/prom_text.h"

#include <cstdio>
#include <cstdlib>

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

std::string PromSample::Label(std::string_view label) const {
    for (const auto& l : labels)
        if (l.first == label) return l.second;
    return "";
}

bool ParsePromSample(std::string_view line, PromSample& out) {
    out = PromSample{};
    size_t i = 0;
    auto nameChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
    };
    while (i < line.size() && nameChar(line[i])) ++i;
    if (i == 0) return false;
    out.name = std::string(line.substr(0, i));
    if (i < line.size() && line[i] == '{') {
        ++i;
        while (i < line.size() && line[i] != '}') {
            size_t start = i;
            while (i < line.size() && nameChar(line[i])) ++i;
            if (i == start || i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"') return false;
            std::string label(line.substr(start, i - start)), value;
            for (i += 2; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] != '\\') {
                    value += line[i];
                    continue;
                }
                if (++i >= line.size()) return false;
                value += line[i] == 'n' ? '\n' : line[i];
            }
            if (i >= line.size()) return false;
            ++i;  // the closing quote
            out.labels.emplace_back(std::move(label), std::move(value));
            if (i < line.size() && line[i] == ',') ++i;
        }
        if (i >= line.size()) return false;
        ++i;  // '}'
    }
    if (i >= line.size() || line[i] != ' ') return false;
    std::string number(line.substr(i + 1));
    char* end = nullptr;
    out.value = std::strtod(number.c_str(), &end);
    return end != number.c_str() && (*end == 0 || *end == ' ');
}
