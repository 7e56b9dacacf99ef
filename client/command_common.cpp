// What the service commands share; see service_commands.h.
#include <cstring>
#include <ctime>

#include "client/service_commands.h"
#include "pal/console.h"
#include "pal/json.h"

namespace zctl {

bool ParsedArgs::Has(const std::string& name) const {
    for (const auto& o : options)
        if (o.first == name) return true;
    return false;
}

std::string ParsedArgs::Get(const std::string& name) const {
    std::string value;
    for (const auto& o : options)
        if (o.first == name) value = o.second;
    return value;
}

bool ParseArgs(const std::vector<std::string>& args, std::initializer_list<const char*> flags,
               std::initializer_list<const char*> valued, ParsedArgs& out, std::string& error,
               const RuleKind* ruleKind) {
    ArgScanner scan(args);
    bool optionsDone = false;
    while (!scan.Done()) {
        std::string name, inlineValue;
        bool hasInline = false;
        scan.Next(name, inlineValue, hasInline);
        if (optionsDone || name.empty() || name[0] != '-' || name == "-") {
            out.positional.push_back(hasInline ? name + "=" + inlineValue : name);
            continue;
        }
        if (name == "--" && !hasInline) {
            optionsDone = true;
            continue;
        }
        if (name == "-h") name = "--help";
        bool isFlag = name == "--help", isValued = false;
        for (const char* f : flags) isFlag = isFlag || name == f;
        for (const char* v : valued) isValued = isValued || name == v;
        bool ruleTakesValue = false;
        if (!isFlag && !isValued && ruleKind != nullptr && IsRuleOption(*ruleKind, name, ruleTakesValue)) {
            isFlag = !ruleTakesValue;
            isValued = ruleTakesValue;
        }
        if (isFlag) {
            if (hasInline) {
                error = "option '" + name + "' takes no value";
                return false;
            }
            out.options.emplace_back(name, "");
        } else if (isValued) {
            std::string value;
            if (!scan.Value(inlineValue, hasInline, value)) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            out.options.emplace_back(name, value);
        } else {
            error = "unknown option '" + OneLine(name) + "'";
            return false;
        }
    }
    return true;
}

bool ParseCommandArgs(const std::string& what, const std::vector<std::string>& args,
                      std::initializer_list<const char*> flags, std::initializer_list<const char*> valued,
                      const char* usage, ParsedArgs& out, std::FILE* outFile, std::FILE* err, int& status) {
    std::string error;
    status = 0;
    if (!ParseArgs(args, flags, valued, out, error)) {
        status = Failed(err, what, error);
        return false;
    }
    if (out.Has("--help")) {
        Write(outFile, usage);
        return false;
    }
    if (!out.positional.empty()) {
        status = Failed(err, what, "unexpected argument '" + OneLine(out.positional[0]) + "'");
        return false;
    }
    return true;
}

int Failed(std::FILE* err, const std::string& what, const std::string& text) {
    WriteError(err, what, text);
    return 1;
}

int FailedResult(std::FILE* err, const std::string& what, DWORD result) {
    return Failed(err, what, ResultWords(result));
}

bool ConnectOrSay(ServiceClient& client, const std::string& what, std::FILE* err) {
    DWORD rc = client.Connect();
    if (rc == 0) return true;
    Failed(err, what, ConnectWords(rc));
    return false;
}

std::string Table(const std::vector<std::vector<std::string>>& rows) {
    // Widths in terminal columns: a name in CJK or with accents lines up too.
    std::vector<std::vector<size_t>> cells(rows.size());
    std::vector<size_t> widths;
    for (size_t r = 0; r < rows.size(); ++r) {
        const auto& row = rows[r];
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i) {
            cells[r].push_back(PalDisplayWidth(OneLine(row[i])));
            if (cells[r][i] > widths[i]) widths[i] = cells[r][i];
        }
    }
    std::string text;
    for (size_t r = 0; r < rows.size(); ++r) {
        const auto& row = rows[r];
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += OneLine(row[i]);
            if (i + 1 < row.size()) line += std::string(widths[i] - cells[r][i] + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        text += line + "\n";
    }
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out;
    pal::json::Quote(out, text);
    return out;
}

std::string FileTimeText(ULONGLONG value) {
    if (value == 0) return "-";
    constexpr ULONGLONG kUnixEpoch = 116444736000000000ULL;
    if (value < kUnixEpoch) return std::to_string(value);
    std::time_t seconds = static_cast<std::time_t>((value - kUnixEpoch) / 10000000ULL);
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr) return std::to_string(value);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string CpuSecondsText(ULONGLONG hundredNs) {
    ULONGLONG hundredths = hundredNs / 100000ULL;
    ULONGLONG cents = hundredths % 100;
    return std::to_string(hundredths / 100) + (cents < 10 ? ".0" : ".") + std::to_string(cents);
}

}  // namespace zctl
