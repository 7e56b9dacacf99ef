// Readable rule settings; see rule_options.h.
#include "client/rule_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "client/output.h"
#include "client/service_client.h"
#include "wire/priority.h"
#include "pal/json.h"

namespace zctl {

namespace {

struct PriorityName {
    const char* word;
    DWORD number;
};

// The canonical number of each class (db/priority.h).
const PriorityName kPriorities[] = {
    {"idle", 4}, {"below-normal", 6}, {"normal", 8}, {"above-normal", 10}, {"high", 13}, {"realtime", 24},
};

struct Unit {
    const char* name;
    ULONGLONG factor;
};

const Unit kSizeUnits[] = {
    {"", 1ULL},           {"b", 1ULL},           {"k", 1ULL << 10},     {"kb", 1ULL << 10}, {"kib", 1ULL << 10},
    {"m", 1ULL << 20},    {"mb", 1ULL << 20},    {"mib", 1ULL << 20},   {"g", 1ULL << 30},  {"gb", 1ULL << 30},
    {"gib", 1ULL << 30},  {"t", 1ULL << 40},     {"tb", 1ULL << 40},    {"tib", 1ULL << 40},
};

// 100-ns units per unit.
const Unit kTimeUnits[] = {
    {"", 10000000ULL},  {"ms", 10000ULL},        {"s", 10000000ULL},     {"sec", 10000000ULL},
    {"m", 600000000ULL}, {"min", 600000000ULL},  {"h", 36000000000ULL},  {"d", 864000000000ULL},
};

std::string Quoted(std::string_view text) { return "'" + OneLine(text) + "'"; }

// Leading decimal digits of text into value (no overflow); the rest in unit.
bool SplitNumber(std::string_view text, ULONGLONG& value, std::string& unit) {
    size_t i = 0;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ULONGLONG digit = static_cast<ULONGLONG>(text[i] - '0');
        if (value > (~0ULL - digit) / 10) return false;
        value = value * 10 + digit;
        ++i;
    }
    if (i == 0) return false;
    unit = ToLowerAscii(text.substr(i));
    return true;
}

bool ScaledValue(std::string_view text, const Unit* units, size_t unitCount, ULONGLONG limit, const char* what,
                 const char* unitsHelp, ULONGLONG& out, std::string& error) {
    ULONGLONG number = 0;
    std::string unit;
    if (!SplitNumber(text, number, unit)) {
        error = "bad " + std::string(what) + " " + Quoted(text) + " (a whole number with " + unitsHelp + ")";
        return false;
    }
    for (size_t i = 0; i < unitCount; ++i) {
        if (unit != units[i].name) continue;
        if (number == 0) {
            error = std::string(what) + " " + Quoted(text) + " must be above zero";
            return false;
        }
        if (number > limit / units[i].factor) {
            error = std::string(what) + " " + Quoted(text) + " is too large";
            return false;
        }
        out = number * units[i].factor;
        return true;
    }
    error = "bad " + std::string(what) + " unit in " + Quoted(text) + " (" + unitsHelp + ")";
    return false;
}

// The shortest exact text of value in the largest unit that divides it.
std::string ExactText(ULONGLONG value, const Unit* units, size_t count) {
    for (size_t i = count; i-- > 0;)
        if (value % units[i].factor == 0) return std::to_string(value / units[i].factor) + units[i].name;
    return std::to_string(value);
}

// ---- the option table ---------------------------------------------------

enum Field {
    FPriority,
    FAffinity,
    FWorkingSet,
    FGroup,
    FMaxProcs,
    FProcTime,
    FGroupTime,
    FProcMem,
    FGroupMem,
    FSchedClass,
    FDescription,
    FFlagOnly,
};

constexpr unsigned kProc = 1, kGroup = 2;

struct RuleOption {
    const char* name;  // without "--"
    unsigned kinds;
    Field field;
    DWORD bit;
    const char* help;
};

const RuleOption kRuleOptions[] = {
    {"priority", kProc | kGroup, FPriority, ApplyPriority,
     "idle, below-normal, normal, above-normal, high, realtime, or 1-31"},
    {"affinity", kProc | kGroup, FAffinity, ApplyAffinity, "CPU list such as 0-3,6"},
    {"working-set", kProc | kGroup, FWorkingSet, ApplyWorkingSet, "MIN,MAX sizes such as 64M,256M"},
    {"group", kProc, FGroup, JoinGroup, "NAME: the processes join that group"},
    {"max-procs", kGroup, FMaxProcs, LimitProcessCount, "N: most processes running in the group at once"},
    {"proc-time", kGroup, FProcTime, LimitProcTime, "CPU time per process, such as 30s"},
    {"group-time", kGroup, FGroupTime, LimitGroupTime, "CPU time of the whole group, such as 5m"},
    {"proc-mem", kGroup, FProcMem, LimitProcMemory, "memory per process, such as 512M"},
    {"group-mem", kGroup, FGroupMem, LimitGroupMemory, "memory of the whole group, such as 2G"},
    {"sched-class", kGroup, FSchedClass, LimitSchedClass, "scheduling class 0-9"},
    {"remove-when-empty", kGroup, FFlagOnly, RemoveWhenEmpty, "remove the group when its last process ends"},
    {"post-at-end", kGroup, FFlagOnly, PostAtEndOfJob, "at the group time limit report instead of ending"},
    {"breakaway", kGroup, FFlagOnly, BreakawayOk, "children may be started outside the group"},
    {"silent-breakaway", kGroup, FFlagOnly, SilentBreakawayOk, "children are started outside the group"},
    {"die-on-exception", kGroup, FFlagOnly, DieOnUnhandledException, "no error dialog: a crash ends the process"},
    {"description", kProc | kGroup, FDescription, 0, "TEXT, up to 63 characters"},
};

unsigned KindBit(RuleKind kind) { return kind == RuleKind::Process ? kProc : kGroup; }

const RuleOption* FindOption(RuleKind kind, const std::string& option, bool& negated) {
    negated = false;
    if (option.rfind("--", 0) != 0) return nullptr;
    std::string name = option.substr(2);
    if (name.rfind("no-", 0) == 0) {
        negated = true;
        name = name.substr(3);
    }
    for (const RuleOption& o : kRuleOptions) {
        if (name != o.name || (o.kinds & KindBit(kind)) == 0) continue;
        if (negated && o.field == FDescription) return nullptr;
        return &o;
    }
    return nullptr;
}

void ClearField(Field field, RuleEdit& e) {
    MgmtData& m = e.mgmt;
    switch (field) {
    case FPriority: m.priority = 0; break;
    case FAffinity: m.affinity = 0; break;
    case FWorkingSet: m.minWorkingSet = m.maxWorkingSet = 0; break;
    case FGroup: std::memset(e.memberOf, 0, sizeof(e.memberOf)); break;
    case FMaxProcs: m.processCount = 0; break;
    case FProcTime: m.procTimeLimit = 0; break;
    case FGroupTime: m.groupTimeLimit = 0; break;
    case FProcMem: m.procMemoryLimit = 0; break;
    case FGroupMem: m.groupMemoryLimit = 0; break;
    case FSchedClass: m.schedClass = 0; break;
    case FDescription:
    case FFlagOnly: break;
    }
}

void AddItem(std::string& text, const std::string& item) {
    if (!text.empty()) text += ' ';
    text += item;
}

void AddJson(std::string& text, const char* name, const std::string& literal) {
    if (!text.empty()) text += ", ";
    pal::json::Quote(text, name);
    text += ": " + literal;
}

std::string JsonText(const std::string& s) {
    std::string out;
    pal::json::Quote(out, s);
    return out;
}

}  // namespace

bool ParsePriority(std::string_view text, DWORD& number, std::string& error) {
    std::string word = ToLowerAscii(text);
    for (char& c : word)
        if (c == '_') c = '-';
    for (const PriorityName& p : kPriorities) {
        if (word == p.word) {
            number = p.number;
            return true;
        }
    }
    ULONGLONG n = 0;
    std::string unit;
    if (SplitNumber(text, n, unit) && unit.empty() && n >= 1 && n <= 31) {
        number = static_cast<DWORD>(n);
        return true;
    }
    error = "bad priority " + Quoted(text) +
            " (idle, below-normal, normal, above-normal, high, realtime, or a number 1-31)";
    return false;
}

std::string PriorityWord(DWORD number) {
    if (number == 0) return "none";
    DWORD canonical = CanonicalPriority(number);
    for (const PriorityName& p : kPriorities)
        if (p.number == canonical) return p.word;
    return std::to_string(number);
}

bool ParseCpuList(std::string_view text, ULONGLONG& mask, std::string& error) {
    std::string lower = ToLowerAscii(text);
    if (lower.rfind("0x", 0) == 0 && lower.size() > 2 && lower.size() <= 18 &&
        lower.find_first_not_of("0123456789abcdef", 2) == std::string::npos) {
        mask = std::strtoull(lower.c_str() + 2, nullptr, 16);
        if (mask != 0) return true;
    }
    mask = 0;
    std::vector<std::string> items = SplitList(text, ',');
    if (items.empty() || text.find(",,") != std::string_view::npos || text.back() == ',' || text.front() == ',') {
        error = "bad CPU list " + Quoted(text) + " (CPU numbers and ranges such as 0-3,6)";
        return false;
    }
    for (const std::string& item : items) {
        size_t dash = item.find('-');
        ULONGLONG first = 0, last = 0;
        std::string rest;
        bool ok = dash == std::string::npos
                      ? SplitNumber(item, first, rest) && rest.empty()
                      : SplitNumber(item.substr(0, dash), first, rest) && rest.empty() &&
                            SplitNumber(item.substr(dash + 1), last, rest) && rest.empty();
        if (dash == std::string::npos) last = first;
        if (!ok) {
            error = "bad CPU list " + Quoted(text) + " (CPU numbers and ranges such as 0-3,6)";
            return false;
        }
        if (first > last) {
            error = "bad CPU range " + Quoted(item) + " in the CPU list (the first CPU comes first)";
            return false;
        }
        if (last > 63) {
            error = "CPU " + std::to_string(last) + " in " + Quoted(text) + " is beyond the last CPU a rule can name (63)";
            return false;
        }
        for (ULONGLONG cpu = first; cpu <= last; ++cpu) mask |= 1ULL << cpu;
    }
    return true;
}

std::string CpuListText(ULONGLONG mask) {
    if (mask == 0) return "none";
    std::string text;
    for (int cpu = 0; cpu < 64;) {
        if ((mask & (1ULL << cpu)) == 0) {
            ++cpu;
            continue;
        }
        int last = cpu;
        while (last + 1 < 64 && (mask & (1ULL << (last + 1))) != 0) ++last;
        if (!text.empty()) text += ',';
        text += std::to_string(cpu);
        if (last > cpu) text += "-" + std::to_string(last);
        cpu = last + 1;
    }
    return text;
}

bool ParseSize(std::string_view text, ULONGLONG& bytes, std::string& error) {
    return ScaledValue(text, kSizeUnits, std::size(kSizeUnits), ~0ULL, "size", "K, M, G or T", bytes, error);
}

std::string SizeText(ULONGLONG bytes) {
    const Unit units[] = {{"", 1ULL}, {"K", 1ULL << 10}, {"M", 1ULL << 20}, {"G", 1ULL << 30}, {"T", 1ULL << 40}};
    if (bytes == 0) return "0";
    return ExactText(bytes, units, std::size(units));
}

bool ParseDuration(std::string_view text, LONGLONG& hundredNs, std::string& error) {
    ULONGLONG value = 0;
    if (!ScaledValue(text, kTimeUnits, std::size(kTimeUnits), 0x7FFFFFFFFFFFFFFFULL, "duration", "ms, s, m, h or d",
                     value, error))
        return false;
    hundredNs = static_cast<LONGLONG>(value);
    return true;
}

std::string DurationText(LONGLONG hundredNs) {
    const Unit units[] = {{"x100ns", 1ULL}, {"ms", 10000ULL}, {"s", 10000000ULL}, {"m", 600000000ULL},
                          {"h", 36000000000ULL}};
    if (hundredNs <= 0) return std::to_string(hundredNs);
    return ExactText(static_cast<ULONGLONG>(hundredNs), units, std::size(units));
}

bool ParseWorkingSet(std::string_view text, ULONGLONG& minimum, ULONGLONG& maximum, std::string& error) {
    size_t comma = text.find(',');
    if (comma == std::string_view::npos) {
        error = "bad working set " + Quoted(text) + " (MIN,MAX such as 64M,256M)";
        return false;
    }
    if (!ParseSize(text.substr(0, comma), minimum, error) || !ParseSize(text.substr(comma + 1), maximum, error))
        return false;
    // The service applies only a minimum above 0 and a maximum above it.
    if (minimum == 0 || minimum >= maximum) {
        error = "working set " + Quoted(text) + ": the minimum must be above 0 and below the maximum";
        return false;
    }
    return true;
}

bool ParseNumber(std::string_view text, ULONGLONG low, ULONGLONG high, ULONGLONG& out, std::string& error) {
    ULONGLONG n = 0;
    std::string rest;
    if (!SplitNumber(text, n, rest) || !rest.empty() || n < low || n > high) {
        error = "bad number " + Quoted(text) + " (" + std::to_string(low) + "-" + std::to_string(high) + ")";
        return false;
    }
    out = n;
    return true;
}

bool IsRuleOption(RuleKind kind, const std::string& option, bool& takesValue) {
    bool negated = false;
    const RuleOption* o = FindOption(kind, option, negated);
    if (o == nullptr) return false;
    takesValue = !negated && o->field != FFlagOnly;
    return true;
}

bool ApplyRuleOption(RuleKind kind, const std::string& option, const std::string& value, RuleEdit& e,
                     std::string& error) {
    bool negated = false;
    const RuleOption* o = FindOption(kind, option, negated);
    if (o == nullptr) {
        error = "unknown option '" + option + "'";
        return false;
    }
    MgmtData& m = e.mgmt;
    if (negated) {
        ClearField(o->field, e);
        m.mgmtFlags &= ~o->bit;
        return true;
    }
    std::string reason;
    ULONGLONG n = 0;
    bool ok = true;
    switch (o->field) {
    // MgmtData is packed: parse into locals, never into its fields by reference.
    case FPriority: {
        DWORD v = 0;
        ok = ParsePriority(value, v, reason);
        if (ok) m.priority = v;
        break;
    }
    case FAffinity: {
        ULONGLONG v = 0;
        ok = ParseCpuList(value, v, reason);
        if (ok) m.affinity = v;
        break;
    }
    case FWorkingSet: {
        ULONGLONG lo = 0, hi = 0;
        ok = ParseWorkingSet(value, lo, hi, reason);
        if (ok) {
            m.minWorkingSet = lo;
            m.maxWorkingSet = hi;
        }
        break;
    }
    case FGroup:
        ok = !value.empty() && SetField(e.memberOf, kNameUnits, value);
        if (!ok) reason = "bad group name '" + OneLine(value) + "' (1 to 63 characters)";
        break;
    case FMaxProcs:
        ok = ParseNumber(value, 1, 0xFFFFFFFFULL, n, reason);
        if (ok) m.processCount = static_cast<DWORD>(n);
        break;
    case FProcTime:
    case FGroupTime: {
        LONGLONG v = 0;
        ok = ParseDuration(value, v, reason);
        if (ok && v < 10000000) {
            // The service refuses a time limit under a second.
            ok = false;
            reason = "time limit " + Quoted(value) + " is under the least of 1s";
        }
        if (ok) {
            if (o->field == FProcTime) m.procTimeLimit = v;
            else m.groupTimeLimit = v;
        }
        break;
    }
    case FProcMem:
    case FGroupMem: {
        ULONGLONG v = 0;
        ok = ParseSize(value, v, reason);
        if (ok) {
            if (o->field == FProcMem) m.procMemoryLimit = v;
            else m.groupMemoryLimit = v;
        }
        break;
    }
    case FSchedClass:
        ok = ParseNumber(value, 0, 9, n, reason);
        if (ok) m.schedClass = static_cast<DWORD>(n);
        break;
    case FDescription:
        ok = SetField(m.description, kNameUnits, value);
        if (!ok) reason = "description too long (63 characters at most)";
        break;
    case FFlagOnly: break;
    }
    if (!ok) {
        error = option + ": " + reason;
        return false;
    }
    m.mgmtFlags |= o->bit;
    return true;
}

std::string RuleOptionsHelp(RuleKind kind) {
    std::string text;
    for (const RuleOption& o : kRuleOptions) {
        if ((o.kinds & KindBit(kind)) == 0) continue;
        std::string name = std::string("  --") + o.name;
        if (o.field != FFlagOnly) name += o.field == FDescription ? " TEXT" : o.field == FGroup ? " NAME" : " VALUE";
        text += name + std::string(name.size() < 30 ? 30 - name.size() : 1, ' ') + o.help + "\n";
    }
    text += "  --no-OPTION                 clear that setting (--no-priority, ...)\n";
    return text;
}

std::string SettingsText(RuleKind kind, const MgmtData& m, const WCHAR* memberOf) {
    std::string text;
    DWORD f = m.mgmtFlags;
    if (f & JoinGroup) AddItem(text, "group=" + (memberOf != nullptr ? FieldText(memberOf, kNameUnits) : ""));
    if (f & ApplyPriority) AddItem(text, "priority=" + PriorityWord(m.priority));
    if (f & ApplyAffinity) AddItem(text, "affinity=" + CpuListText(m.affinity));
    if (f & ApplyWorkingSet) AddItem(text, "working-set=" + SizeText(m.minWorkingSet) + "," + SizeText(m.maxWorkingSet));
    if (kind == RuleKind::Group) {
        if (f & LimitProcessCount) AddItem(text, "max-procs=" + std::to_string(m.processCount));
        if (f & LimitProcTime) AddItem(text, "proc-time=" + DurationText(m.procTimeLimit));
        if (f & LimitGroupTime) AddItem(text, "group-time=" + DurationText(m.groupTimeLimit));
        if (f & LimitProcMemory) AddItem(text, "proc-mem=" + SizeText(m.procMemoryLimit));
        if (f & LimitGroupMemory) AddItem(text, "group-mem=" + SizeText(m.groupMemoryLimit));
        if (f & LimitSchedClass) AddItem(text, "sched-class=" + std::to_string(m.schedClass));
        if (f & RemoveWhenEmpty) AddItem(text, "remove-when-empty");
        if (f & PostAtEndOfJob) AddItem(text, "post-at-end");
        if (f & BreakawayOk) AddItem(text, "breakaway");
        if (f & SilentBreakawayOk) AddItem(text, "silent-breakaway");
        if (f & DieOnUnhandledException) AddItem(text, "die-on-exception");
    }
    if (f & MgmtDataMissing) AddItem(text, "(no stored settings)");
    if (f & MgmtDataInvalid) AddItem(text, "(stored settings unreadable)");
    return text.empty() ? "-" : text;
}

std::string SettingsJson(RuleKind kind, const MgmtData& m, const WCHAR* memberOf) {
    std::string text;
    DWORD f = m.mgmtFlags;
    AddJson(text, "mgmtFlags", std::to_string(f));
    if (kind == RuleKind::Process && memberOf != nullptr)
        AddJson(text, "group", (f & JoinGroup) ? JsonText(FieldText(memberOf, kNameUnits)) : "null");
    AddJson(text, "priority", (f & ApplyPriority) ? std::to_string(m.priority) : "null");
    AddJson(text, "priorityClass", (f & ApplyPriority) ? JsonText(PriorityWord(m.priority)) : "null");
    AddJson(text, "affinity", (f & ApplyAffinity) ? std::to_string(m.affinity) : "null");
    AddJson(text, "cpus", (f & ApplyAffinity) ? JsonText(CpuListText(m.affinity)) : "null");
    AddJson(text, "minWorkingSet", (f & ApplyWorkingSet) ? std::to_string(m.minWorkingSet) : "null");
    AddJson(text, "maxWorkingSet", (f & ApplyWorkingSet) ? std::to_string(m.maxWorkingSet) : "null");
    if (kind == RuleKind::Group) {
        AddJson(text, "maxProcesses", (f & LimitProcessCount) ? std::to_string(m.processCount) : "null");
        AddJson(text, "procTimeLimit", (f & LimitProcTime) ? std::to_string(m.procTimeLimit) : "null");
        AddJson(text, "groupTimeLimit", (f & LimitGroupTime) ? std::to_string(m.groupTimeLimit) : "null");
        AddJson(text, "procMemoryLimit", (f & LimitProcMemory) ? std::to_string(m.procMemoryLimit) : "null");
        AddJson(text, "groupMemoryLimit", (f & LimitGroupMemory) ? std::to_string(m.groupMemoryLimit) : "null");
        AddJson(text, "schedClass", (f & LimitSchedClass) ? std::to_string(m.schedClass) : "null");
        AddJson(text, "removeWhenEmpty", (f & RemoveWhenEmpty) ? "true" : "false");
        AddJson(text, "postAtEnd", (f & PostAtEndOfJob) ? "true" : "false");
        AddJson(text, "breakaway", (f & BreakawayOk) ? "true" : "false");
        AddJson(text, "silentBreakaway", (f & SilentBreakawayOk) ? "true" : "false");
        AddJson(text, "dieOnException", (f & DieOnUnhandledException) ? "true" : "false");
    }
    return text;
}

}  // namespace zctl
