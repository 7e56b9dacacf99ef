// zembrikctl export and apply: the alias list, the process and group rules
// and the service parameters as one JSON document, and the ordinary requests
// that make the service match such a document. A document is checked whole
// before the first request. Rules compare by their document line, so what
// the service already holds is never sent again.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "client/service_commands.h"
#include "pal/error.h"
#include "pal/json.h"
#include "pal/strings.h"

namespace zctl {

const char kExportSummary[] = "write the rules and parameters as one JSON document";
const char kApplySummary[] = "make the rules and parameters match a document";

namespace {

using pal::json::Kind;
using pal::json::Value;

const char kExportUsage[] =
    "Usage: zembrikctl export\n"
    "\n"
    "Writes the service parameters, the alias rules (in order, without the\n"
    "default rule), the process rules and the group rules as one JSON\n"
    "document: one rule a line, in a stable order, so that two exports compare\n"
    "with diff. `zembrikctl apply` takes the document back.\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

const char kApplyUsage[] =
    "Usage: zembrikctl apply FILE [--dry-run]\n"
    "\n"
    "Makes the service match a document as `zembrikctl export` writes it (FILE,\n"
    "or - for standard input): rules are added, replaced and deleted, and the\n"
    "alias list is edited until it holds the document's rules in its order.\n"
    "A section the document leaves out is left as it is. The whole document is\n"
    "checked first; a bad one changes nothing. Each change is printed as it is\n"
    "made (+ added, ~ replaced, - deleted); when the service already matches,\n"
    "nothing is printed and nothing is changed.\n"
    "\n"
    "Options:\n"
    "  --dry-run    print the changes without making them\n"
    "  -h, --help   this text\n";

constexpr int64_t kDocumentVersion = 1;
// Larger than any rules document; a mistaken path is not read for ever.
constexpr size_t kMaxDocumentBytes = 16u << 20;
// Rounds of read, compare and change before apply gives up on lists that
// other clients keep changing.
constexpr int kApplyRounds = 5;

// The rules and parameters of a document or of the service. A section a
// document leaves out is not compared.
struct RuleSet {
    bool hasParameters = false, hasAliases = false, hasProcRules = false, hasGroupRules = false;
    DWORD pollSeconds = 0;  // 0: not given
    DWORD pipeTimeOut = 0;  // ms; 0: not given
    std::vector<NameRule> aliases;  // without the default rule
    std::vector<ProcSummary> procRules;
    std::vector<JobSummary> groupRules;
};

const WCHAR* MemberOf(const ProcSummary& s) { return s.memberOf; }
const WCHAR* MemberOf(const JobSummary&) { return nullptr; }
WCHAR* MemberOf(ProcSummary& s) { return s.memberOf; }
WCHAR* MemberOf(JobSummary&) { return nullptr; }
RuleKind KindOf(const ProcSummary&) { return RuleKind::Process; }
RuleKind KindOf(const JobSummary&) { return RuleKind::Group; }

// ---- document lines ----------------------------------------------------

// A flat JSON object on one line.
std::string Line(const Value& object) {
    std::string text = "{";
    for (size_t i = 0; i < object.members.size(); ++i) {
        if (i > 0) text += ", ";
        pal::json::Quote(text, object.members[i].first);
        text += ": " + pal::json::Serialize(object.members[i].second);
    }
    return text + "}";
}

// A rule's document line: the fields of `rules get --json` that are set,
// without the flag word, the readable copies of priority and affinity, and
// the management value's name (the list holds the default block only).
template <typename Summary>
std::string RuleLine(const Summary& s) {
    Value all, kept;
    pal::json::Parse(RuleJson(KindOf(s), s, MemberOf(s)), all);
    kept.kind = Kind::Object;
    for (const pal::json::Member& m : all.members) {
        const Value& v = m.second;
        bool unset = v.kind == Kind::Null || (v.kind == Kind::Bool && !v.boolean) ||
                     (v.kind == Kind::String && v.text.empty() && m.first == "description");
        bool derived = m.first == "mgmtName" || m.first == "mgmtFlags" || m.first == "priorityClass" ||
                       m.first == "cpus";
        if (!unset && !derived) kept.members.push_back(m);
    }
    return Line(kept);
}

std::string AliasLine(const NameRule& r) {
    return "{\"type\": " + JsonString(MatchTypeText(r.matchType)) + ", \"match\": " + JsonString(FieldText(r.match, 64)) +
           ", \"name\": " + JsonString(FieldText(r.name, 64)) +
           ", \"description\": " + JsonString(FieldText(r.description, 64)) + "}";
}

// "P *x* -> X" for the change lines.
std::string AliasText(const NameRule& r) {
    return OneLine(MatchTypeText(r.matchType) + " " + FieldText(r.match, 64) + " -> " + FieldText(r.name, 64));
}

std::string Section(const char* name, const std::vector<std::string>& lines, bool last) {
    std::string text = "  \"" + std::string(name) + "\": [";
    for (size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? ",\n    " : "\n    ") + lines[i];
    text += lines.empty() ? "]" : "\n  ]";
    return text + (last ? "\n" : ",\n");
}

std::string DocumentText(const RuleSet& s) {
    std::vector<std::string> aliases, procs, groups;
    for (const NameRule& r : s.aliases) aliases.push_back(AliasLine(r));
    for (const ProcSummary& r : s.procRules) procs.push_back(RuleLine(r));
    for (const JobSummary& r : s.groupRules) groups.push_back(RuleLine(r));
    return "{\n  \"version\": " + std::to_string(kDocumentVersion) + ",\n  \"parameters\": {\"pollSeconds\": " +
           std::to_string(s.pollSeconds) + ", \"pipeTimeOutMs\": " + std::to_string(s.pipeTimeOut) + "},\n" +
           Section("aliases", aliases, false) + Section("processRules", procs, false) +
           Section("groupRules", groups, true) + "}\n";
}

// ---- reading a document ------------------------------------------------

// How a document field becomes the rule option that sets it.
enum class DocValue { Text, Flag, Number, Mask, Time, WorkingSet };

struct DocField {
    const char* key;     // as `rules get --json` names it
    const char* option;  // the rule option whose checks it shares
    DocValue how;
};

const DocField kDocFields[] = {
    {"description", "--description", DocValue::Text},
    {"group", "--group", DocValue::Text},
    {"priority", "--priority", DocValue::Number},
    {"affinity", "--affinity", DocValue::Mask},
    {"minWorkingSet", "--working-set", DocValue::WorkingSet},
    {"maxWorkingSet", "--working-set", DocValue::WorkingSet},
    {"maxProcesses", "--max-procs", DocValue::Number},
    {"procTimeLimit", "--proc-time", DocValue::Time},
    {"groupTimeLimit", "--group-time", DocValue::Time},
    {"procMemoryLimit", "--proc-mem", DocValue::Number},
    {"groupMemoryLimit", "--group-mem", DocValue::Number},
    {"schedClass", "--sched-class", DocValue::Number},
    {"removeWhenEmpty", "--remove-when-empty", DocValue::Flag},
    {"postAtEnd", "--post-at-end", DocValue::Flag},
    {"breakaway", "--breakaway", DocValue::Flag},
    {"silentBreakaway", "--silent-breakaway", DocValue::Flag},
    {"dieOnException", "--die-on-exception", DocValue::Flag},
};

bool Fail(std::string& error, const std::string& text) {
    error = text;
    return false;
}

bool UniqueKeys(const Value& object, std::string& error) {
    for (size_t i = 0; i < object.members.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (object.members[i].first == object.members[j].first)
                return Fail(error, "field '" + OneLine(object.members[i].first) + "' given twice");
    return true;
}

bool WholeNumber(const Value& v, const std::string& key, ULONGLONG& n, std::string& error) {
    uint64_t u = 0;
    if (v.kind != Kind::Number || !v.AsUint64(u)) return Fail(error, key + ": a whole number is needed");
    n = u;
    return true;
}

bool StringField(const Value& object, const char* key, bool required, std::string& text, std::string& error) {
    const Value* v = object.Find(key);
    if (v == nullptr && !required) return true;
    if (v == nullptr || v->kind != Kind::String) return Fail(error, std::string(key) + ": a string is needed");
    text = v->text;
    return true;
}

const char kNameRules[] = "1 to 63 characters, no \\ , or \", no blank at either end";

template <typename Summary>
bool ParseRule(const Value& v, Summary& out, std::string& error) {
    RuleKind kind = KindOf(out);
    if (v.kind != Kind::Object) return Fail(error, "a rule is a JSON object");
    if (!UniqueKeys(v, error)) return false;
    std::string name;
    if (!StringField(v, "name", true, name, error)) return false;
    if (!SetField(out.name, kNameUnits, name) || !IsValidName(out.name, false))
        return Fail(error, "bad name '" + OneLine(name) + "' (" + kNameRules + ")");
    const Value* minWs = v.Find("minWorkingSet");
    const Value* maxWs = v.Find("maxWorkingSet");
    RuleEdit edit;
    for (const pal::json::Member& m : v.members) {
        if (m.first == "name") continue;
        const DocField* f = nullptr;
        for (const DocField& d : kDocFields) f = m.first == d.key ? &d : f;
        bool takesValue = false;
        if (f == nullptr || !IsRuleOption(kind, f->option, takesValue))
            return Fail(error, "unknown field '" + OneLine(m.first) + "'");
        const Value& value = m.second;
        if (value.kind == Kind::Null) continue;  // not set
        std::string text;
        ULONGLONG n = 0, most = 0;
        switch (f->how) {
        case DocValue::Text:
            if (value.kind != Kind::String) return Fail(error, m.first + ": a string is needed");
            text = value.text;
            break;
        case DocValue::Flag:
            if (value.kind != Kind::Bool) return Fail(error, m.first + ": true or false is needed");
            if (!value.boolean) continue;
            break;
        case DocValue::Number:
            if (!WholeNumber(value, m.first, n, error)) return false;
            text = std::to_string(n);
            break;
        case DocValue::Mask: {
            if (!WholeNumber(value, m.first, n, error)) return false;
            char hex[24];
            std::snprintf(hex, sizeof(hex), "0x%llx", static_cast<unsigned long long>(n));
            text = hex;
            break;
        }
        case DocValue::Time:
            if (!WholeNumber(value, m.first, n, error)) return false;
            if (n > 0x7FFFFFFFFFFFFFFFULL) return Fail(error, m.first + ": too large");
            // Milliseconds are the finest unit the option takes; the exact
            // value is set once the option has checked it.
            text = std::to_string(n / 10000) + "ms";
            break;
        case DocValue::WorkingSet:
            // Both bounds are one setting, taken at the minimum.
            if (minWs == nullptr || minWs->kind == Kind::Null || maxWs == nullptr || maxWs->kind == Kind::Null)
                return Fail(error, "minWorkingSet and maxWorkingSet go together");
            if (&value == maxWs) continue;
            if (!WholeNumber(value, m.first, n, error) || !WholeNumber(*maxWs, "maxWorkingSet", most, error))
                return false;
            text = std::to_string(n) + "," + std::to_string(most);
            break;
        }
        if (!ApplyRuleOption(kind, f->option, text, edit, error)) {
            // The option's reason under the field's name.
            error = m.first + error.substr(std::strlen(f->option));
            return false;
        }
        if (f->how == DocValue::Time) {
            if (f->option[2] == 'p') edit.mgmt.procTimeLimit = static_cast<LONGLONG>(n);
            else edit.mgmt.groupTimeLimit = static_cast<LONGLONG>(n);
        }
    }
    if ((edit.mgmt.mgmtFlags & JoinGroup) != 0 && !IsValidName(edit.memberOf, false))
        return Fail(error, "group: bad group name '" + OneLine(FieldText(edit.memberOf, kNameUnits)) + "' (" +
                               kNameRules + ")");
    out.mgmt = edit.mgmt;
    if (WCHAR* member = MemberOf(out); member != nullptr) std::memcpy(member, edit.memberOf, sizeof(edit.memberOf));
    return true;
}

bool ParseAlias(const Value& v, NameRule& out, std::string& error) {
    if (v.kind != Kind::Object) return Fail(error, "an alias rule is a JSON object");
    if (!UniqueKeys(v, error)) return false;
    for (const pal::json::Member& m : v.members)
        if (m.first != "type" && m.first != "match" && m.first != "name" && m.first != "description")
            return Fail(error, "unknown field '" + OneLine(m.first) + "'");
    std::string type, match, name, description;
    if (!StringField(v, "type", true, type, error) || !StringField(v, "match", true, match, error) ||
        !StringField(v, "name", true, name, error) || !StringField(v, "description", false, description, error))
        return false;
    type = ToLowerAscii(type);
    if (type != "a" && type != "d" && type != "p") return Fail(error, "type: bad match type '" + OneLine(type) + "' (A, D or P)");
    out.matchType = static_cast<WCHAR>(type[0] - 'a' + 'A');
    if (!SetField(out.match, 64, match) || out.match[0] == 0)
        return Fail(error, "match: the pattern must have 1 to 63 characters");
    if (!SetField(out.name, 64, name) || !IsValidName(out.name, false))
        return Fail(error, "bad name template '" + OneLine(name) + "' (" + kNameRules + ")");
    if (!SetField(out.description, 64, description)) return Fail(error, "description: 63 characters at most");
    return true;
}

bool ParseParameters(const Value& v, RuleSet& doc, std::string& error) {
    if (v.kind != Kind::Object) return Fail(error, "parameters: a JSON object is needed");
    if (!UniqueKeys(v, error)) return false;
    for (const pal::json::Member& m : v.members) {
        bool poll = m.first == "pollSeconds";
        if (!poll && m.first != "pipeTimeOutMs") return Fail(error, "parameters: unknown field '" + OneLine(m.first) + "'");
        ULONGLONG n = 0, least = poll ? kPollSecondsLeast : kPipeTimeOutLeastMs;
        ULONGLONG most = poll ? kPollSecondsMost : kPipeTimeOutMostMs;
        if (!WholeNumber(m.second, "parameters: " + m.first, n, error)) return false;
        if (n < least || n > most)
            return Fail(error, "parameters: " + m.first + ": " + std::to_string(n) + " is outside " +
                                   std::to_string(least) + "-" + std::to_string(most));
        (poll ? doc.pollSeconds : doc.pipeTimeOut) = static_cast<DWORD>(n);
    }
    doc.hasParameters = true;
    return true;
}

// The rules of one list: each checked, no name twice (names compare
// without case, as the service compares them).
template <typename Summary>
bool ParseRules(const Value& v, const std::string& section, std::vector<Summary>& out, std::string& error) {
    if (v.kind != Kind::Array) return Fail(error, section + ": a list is needed");
    for (size_t i = 0; i < v.items.size(); ++i) {
        std::string where = section + "[" + std::to_string(i) + "]";
        Summary s{};
        if (!ParseRule(v.items[i], s, error)) return Fail(error, where + ": " + error);
        for (const Summary& before : out)
            if (PalCompareNoCase(before.name, s.name, kNameCompareChars) == 0)
                return Fail(error, where + ": rule '" + OneLine(FieldText(s.name, kNameUnits)) + "' given twice");
        out.push_back(s);
    }
    return true;
}

bool ParseDocument(const std::string& text, RuleSet& doc, std::string& error) {
    Value root;
    size_t at = 0;
    if (!pal::json::Parse(text, root, &at)) return Fail(error, "not JSON (at byte " + std::to_string(at) + ")");
    if (root.kind != Kind::Object) return Fail(error, "the document is one JSON object");
    if (!UniqueKeys(root, error)) return false;
    const Value* version = root.Find("version");
    int64_t number = 0;
    if (version == nullptr || !version->AsInt64(number) || number != kDocumentVersion)
        return Fail(error, "version: " + std::to_string(kDocumentVersion) + " is needed");
    for (const pal::json::Member& m : root.members) {
        const Value& v = m.second;
        if (m.first == "version") continue;
        if (m.first == "parameters") {
            if (!ParseParameters(v, doc, error)) return false;
        } else if (m.first == "aliases") {
            if (v.kind != Kind::Array) return Fail(error, "aliases: a list is needed");
            for (size_t i = 0; i < v.items.size(); ++i) {
                NameRule r{};
                if (!ParseAlias(v.items[i], r, error)) return Fail(error, "aliases[" + std::to_string(i) + "]: " + error);
                doc.aliases.push_back(r);
            }
            doc.hasAliases = true;
        } else if (m.first == "processRules") {
            if (!ParseRules(v, m.first, doc.procRules, error)) return false;
            doc.hasProcRules = true;
        } else if (m.first == "groupRules") {
            if (!ParseRules(v, m.first, doc.groupRules, error)) return false;
            doc.hasGroupRules = true;
        } else {
            return Fail(error, "unknown field '" + OneLine(m.first) + "'");
        }
    }
    return true;
}

bool ReadFile(const std::string& path, std::string& text, std::string& error) {
    std::FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) return Fail(error, std::strerror(errno));
    char buf[65536];
    size_t n = 0;
    while (text.size() <= kMaxDocumentBytes && (n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    bool failed = std::ferror(f) != 0;
    if (f != stdin) std::fclose(f);
    if (failed) return Fail(error, std::strerror(errno));
    if (text.size() > kMaxDocumentBytes) return Fail(error, "larger than 16 MiB: no rules document");
    return true;
}

// ---- the service's state -----------------------------------------------

DWORD ReadState(ServiceClient& client, RuleSet& s) {
    ServiceInfo info{};
    DWORD rc = GetServiceInfo(client, info);
    if (rc != 0) return rc;
    s.hasParameters = s.hasAliases = s.hasProcRules = s.hasGroupRules = true;
    s.pollSeconds = info.pollSeconds;
    s.pipeTimeOut = info.pipeTimeOut;
    DWORD stamp = 0;
    rc = FetchNameRules(client, s.aliases, stamp);
    if (rc != 0) return rc;
    // The default rule is always last and never changed.
    if (!s.aliases.empty()) s.aliases.pop_back();
    rc = FetchProcSummaries(client, ProcSummary{}, 0, s.procRules);
    return rc != 0 ? rc : FetchGroupSummaries(client, JobSummary{}, 0, s.groupRules);
}

// ---- changes -----------------------------------------------------------

enum class Target { Parameters, Alias, ProcRule, GroupRule };

struct Change {
    Target target = Target::Parameters;
    BYTE operation = OpReplace;
    DWORD index = 0;  // aliases: the place in the list as the changes before left it
    DWORD pollSeconds = 0, pipeTimeOut = 0;
    NameRule alias{};
    ProcSummary proc{};
    JobSummary group{};
    std::string line;  // what is printed
};

// "+ rule x", "~ group y", "- rule z".
Change RuleChange(Target target, BYTE operation, const WCHAR* name) {
    Change c;
    c.target = target;
    c.operation = operation;
    c.line = std::string(operation == OpAdd ? "+" : operation == OpDelete ? "-" : "~") +
             (target == Target::ProcRule ? " rule " : " group ") + OneLine(FieldText(name, kNameUnits));
    return c;
}

Change RuleChange(BYTE operation, const ProcSummary& s) {
    Change c = RuleChange(Target::ProcRule, operation, s.name);
    c.proc = s;
    return c;
}

Change RuleChange(BYTE operation, const JobSummary& s) {
    Change c = RuleChange(Target::GroupRule, operation, s.name);
    c.group = s;
    return c;
}

Change AliasChange(BYTE operation, DWORD index, const NameRule& r) {
    Change c;
    c.target = Target::Alias;
    c.operation = operation;
    c.index = index;
    c.alias = r;
    c.line = std::string(operation == OpAdd ? "+" : operation == OpDelete ? "-" : "~") + " alias " +
             std::to_string(index) + ": " + AliasText(r);
    return c;
}

void PlanParameters(const RuleSet& doc, const RuleSet& now, std::vector<Change>& plan) {
    if (!doc.hasParameters) return;
    Change c;
    c.pollSeconds = doc.pollSeconds != 0 ? doc.pollSeconds : now.pollSeconds;
    c.pipeTimeOut = doc.pipeTimeOut != 0 ? doc.pipeTimeOut : now.pipeTimeOut;
    std::string what;
    if (c.pollSeconds != now.pollSeconds)
        what = "pollSeconds " + std::to_string(now.pollSeconds) + " -> " + std::to_string(c.pollSeconds);
    if (c.pipeTimeOut != now.pipeTimeOut)
        what += (what.empty() ? "" : ", ") + std::string("pipeTimeOutMs ") + std::to_string(now.pipeTimeOut) + " -> " +
                std::to_string(c.pipeTimeOut);
    if (what.empty()) return;
    c.line = "~ parameters: " + what;
    plan.push_back(c);
}

// The fewest alias edits: the rules both lists share in order stay; between
// them, rules are replaced in place, and the rest deleted or added.
void PlanAliases(const std::vector<NameRule>& want, const std::vector<NameRule>& have, std::vector<Change>& plan) {
    size_t n = have.size(), m = want.size();
    std::vector<std::string> h, w;
    for (const NameRule& r : have) h.push_back(AliasLine(r));
    for (const NameRule& r : want) w.push_back(AliasLine(r));
    // common[i][j]: the longest shared run of have[i..] and want[j..].
    std::vector<std::vector<unsigned>> common(n + 1, std::vector<unsigned>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            common[i][j] = h[i] == w[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    size_t i = 0, j = 0;
    DWORD at = 0;
    while (i < n || j < m) {
        if (i < n && j < m && h[i] == w[j]) {
            ++i, ++j, ++at;
            continue;
        }
        size_t i1 = i, j1 = j;
        while ((i1 < n || j1 < m) && !(i1 < n && j1 < m && h[i1] == w[j1])) {
            if (i1 < n && (j1 == m || common[i1 + 1][j1] >= common[i1][j1 + 1])) ++i1;
            else ++j1;
        }
        for (; i < i1 && j < j1; ++i, ++j) plan.push_back(AliasChange(OpReplace, at++, want[j]));
        for (; i < i1; ++i) plan.push_back(AliasChange(OpDelete, at, have[i]));
        for (; j < j1; ++j) plan.push_back(AliasChange(OpAdd, at++, want[j]));
    }
}

template <typename Summary>
const Summary* FindRule(const std::vector<Summary>& list, const Summary& s) {
    for (const Summary& r : list)
        if (PalCompareNoCase(r.name, s.name, kNameCompareChars) == 0) return &r;
    return nullptr;
}

// Adds and replaces for the document's rules; deletes for the others. A
// name whose case changes is deleted and added: a replace keeps the old one.
template <typename Summary>
void PlanRules(const std::vector<Summary>& want, const std::vector<Summary>& have, std::vector<Change>& changes,
               std::vector<Change>& deletes) {
    for (const Summary& w : want) {
        const Summary* h = FindRule(have, w);
        if (h != nullptr && FieldText(h->name, kNameUnits) != FieldText(w.name, kNameUnits)) {
            changes.push_back(RuleChange(OpDelete, *h));
            h = nullptr;
        }
        if (h == nullptr) changes.push_back(RuleChange(OpAdd, w));
        else if (RuleLine(*h) != RuleLine(w)) changes.push_back(RuleChange(OpReplace, w));
    }
    for (const Summary& h : have)
        if (FindRule(want, h) == nullptr) deletes.push_back(RuleChange(OpDelete, h));
}

// In an order the service takes: groups are there before the process
// rules that join them (the service would make a missing one itself), and
// go only after them.
std::vector<Change> Plan(const RuleSet& doc, const RuleSet& now) {
    std::vector<Change> plan, groupChanges, groupDeletes, procChanges, procDeletes;
    PlanParameters(doc, now, plan);
    if (doc.hasAliases) PlanAliases(doc.aliases, now.aliases, plan);
    if (doc.hasGroupRules) PlanRules(doc.groupRules, now.groupRules, groupChanges, groupDeletes);
    if (doc.hasProcRules) PlanRules(doc.procRules, now.procRules, procChanges, procDeletes);
    for (auto* part : {&groupChanges, &procDeletes, &procChanges, &groupDeletes})
        plan.insert(plan.end(), part->begin(), part->end());
    return plan;
}

bool SameAliases(const std::vector<NameRule>& a, const std::vector<NameRule>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AliasLine(a[i]) != AliasLine(b[i])) return false;
    return true;
}

template <typename Detail, typename Summary>
DWORD ChangeRule(ServiceClient& client, BYTE operation, const Summary& s) {
    Detail d{};
    std::string varData;
    DWORD stamp = 0;
    if (operation == OpReplace) {
        // The stamp and the rule's client data come from a fresh read; the
        // data goes back as it was.
        std::string name = FieldText(s.name, kNameUnits);
        DWORD rc = 0;
        if constexpr (std::is_same_v<Detail, ProcDetail>) rc = GetProcRule(client, name, "", d, varData, stamp);
        else rc = GetGroupRule(client, name, "", d, varData, stamp);
        if (rc != 0) return rc;
        if (varData.size() > kMaxVarData) return ERROR_INSUFFICIENT_BUFFER;
    }
    d.summary = s;
    Reply reply;
    if constexpr (std::is_same_v<Detail, ProcDetail>) return client.Call(ProcRuleRequest(operation, d, varData, stamp), reply);
    else return client.Call(GroupRuleRequest(operation, d, varData, stamp), reply);
}

// Makes one change. `aliases` is the list as this apply's changes have
// left it: when the service's differs, another client changed it first.
DWORD Execute(ServiceClient& client, const Change& c, std::vector<NameRule>& aliases) {
    Reply reply;
    switch (c.target) {
    case Target::Parameters: return client.Call(ParametersReplace(c.pollSeconds, c.pipeTimeOut), reply);
    case Target::ProcRule: return ChangeRule<ProcDetail>(client, c.operation, c.proc);
    case Target::GroupRule: return ChangeRule<JobDetail>(client, c.operation, c.group);
    case Target::Alias: break;
    }
    std::vector<NameRule> now;
    DWORD stamp = 0;
    DWORD rc = FetchNameRules(client, now, stamp);
    if (rc != 0) return rc;
    if (!now.empty()) now.pop_back();
    if (!SameAliases(now, aliases)) return ResultStale;
    rc = client.Call(NameRulesChange(c.operation, c.index, stamp, c.operation == OpDelete ? nullptr : &c.alias), reply);
    if (rc != 0) return rc;
    if (c.operation == OpAdd) aliases.insert(aliases.begin() + c.index, c.alias);
    else if (c.operation == OpDelete) aliases.erase(aliases.begin() + c.index);
    else aliases[c.index] = c.alias;
    return 0;
}

// Reads, compares and changes until a read matches the document. A further
// round follows a stale list and the group rules the service makes itself.
int Apply(ServiceClient& client, const RuleSet& doc, bool dryRun, const std::string& what, std::FILE* out,
          std::FILE* err) {
    for (int round = 0;; ++round) {
        RuleSet now;
        DWORD rc = ReadState(client, now);
        if (rc != 0) return FailedResult(err, what, rc);
        std::vector<Change> plan = Plan(doc, now);
        if (plan.empty()) return 0;
        if (dryRun) {
            for (const Change& c : plan) Write(out, c.line + "\n");
            return 0;
        }
        if (round == kApplyRounds)
            return Failed(err, what, "the service still differs after " + std::to_string(kApplyRounds) +
                                         " rounds (" + plan[0].line + "): another client keeps changing it");
        std::vector<NameRule> aliases = now.aliases;
        for (const Change& c : plan) {
            rc = Execute(client, c, aliases);
            if (rc == ResultStale) break;
            if (rc != 0) return Failed(err, what, c.line + ": " + ResultWords(rc));
            Write(out, c.line + "\n");
        }
    }
}

}  // namespace

int RunExportCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    int status = 0;
    if (!ParseCommandArgs("export", args, {}, {}, kExportUsage, a, out, err, status)) return status;
    ServiceClient client;
    if (!ConnectOrSay(client, "export", err)) return 1;
    RuleSet now;
    DWORD rc = ReadState(client, now);
    if (rc != 0) return FailedResult(err, "export", rc);
    Write(out, DocumentText(now));
    return 0;
}

int RunApplyCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {"--dry-run"}, {}, a, error)) return Failed(err, "apply", error);
    if (a.Has("--help")) {
        Write(out, kApplyUsage);
        return 0;
    }
    if (a.positional.size() != 1) return Failed(err, "apply", "give one FILE (zembrikctl apply --help)");
    std::string what = "apply " + OneLine(a.positional[0]);
    std::string text;
    RuleSet doc;
    if (!ReadFile(a.positional[0], text, error) || !ParseDocument(text, doc, error)) return Failed(err, what, error);
    ServiceClient client;
    if (!ConnectOrSay(client, what, err)) return 1;
    return Apply(client, doc, a.Has("--dry-run"), what, out, err);
}

}  // namespace zctl
