// The rule database: the one owner of the alias, process and group rules.
// It loads them from the registry, hands out copies, changes them for
// clients, names processes through the alias rules and checks the rights
// guarded by the access-control keys.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>

#include "wire/alias_matcher.h"
#include "wire/rule_records.h"
#include "pal/security.h"
#include "pal/sync.h"
#include "pal/types.h"

// Where the running processes and groups of the merged lists come from (the
// manager, once it runs). Each function returns a new[] array and its count;
// the process list only when its version differs from `*version` (0: none
// known yet), which then becomes the version returned.
struct LiveLists {
    void* source = nullptr;
    DWORD (*processes)(void* source, ProcListEntry** entries, ULONGLONG* version) = nullptr;
    DWORD (*groups)(void* source, JobListEntry** entries) = nullptr;
};

// Kinds for LoadRules.
constexpr DWORD kLoadAliasRules = 1;
constexpr DWORD kLoadProcRules = 2;
constexpr DWORD kLoadGroupRules = 4;

// Registry paths under HKEY_LOCAL_MACHINE.
inline constexpr const WCHAR* kParametersKeyPath = u"SYSTEM\\CurrentControlSet\\Services\\Zembrik\\Parameters";
inline constexpr const WCHAR* kProcessRulesKeyName = u"ProcessRules";
inline constexpr const WCHAR* kGroupRulesKeyName = u"GroupRules";
// Access with which every key of the rule tree is opened or created.
constexpr REGSAM kRuleKeyAccess = 0x0004001F;

// The access-control keys, relative to the Parameters key, in table order.
inline constexpr const WCHAR* kAccessKillProcess = u"AccessControl\\KillProcess";
inline constexpr const WCHAR* kAccessKillGroup = u"AccessControl\\KillGroup";
inline constexpr const WCHAR* kAccessSetRealTime = u"AccessControl\\SetRealTimePriority";
inline constexpr const WCHAR* kAccessSetPollSeconds = u"AccessControl\\SetPollSeconds";
inline constexpr const WCHAR* kAccessRestore = u"AccessControl\\Restore";
inline constexpr const WCHAR* const kAccessKeys[5] = {kAccessKillProcess, kAccessKillGroup, kAccessSetRealTime,
                                                      kAccessSetPollSeconds, kAccessRestore};

class ZembrikDb {
public:
    // Never fails: readiness tells.
    ZembrikDb();
    ~ZembrikDb();
    ZembrikDb(const ZembrikDb&) = delete;
    ZembrikDb& operator=(const ZembrikDb&) = delete;

    bool IsReady() const;

    // --- loading and changes (zembrik_db.cpp) ---
    DWORD LoadRules(DWORD kinds);
    DWORD GetProcRule(const ProcDetail* request, ProcDetail* reply, LONG* stamp);
    DWORD AddProcRule(const ProcDetail* rule);
    DWORD ReplaceProcRule(const ProcDetail* rule, LONG stamp);
    DWORD DeleteProcRule(const ProcDetail* rule);
    DWORD GetGroupRule(const JobDetail* request, JobDetail* reply, LONG* stamp);
    DWORD AddGroupRule(const JobDetail* rule);
    DWORD ReplaceGroupRule(const JobDetail* rule, LONG stamp);
    DWORD DeleteGroupRule(const JobDetail* rule);
    DWORD InsertNameRule(const NameRule* rule, DWORD index, LONG stamp);
    DWORD ReplaceNameRule(const NameRule* rule, DWORD index, LONG stamp);
    DWORD DeleteNameRule(DWORD index, LONG stamp);
    DWORD SwapNameRule(DWORD index, LONG stamp);
    DWORD StoreNameRules();
    DWORD SetPollSeconds(DWORD seconds);
    DWORD RestoreNameRules();
    DWORD RestoreProcRules();
    DWORD RestoreGroupRules();
    DWORD LogRegError(LPCWSTR operation, LPCWSTR operand, LPCWSTR suffix);
    DWORD LogBadEntry(LPCWSTR name);

    // --- access-control keys (access_check.cpp) ---
    // 0 when the calling thread's identity may open the key for reading, else 5.
    DWORD CheckAccess(LPCWSTR key);

    // --- alias matching (name_matcher.cpp) ---
    bool CompileNameRules();
    void CompileNameRule(DWORD index);
    // Names a module path (or "System", "Unknown", a bare module name).
    void NameProcess(LPCWSTR path, WCHAR processName[64], WCHAR imageName[64]);

    // --- lists (rule_lists.cpp); each returns "more" ---
    bool ListNameRules(DWORD start, NameRule* buffer, DWORD max, WORD* size, WORD* count, LONG* stamp);
    bool ListProcSummaries(const ProcSummary* key, DWORD flags, ProcSummary* buffer, DWORD max, WORD* size,
                           WORD* count);
    bool ListGroupSummaries(const JobSummary* key, DWORD flags, JobSummary* buffer, DWORD max, WORD* size,
                            WORD* count);
    bool ListProcesses(const ProcListEntry* key, DWORD flags, ProcListEntry* buffer, DWORD max, WORD* size,
                       WORD* count);
    bool ListGroups(const WCHAR* keyName, DWORD flags, JobListEntry* buffer, DWORD max, WORD* size, WORD* count);
    // The manager's per-pass copies; the caller frees the array with delete[].
    DWORD GetProcDefs(InternalProcDef** defs);
    DWORD GetGroupDefs(InternalJobDef** defs, LPCWSTR name);

    DWORD PollMilliseconds() const { return pollMilliseconds_.load(); }
    HANDLE ChangeEvent() const { return changeEvent_; }
    HANDLE RegistryChangeEvent() const { return regChangeEvent_; }
    // Set before clients list and cleared before the source goes.
    void SetLiveLists(const LiveLists& lists) {
        std::lock_guard<std::mutex> g(procViewLock_);
        live_ = lists;
        procView_.reset();  // another source numbers its versions anew
    }
    LONG NameStamp() const { return nameStamp_; }
    LONG ProcStamp() const { return procStamp_; }
    LONG GroupStamp() const { return groupStamp_; }
    DWORD AliasCount() const { return aliasCount_; }
    DWORD ProcCount() const { return procCount_; }
    DWORD GroupCount() const { return groupCount_; }

private:
    // --- registry values of a rule (rule_values.cpp) ---
    // "MemberOf" into rule.memberOf (sets HasMemberOf for REG_SZ); never fails.
    void ReadMemberOf(HKEY key, ProcSummary& rule);
    // The management text named by m.mgmtName (or "DfltMgmt") and "Description".
    DWORD ReadMgmtBlock(HKEY key, MgmtData& m);
    // "VarData" into a detail record's room; 234 when it does not fit.
    DWORD ReadVarData(HKEY key, SHORT& varDataLength, BYTE* varData);
    // Writes a rule into its open key (MemberOf, management block, VarData).
    DWORD WriteProcRecord(HKEY key, const ProcDetail& rule);
    DWORD WriteJobRecord(HKEY key, const JobDetail& rule);
    // The management text and "Description"; refuses a realtime priority
    // without the right (5) before writing anything.
    DWORD WriteMgmtBlock(HKEY key, const MgmtData& m);
    DWORD WriteVarData(HKEY key, SHORT varDataLength, const BYTE* varData);
    // "ProcessPollSeconds" as a REG_DWORD; the default 60 is written when it
    // is missing or mistyped. Returns the registry result.
    DWORD ReadPollSeconds(DWORD& seconds);
    // "NameRules" into a fresh alias list (with the default rule appended).
    DWORD LoadNameRules();

    DWORD LoadProcRules();
    DWORD LoadGroupRules();
    // Opens a rule key under the process- or group-rules key; ResultNotFound
    // when it does not exist, other errors logged.
    DWORD OpenRuleKey(HKEY rulesKey, LPCWSTR name, HKEY& key);
    template <typename Detail>
    DWORD AddRule(CRITICAL_SECTION& lock, HKEY rulesKey, const Detail* rule);
    template <typename Detail>
    DWORD ReplaceRule(CRITICAL_SECTION& lock, HKEY rulesKey, const Detail* rule, LONG stamp);
    template <typename Detail>
    DWORD DeleteRule(CRITICAL_SECTION& lock, HKEY rulesKey, const Detail* rule, LPCWSTR label, DWORD kind);
    DWORD WriteRecord(HKEY key, const ProcDetail& rule) { return WriteProcRecord(key, rule); }
    DWORD WriteRecord(HKEY key, const JobDetail& rule) { return WriteJobRecord(key, rule); }
    DWORD RestoreRuleKey(CRITICAL_SECTION& lock, HKEY& rulesKey, LPCWSTR name);
    DWORD OpenRuleKeys();
    void FreeAliasLists();
    bool AliasListIntact() const;
    void SetDefaultRule(NameRule& rule) const;

    // The merged process list, sorted, as of the rule stamps and the live
    // list's version it was made from: pages and concurrent clients share it
    // until one of them changes.
    struct ProcListView {
        LONG procStamp = 0;
        LONG nameStamp = 0;
        ULONGLONG liveVersion = 0;
        std::shared_ptr<const ProcListEntry[]> live;  // as the manager gave it
        DWORD liveCount = 0;
        std::unique_ptr<ProcListEntry[]> sorted;  // rules, aliases and live, joined
        DWORD sortedCount = 0;
    };
    // The current view, rebuilt when stale; null when memory ran out (logged).
    std::shared_ptr<const ProcListView> CurrentProcList();

    LiveLists live_;
    std::mutex procViewLock_;  // guards procView_ only, taken after no other lock
    std::shared_ptr<const ProcListView> procView_;
    CRITICAL_SECTION nameLock_;
    CRITICAL_SECTION procLock_;
    CRITICAL_SECTION groupLock_;
    // Per thread, like GetLastError: rule changes on different lists run at
    // once, and one's result must not become another's.
    inline static thread_local DWORD lastRegResult_ = 0;
    std::atomic<DWORD> pollMilliseconds_{60000};  // read by the manager without a lock
    HKEY parametersKey_ = nullptr;
    HKEY procRulesKey_ = nullptr;
    HKEY groupRulesKey_ = nullptr;
    NameRule* aliasRules_ = nullptr;
    AliasMatcher matcher_;  // the compiled alias list, guarded by nameLock_
    HANDLE changeEvent_ = nullptr;
    HANDLE regChangeEvent_ = nullptr;
    ProcSummary* procRules_ = nullptr;
    JobSummary* groupRules_ = nullptr;
    SECURITY_ATTRIBUTES securityAttributes_{};
    DWORD aliasCount_ = 0;
    DWORD procCount_ = 0;
    DWORD groupCount_ = 0;
    LONG nameStamp_ = 1;
    LONG procStamp_ = 1;
    LONG groupStamp_ = 1;
    NameRule defaultRule_{};
};
