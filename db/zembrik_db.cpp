// The rule database: construction, loading, change stamps, the change
// event, and every change of a rule list.
#include "db/locked.h"
#include "db/zembrik_db.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/event_log.h"
#include "common/messages.h"
#include "common/registry_tree.h"
#include "common/security_attr.h"
#include "common/texts.h"
#include "db/rule_text.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "wire/service_info.h"
#include "wire/result_codes.h"

namespace {

// Sort order of the rule lists: name on 63 characters, then the management
// value's name on 15, both case-insensitive.
template <typename Summary>
int CompareSummaries(const void* a, const void* b) {
    auto* x = static_cast<const Summary*>(a);
    auto* y = static_cast<const Summary*>(b);
    int c = PalCompareNoCase(x->name, y->name, kNameCompareChars);
    return c != 0 ? c : PalCompareNoCase(x->mgmt.mgmtName, y->mgmt.mgmtName, kMgmtNameUnits - 1);
}

const WCHAR* RuleNameOf(const ProcDetail& d) { return d.summary.name; }
const WCHAR* RuleNameOf(const JobDetail& d) { return d.summary.name; }
const WCHAR* MgmtNameOf(const ProcDetail& d) { return d.summary.mgmt.mgmtName; }
const WCHAR* MgmtNameOf(const JobDetail& d) { return d.summary.mgmt.mgmtName; }

// The error text of a registry result as the second insert of an event.
void LogDbInitFailed(LPCWSTR step, DWORD error) {
    WCHAR text[1024];
    LPCWSTR strings[2] = {step, ErrorText(error, text, 1024)};
    LogEvent(MSG_DB_INIT_FAILED, EVENTLOG_ERROR_TYPE, 2, strings, sizeof(error), &error);
}

}  // namespace

ZembrikDb::ZembrikDb() {
    InitializeCriticalSection(&nameLock_);
    InitializeCriticalSection(&procLock_);
    InitializeCriticalSection(&groupLock_);
    SetDefaultRule(defaultRule_);
    if (!BuildAdminSecAttr(&securityAttributes_)) return;
    if (OpenRuleKeys() != ERROR_SUCCESS) return;
    DWORD seconds = 60;
    lastRegResult_ = ReadPollSeconds(seconds);
    if (lastRegResult_ != ERROR_SUCCESS) {
        LogRegError(u"Load/Set Parameter", u"ProcessPollSeconds", nullptr);
        return;
    }
    if (seconds < kPollSecondsLeast || seconds > kPollSecondsMost) seconds = 60;
    pollMilliseconds_ = seconds * 1000;
    changeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (changeEvent_ != nullptr) regChangeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (changeEvent_ == nullptr || regChangeEvent_ == nullptr) {
        LogApiError(changeEvent_ != nullptr ? u"RegEvent" : u"DBEvent", u"CreateEvent");
        return;
    }
    lastRegResult_ = static_cast<DWORD>(RegNotifyChangeKeyValue(
        parametersKey_, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, regChangeEvent_, TRUE));
    if (lastRegResult_ != ERROR_SUCCESS) {
        LogRegError(u"RegNotifyChangeKeyValue", nullptr, nullptr);
        CloseHandle(regChangeEvent_);
        regChangeEvent_ = nullptr;
    }
}

ZembrikDb::~ZembrikDb() {
    FreeAliasLists();
    delete[] procRules_;
    delete[] groupRules_;
    for (HKEY* k : {&groupRulesKey_, &procRulesKey_, &parametersKey_}) {
        if (*k != nullptr) RegCloseKey(*k);
        *k = nullptr;
    }
    if (changeEvent_ != nullptr) CloseHandle(changeEvent_);
    if (regChangeEvent_ != nullptr) CloseHandle(regChangeEvent_);
    FreeSecAttr(&securityAttributes_);
    DeleteCriticalSection(&nameLock_);
    DeleteCriticalSection(&procLock_);
    DeleteCriticalSection(&groupLock_);
}

bool ZembrikDb::IsReady() const {
    return parametersKey_ != nullptr && procRulesKey_ != nullptr && groupRulesKey_ != nullptr &&
           changeEvent_ != nullptr && regChangeEvent_ != nullptr && securityAttributes_.lpSecurityDescriptor != nullptr;
}

void ZembrikDb::SetDefaultRule(NameRule& rule) const {
    memset(&rule, 0, sizeof(rule));
    rule.matchType = u'P';
    lstrcpynW(rule.match, u"*", 64);
    lstrcpynW(rule.name, u"<P>", 64);
    lstrcpynW(rule.description, g_defaultAliasText, 64);
}

// A list whose load failed ends in empty records instead of the default
// rule; storing it would write strings that no load accepts.
bool ZembrikDb::AliasListIntact() const {
    return aliasCount_ > 0 && aliasRules_ != nullptr && aliasRules_[aliasCount_ - 1].matchType != 0;
}

void ZembrikDb::FreeAliasLists() {
    delete[] aliasRules_;
    aliasRules_ = nullptr;
    matcher_.Clear();
    aliasCount_ = 0;
}

// Opens or creates the three keys that are not open yet.
DWORD ZembrikDb::OpenRuleKeys() {
    struct Step {
        HKEY* key;
        const WCHAR* sub;
        const WCHAR* label;
    };
    const Step steps[3] = {{&parametersKey_, nullptr, u"CreateParmKey"},
                           {&procRulesKey_, kProcessRulesKeyName, u"CreateProcKey"},
                           {&groupRulesKey_, kGroupRulesKeyName, u"CreateGroupKey"}};
    for (const Step& s : steps) {
        if (*s.key != nullptr) continue;
        WCHAR path[MAX_PATH];
        StringCchCopyW(path, MAX_PATH, kParametersKeyPath);
        if (s.sub != nullptr) {
            StringCchCatW(path, MAX_PATH, u"\\");
            StringCchCatW(path, MAX_PATH, s.sub);
        }
        DWORD disposition = 0;
        HKEY key = nullptr;
        lastRegResult_ = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, const_cast<LPWSTR>(u""),
                                                            REG_OPTION_NON_VOLATILE, kRuleKeyAccess,
                                                            &securityAttributes_, &key, &disposition));
        if (lastRegResult_ != ERROR_SUCCESS) {
            LogRegError(u"RegCreateKeyEx", path, nullptr);
            LogDbInitFailed(s.label, lastRegResult_);
            return lastRegResult_;
        }
        *s.key = key;
    }
    return ERROR_SUCCESS;
}

DWORD ZembrikDb::LoadRules(DWORD kinds) {
    DWORD rc = ERROR_SUCCESS;
    if ((kinds & kLoadAliasRules) != 0) {
        Locked g(nameLock_);
        ++nameStamp_;
        rc = LoadNameRules();
    }
    if (rc == ERROR_SUCCESS && (kinds & kLoadProcRules) != 0) {
        Locked g(procLock_);
        ++procStamp_;
        rc = LoadProcRules();
    }
    if (rc == ERROR_SUCCESS && (kinds & kLoadGroupRules) != 0) {
        Locked g(groupLock_);
        ++groupStamp_;
        rc = LoadGroupRules();
    }
    if (rc == ERROR_SUCCESS) {
        PulseEvent(changeEvent_);
        return ERROR_SUCCESS;
    }
    SetLastError(rc);
    LogApiError(u"ZbDataBase", u"LoadRules");
    return rc;
}

namespace {

// Loads every sub-key of a rules key into a fresh sorted array. Reading one
// rule's management data may fail: the record then carries the flag, and the
// load goes on.
template <typename Summary, typename ReadRule>
DWORD LoadRuleList(ZembrikDb& db, HKEY rulesKey, LPCWSTR path, LPCWSTR allocLabel, DWORD& lastRegResult,
                   Summary*& list, DWORD& count, ReadRule readRule) {
    delete[] list;
    list = nullptr;
    count = 0;
    // The whole list is one read of the store.
    struct ReadRun {
        ReadRun() { PalRegBeginReads(); }
        ~ReadRun() { PalRegEndReads(); }
    } run;
    DWORD subKeys = 0;
    lastRegResult = static_cast<DWORD>(RegQueryInfoKeyW(rulesKey, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (lastRegResult != ERROR_SUCCESS) return db.LogRegError(u"RegQueryInfoKey", path, nullptr);
    if (subKeys == 0) return ERROR_SUCCESS;
    Summary* rules = new (std::nothrow) Summary[subKeys]();
    if (rules == nullptr) return LogAllocError(allocLabel, sizeof(Summary) * subKeys);
    DWORD loaded = 0;
    for (; loaded < subKeys; ++loaded) {
        Summary& rule = rules[loaded];
        DWORD length = kNameUnits;
        lastRegResult = static_cast<DWORD>(
            RegEnumKeyExW(rulesKey, loaded, rule.name, &length, nullptr, nullptr, nullptr, nullptr));
        // A rule removed by hand while we load shortens the list.
        if (lastRegResult == ERROR_NO_MORE_ITEMS) break;
        if (lastRegResult != ERROR_SUCCESS) {
            delete[] rules;
            return db.LogRegError(u"RegEnumKeyEx", path, nullptr);
        }
        HKEY key = nullptr;
        lastRegResult = static_cast<DWORD>(RegOpenKeyExW(rulesKey, rule.name, 0, kRuleKeyAccess, &key));
        if (lastRegResult != ERROR_SUCCESS) {
            WCHAR suffix[kNameUnits + 1] = u"\\";
            StringCchCatW(suffix, kNameUnits + 1, rule.name);
            delete[] rules;
            return db.LogRegError(u"RegOpenKeyEx", path, suffix);
        }
        readRule(key, rule);
        RegCloseKey(key);
    }
    if (loaded > 1) qsort(rules, loaded, sizeof(Summary), CompareSummaries<Summary>);
    list = rules;
    count = loaded;
    return ERROR_SUCCESS;
}

std::u16string RulesPath(LPCWSTR sub) { return std::u16string(kParametersKeyPath) + u"\\" + sub; }

}  // namespace

DWORD ZembrikDb::LoadProcRules() {
    std::u16string path = RulesPath(kProcessRulesKeyName);
    return LoadRuleList(*this, procRulesKey_, path.c_str(), u"LoadProcessRules", lastRegResult_, procRules_,
                        procCount_, [this](HKEY key, ProcSummary& rule) {
                            ReadMemberOf(key, rule);
                            ReadMgmtBlock(key, rule.mgmt);
                        });
}

DWORD ZembrikDb::LoadGroupRules() {
    std::u16string path = RulesPath(kGroupRulesKeyName);
    return LoadRuleList(*this, groupRulesKey_, path.c_str(), u"LoadJobessRules", lastRegResult_, groupRules_,
                        groupCount_, [this](HKEY key, JobSummary& rule) { ReadMgmtBlock(key, rule.mgmt); });
}

DWORD ZembrikDb::OpenRuleKey(HKEY rulesKey, LPCWSTR name, HKEY& key) {
    key = nullptr;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExW(rulesKey, name, 0, kRuleKeyAccess, &key));
    if (rc == ERROR_FILE_NOT_FOUND) return ResultNotFound;
    if (rc != ERROR_SUCCESS) {
        lastRegResult_ = rc;
        LogRegError(u"RegOpenKeyEx", name, nullptr);
    }
    return rc;
}

DWORD ZembrikDb::GetProcRule(const ProcDetail* request, ProcDetail* reply, LONG* stamp) {
    Locked g(procLock_);
    *stamp = procStamp_;
    HKEY key = nullptr;
    DWORD rc = OpenRuleKey(procRulesKey_, request->summary.name, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (reply != request) memcpy(reply, request, kProcDetailFixedSize);
    ReadMemberOf(key, reply->summary);
    rc = ReadMgmtBlock(key, reply->summary.mgmt);
    if (rc == ERROR_SUCCESS) rc = ReadVarData(key, reply->varDataLength, reply->varData);
    RegCloseKey(key);
    return rc;
}

DWORD ZembrikDb::GetGroupRule(const JobDetail* request, JobDetail* reply, LONG* stamp) {
    Locked g(groupLock_);
    *stamp = groupStamp_;
    HKEY key = nullptr;
    DWORD rc = OpenRuleKey(groupRulesKey_, request->summary.name, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (reply != request) memcpy(reply, request, kJobDetailFixedSize);
    rc = ReadMgmtBlock(key, reply->summary.mgmt);
    if (rc == ERROR_SUCCESS) rc = ReadVarData(key, reply->varDataLength, reply->varData);
    RegCloseKey(key);
    return rc;
}

template <typename Detail>
DWORD ZembrikDb::AddRule(CRITICAL_SECTION& lock, HKEY rulesKey, const Detail* rule) {
    Locked g(lock);
    const WCHAR* name = RuleNameOf(*rule);
    HKEY key = nullptr;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExW(rulesKey, name, 0, kRuleKeyAccess, &key));
    if (rc == ERROR_SUCCESS) {
        RegCloseKey(key);
        return ResultExists;
    }
    if (rc != ERROR_FILE_NOT_FOUND) {
        lastRegResult_ = rc;
        return LogRegError(u"RegOpenKeyEx", name, nullptr);
    }
    DWORD disposition = 0;
    rc = static_cast<DWORD>(RegCreateKeyExW(rulesKey, name, 0, const_cast<LPWSTR>(u""), REG_OPTION_NON_VOLATILE,
                                            kRuleKeyAccess, &securityAttributes_, &key, &disposition));
    if (rc != ERROR_SUCCESS) {
        lastRegResult_ = rc;
        return LogRegError(u"RegCreateKeyEx", name, nullptr);
    }
    rc = WriteRecord(key, *rule);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    return LoadRules(&lock == &procLock_ ? kLoadProcRules : kLoadGroupRules);
}

template <typename Detail>
DWORD ZembrikDb::ReplaceRule(CRITICAL_SECTION& lock, HKEY rulesKey, const Detail* rule, LONG stamp) {
    Locked g(lock);
    LONG now = &lock == &procLock_ ? procStamp_ : groupStamp_;
    if (stamp != now) return ResultStale;
    HKEY key = nullptr;
    DWORD rc = OpenRuleKey(rulesKey, RuleNameOf(*rule), key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = WriteRecord(key, *rule);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    return LoadRules(&lock == &procLock_ ? kLoadProcRules : kLoadGroupRules);
}

template <typename Detail>
DWORD ZembrikDb::DeleteRule(CRITICAL_SECTION& lock, HKEY rulesKey, const Detail* rule, LPCWSTR label, DWORD kind) {
    Locked g(lock);
    const WCHAR* name = RuleNameOf(*rule);
    DWORD rc;
    if (MgmtNameOf(*rule)[0] != 0) {
        // Only that management value goes; the rule stays.
        HKEY key = nullptr;
        rc = static_cast<DWORD>(RegOpenKeyExW(rulesKey, name, 0, kRuleKeyAccess, &key));
        if (rc == ERROR_SUCCESS) {
            rc = static_cast<DWORD>(RegDeleteValueW(key, MgmtNameOf(*rule)));
            RegCloseKey(key);
        }
    } else {
        rc = static_cast<DWORD>(RegDeleteKeyW(rulesKey, name));
    }
    if (rc == ERROR_SUCCESS) return LoadRules(kind);
    if (rc != ERROR_FILE_NOT_FOUND) {
        lastRegResult_ = rc;
        LogRegError(label, name, nullptr);
    }
    return rc;
}

DWORD ZembrikDb::AddProcRule(const ProcDetail* rule) { return AddRule(procLock_, procRulesKey_, rule); }
DWORD ZembrikDb::AddGroupRule(const JobDetail* rule) { return AddRule(groupLock_, groupRulesKey_, rule); }

DWORD ZembrikDb::ReplaceProcRule(const ProcDetail* rule, LONG stamp) {
    return ReplaceRule(procLock_, procRulesKey_, rule, stamp);
}
DWORD ZembrikDb::ReplaceGroupRule(const JobDetail* rule, LONG stamp) {
    return ReplaceRule(groupLock_, groupRulesKey_, rule, stamp);
}

DWORD ZembrikDb::DeleteProcRule(const ProcDetail* rule) {
    return DeleteRule(procLock_, procRulesKey_, rule, u"DelProcDetail", kLoadProcRules);
}
DWORD ZembrikDb::DeleteGroupRule(const JobDetail* rule) {
    return DeleteRule(groupLock_, groupRulesKey_, rule, u"DelJobDetail", kLoadGroupRules);
}

DWORD ZembrikDb::InsertNameRule(const NameRule* rule, DWORD index, LONG stamp) {
    Locked g(nameLock_);
    if (stamp != nameStamp_) return ResultStale;
    if (!AliasListIntact()) return ERROR_INVALID_DATA;
    DWORD n = aliasCount_;
    if (index >= n) return ResultBadIndex;
    NameRule* rules = new (std::nothrow) NameRule[n + 1];
    if (rules == nullptr) {
        LogAllocError(u"AllocFmtNameRules", sizeof(NameRule) * (n + 1));
        return ResultNoMemory;
    }
    memcpy(rules, aliasRules_, sizeof(NameRule) * index);
    rules[index] = *rule;
    memcpy(rules + index + 1, aliasRules_ + index, sizeof(NameRule) * (n - index));
    NameRule* old = aliasRules_;
    matcher_.Clear();
    aliasRules_ = rules;
    aliasCount_ = n + 1;
    DWORD rc = StoreNameRules();
    if (rc != ERROR_SUCCESS) {
        aliasRules_ = old;
        aliasCount_ = n;
        delete[] rules;
        return rc;
    }
    delete[] old;
    return ERROR_SUCCESS;
}

DWORD ZembrikDb::ReplaceNameRule(const NameRule* rule, DWORD index, LONG stamp) {
    Locked g(nameLock_);
    if (stamp != nameStamp_) return ResultStale;
    if (!AliasListIntact()) return ERROR_INVALID_DATA;
    if (static_cast<LONGLONG>(index) >= static_cast<LONGLONG>(aliasCount_) - 1) return ResultBadIndex;
    aliasRules_[index] = *rule;
    CompileNameRule(index);
    return StoreNameRules();
}

DWORD ZembrikDb::DeleteNameRule(DWORD index, LONG stamp) {
    Locked g(nameLock_);
    if (stamp != nameStamp_) return ResultStale;
    if (!AliasListIntact()) return ERROR_INVALID_DATA;
    DWORD n = aliasCount_;
    if (static_cast<LONGLONG>(index) >= static_cast<LONGLONG>(n) - 1) return ResultBadIndex;
    NameRule* rules = new (std::nothrow) NameRule[n - 1];
    if (rules == nullptr) {
        LogAllocError(u"AllocFmtNameRules", sizeof(NameRule) * (n - 1));
        return ResultNoMemory;
    }
    memcpy(rules, aliasRules_, sizeof(NameRule) * index);
    memcpy(rules + index, aliasRules_ + index + 1, sizeof(NameRule) * (n - index - 1));
    delete[] aliasRules_;
    matcher_.Clear();
    aliasRules_ = rules;
    aliasCount_ = n - 1;
    return StoreNameRules();
}

DWORD ZembrikDb::SwapNameRule(DWORD index, LONG stamp) {
    Locked g(nameLock_);
    if (stamp != nameStamp_) return ResultStale;
    if (!AliasListIntact()) return ERROR_INVALID_DATA;
    if (static_cast<LONGLONG>(index) >= static_cast<LONGLONG>(aliasCount_) - 2) return ResultBadIndex;
    NameRule t = aliasRules_[index];
    aliasRules_[index] = aliasRules_[index + 1];
    aliasRules_[index + 1] = t;
    CompileNameRule(index);
    CompileNameRule(index + 1);
    return StoreNameRules();
}

DWORD ZembrikDb::StoreNameRules() {
    Locked g(nameLock_);
    ++nameStamp_;
    size_t stored = aliasCount_ > 0 ? aliasCount_ - 1 : 0;  // the default rule is never stored
    size_t bytes = kAliasRuleBufferBytesPerRule * (aliasCount_ > 0 ? aliasCount_ : 1);
    WCHAR* buffer = new (std::nothrow) WCHAR[bytes / sizeof(WCHAR)]();
    if (buffer == nullptr) return LogAllocError(u"AllocNameRules", bytes);
    WCHAR* p = buffer;
    for (size_t i = 0; i < stored; ++i) p += FormatAliasRule(aliasRules_[i], p);
    *p++ = 0;
    // The empty list is written as two zero units, as the load writes it.
    if (stored == 0) *p++ = 0;
    DWORD size = static_cast<DWORD>((p - buffer) * sizeof(WCHAR));
    lastRegResult_ = static_cast<DWORD>(
        RegSetValueExW(parametersKey_, u"NameRules", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(buffer), size));
    delete[] buffer;
    if (lastRegResult_ != ERROR_SUCCESS) return LogRegError(u"RegSetValueEx", u"NameRules", nullptr);
    PulseEvent(changeEvent_);
    return ERROR_SUCCESS;
}

DWORD ZembrikDb::SetPollSeconds(DWORD seconds) {
    if (CheckAccess(kAccessSetPollSeconds) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    if (seconds < kPollSecondsLeast || seconds > kPollSecondsMost) return ResultBadValue;
    pollMilliseconds_ = seconds * 1000;
    return static_cast<DWORD>(RegSetValueExW(parametersKey_, u"ProcessPollSeconds", 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&seconds), sizeof(seconds)));
}

DWORD ZembrikDb::RestoreNameRules() {
    if (CheckAccess(kAccessRestore) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    Locked g(nameLock_);
    DWORD rc = static_cast<DWORD>(RegDeleteValueW(parametersKey_, u"NameRules"));
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        lastRegResult_ = rc;
        return LogRegError(u"RegDeleteValue", u"NameRules", nullptr);
    }
    return LoadRules(kLoadAliasRules);
}

// Empties one rules key: the tree goes, the key is made again.
DWORD ZembrikDb::RestoreRuleKey(CRITICAL_SECTION& lock, HKEY& rulesKey, LPCWSTR name) {
    if (CheckAccess(kAccessRestore) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    Locked g(lock);
    RegCloseKey(rulesKey);
    rulesKey = nullptr;
    DWORD rc = DeleteRegTree(parametersKey_, name);
    if (rc != ERROR_SUCCESS) {
        lastRegResult_ = rc;
        LogRegError(u"RegDeleteValue", name, nullptr);
    }
    // The key is made again even after a failed delete, so the database
    // keeps working with what is left.
    DWORD reopen = OpenRuleKeys();
    if (rc != ERROR_SUCCESS) return rc;
    return reopen == ERROR_SUCCESS ? ERROR_SUCCESS : lastRegResult_;
}

// The emptied list is loaded again, so neither clients nor the manager go
// on with rules that no longer exist.
DWORD ZembrikDb::RestoreProcRules() {
    DWORD rc = RestoreRuleKey(procLock_, procRulesKey_, kProcessRulesKeyName);
    return rc == ERROR_SUCCESS ? LoadRules(kLoadProcRules) : rc;
}

DWORD ZembrikDb::RestoreGroupRules() {
    DWORD rc = RestoreRuleKey(groupLock_, groupRulesKey_, kGroupRulesKeyName);
    return rc == ERROR_SUCCESS ? LoadRules(kLoadGroupRules) : rc;
}

DWORD ZembrikDb::LogRegError(LPCWSTR operation, LPCWSTR operand, LPCWSTR suffix) {
    WCHAR target[512];
    StringCchCopyW(target, 512, operand != nullptr ? operand : u"");
    if (suffix != nullptr) StringCchCatW(target, 512, suffix);
    WCHAR text[1024];
    LPCWSTR strings[3] = {operation, target, ErrorText(lastRegResult_, text, 1024)};
    DWORD error = lastRegResult_;
    LogEvent(MSG_REGISTRY_ERROR, EVENTLOG_ERROR_TYPE, 3, strings, sizeof(error), &error);
    return lastRegResult_;
}

DWORD ZembrikDb::LogBadEntry(LPCWSTR name) {
    DWORD error = ERROR_INVALID_DATA;
    LogEvent(MSG_BAD_DB_ENTRY, EVENTLOG_ERROR_TYPE, 1, name, sizeof(error), &error);
    return ERROR_INVALID_DATA;
}
