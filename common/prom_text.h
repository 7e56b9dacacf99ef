// Text in the Prometheus exposition format (what node_exporter's textfile
// collector reads): families of samples, each after its HELP and TYPE lines.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pal/types.h"

using PromLabels = std::initializer_list<std::pair<const char*, std::string>>;

class PromText {
public:
    // Starts a family; the samples that follow belong to it. `type` is
    // "counter" or "gauge".
    void Family(const char* name, const char* help, const char* type);
    // One sample of the family last started.
    void Sample(PromLabels labels, double value);
    void Sample(PromLabels labels, ULONGLONG value);
    // A family of one sample without labels.
    void Single(const char* name, const char* help, const char* type, ULONGLONG value);
    void Single(const char* name, const char* help, const char* type, double value);
    std::string& Text() { return text_; }

private:
    void Labels(PromLabels labels);
    std::string family_;
    std::string text_;
};

// A label value as the format wants it: backslash, double quote and line
// feed escaped.
std::string PromEscape(const std::string& value);

// One sample line read back: its name, labels (values unescaped) and value.
// False for comments, blank lines and anything not in the form written.
struct PromSample {
    std::string name;
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
    // The value of a label, or "".
    std::string Label(std::string_view label) const;
};
bool ParsePromSample(std::string_view line, PromSample& out);
