// The registry values of a rule, the poll interval and the alias list, read
// and written through the database against a real registry tree.
// Packed fields are compared as copies (unary +): gtest takes its arguments by reference.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/registry.h"
#include "pal/security.h"
#include "pal/strings.h"
#include "pal/token.h"
#include "wire/result_codes.h"
#include "support/event_log_reader.h"
#include "tests/db/db_test_support.h"

using namespace dbtest;
using testsupport::EventsWithId;

namespace {

constexpr DWORD kNobody = 65534;
constexpr const char kNeedsRoot[] = "needs root to take on another identity and to set directory modes";

std::u16string RulePath(const char16_t* name) { return ParamPath(u"ProcessRules\\") + name; }
std::u16string GroupPath(const char16_t* name) { return ParamPath(u"GroupRules\\") + name; }

std::u16string StoredText(const std::u16string& key, const char16_t* value, DWORD* typeOut = nullptr) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!GetValue(key, value, type, data)) return u"<absent>";
    if (typeOut != nullptr) *typeOut = type;
    std::u16string s(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    if (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

bool Exists(const std::u16string& key, const char16_t* value) {
    DWORD type = 0;
    std::vector<BYTE> data;
    return GetValue(key, value, type, data);
}

std::string Bytes(const std::u16string& key, const char16_t* value) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!GetValue(key, value, type, data)) return "<absent>";
    return std::string(data.begin(), data.end());
}

// A Get request for a rule: its name, a management-value name and the room for VarData.
ProcBuffer Request(const char16_t* name, const char16_t* mgmtName = u"", SHORT room = 0) {
    ProcBuffer b(room > 0 ? static_cast<size_t>(room) : 0);
    lstrcpynW(b->summary.name, name, 64);
    lstrcpynW(b->summary.mgmt.mgmtName, mgmtName, 16);
    b->varDataLength = room;
    return b;
}

class RuleValuesTest : public DbTest {
protected:
    DWORD Get(ZembrikDb& db, ProcBuffer& request, ProcBuffer& reply) {
        LONG stamp = 0;
        return db.GetProcRule(request.get(), reply.get(), &stamp);
    }
    // The folder that holds the state root, opened for traversal so that an
    // impersonated thread reaches what its groups allow.
    void OpenTopForTraversal() {
        std::string top = root_.path().substr(0, root_.path().size() - 5);
        ASSERT_EQ(chmod(top.c_str(), 0711), 0);
    }
    std::string KeyDir(const std::string& relative) {
        return root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services/Zembrik/Parameters" + relative;
    }
};

}  // namespace

// "MemberOf" is taken whenever it fits in 128 bytes, but only a REG_SZ makes the rule a member.
TEST_F(RuleValuesTest, MemberOfTypesAndRoom) {
    const std::u16string longest(63, u'g');  // 128 bytes with its terminator: fits exactly
    const std::u16string tooLong(64, u'g');
    const char16_t lab[] = u"Lab";
    struct Case {
        const char16_t* rule;
        int kind;  // 0 REG_SZ Office, 1 REG_BINARY "Lab", 2 REG_SZ 63 chars, 3 REG_SZ 64 chars, 4 none
    } cases[] = {{u"A", 0}, {u"B", 1}, {u"C", 2}, {u"D", 3}, {u"E", 4}};
    for (const Case& c : cases) {
        ASSERT_EQ(SetString(RulePath(c.rule), u"DfltMgmt", u"{F0x800,P8}"), 0);
        LONG rc = 0;
        switch (c.kind) {
        case 0: rc = SetString(RulePath(c.rule), u"MemberOf", u"Office"); break;
        case 1: rc = SetValue(RulePath(c.rule), u"MemberOf", REG_BINARY, lab, sizeof(lab)); break;
        case 2: rc = SetString(RulePath(c.rule), u"MemberOf", longest); break;
        case 3: rc = SetString(RulePath(c.rule), u"MemberOf", tooLong); break;
        default: break;
        }
        ASSERT_EQ(rc, 0);
    }
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    const char16_t* expectedMember[] = {u"Office", u"Lab", longest.c_str(), u"Keep", u"Keep"};
    const bool expectedFlag[] = {true, false, true, false, false};
    for (int i = 0; i < 5; ++i) {
        ProcBuffer request = Request(cases[i].rule);
        lstrcpynW(request->summary.memberOf, u"Keep", 64);
        ProcBuffer reply;
        ASSERT_EQ(Get(db, request, reply), 0u) << "a MemberOf that cannot be read is no error";
        EXPECT_EQ(std::u16string(reply->summary.memberOf), expectedMember[i]) << i;
        EXPECT_EQ((reply->summary.mgmt.mgmtFlags & HasMemberOf) != 0, expectedFlag[i]) << i;
        EXPECT_NE(reply->summary.mgmt.mgmtFlags & JoinGroup, 0u);
    }

    // The load reads the same way into fresh records.
    ASSERT_EQ(db.LoadRules(kLoadProcRules), 0u);
    InternalProcDef* defs = nullptr;
    ASSERT_EQ(db.GetProcDefs(&defs), 5u);
    EXPECT_EQ(std::u16string(defs[0].memberOf), u"Office");
    EXPECT_NE(defs[0].mgmtFlags & HasMemberOf, 0u);
    EXPECT_EQ(std::u16string(defs[1].memberOf), u"Lab");
    EXPECT_EQ(defs[1].mgmtFlags & HasMemberOf, 0u);
    EXPECT_EQ(std::u16string(defs[3].memberOf), u"");
    EXPECT_EQ(defs[3].mgmtFlags & HasMemberOf, 0u);
    delete[] defs;
}

// The named management value is read; only its absence falls back to "DfltMgmt".
TEST_F(RuleValuesTest, NamedManagementValueFallsBackToDefault) {
    ASSERT_EQ(SetString(RulePath(u"Svc"), u"DfltMgmt", u"{F0x40,P4}"), 0);
    ASSERT_EQ(SetString(RulePath(u"Svc"), u"Night", u"{F0x40,P13}"), 0);
    ZembrikDb db;
    const struct {
        const char16_t* mgmtName;
        DWORD priority;
    } cases[] = {{u"Night", 13}, {u"NIGHT", 13}, {u"Absent", 4}, {u"", 4}};
    for (const auto& c : cases) {
        ProcBuffer request = Request(u"Svc", c.mgmtName);
        ProcBuffer reply;
        ASSERT_EQ(Get(db, request, reply), 0u) << pal::ToUtf8(c.mgmtName);
        EXPECT_EQ(+reply->summary.mgmt.priority, c.priority) << pal::ToUtf8(c.mgmtName);
        EXPECT_EQ(std::u16string(reply->summary.mgmt.mgmtName), c.mgmtName) << "the name is the request's";
    }
    EXPECT_TRUE(EventsWithId("0xE00000B8").empty());
}

// Without "DfltMgmt" a rule is flagged MgmtDataMissing and a registry error naming "DfltMgmt" is logged.
TEST_F(RuleValuesTest, MissingDefaultValueFlagsTheRule) {
    ASSERT_EQ(SetString(RulePath(u"Odd"), u"Night", u"{P13}"), 0);
    ZembrikDb db;
    for (const char16_t* mgmtName : {u"", u"Other"}) {
        ProcBuffer request = Request(u"Odd", mgmtName);
        ProcBuffer reply;
        EXPECT_EQ(Get(db, request, reply), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_NE(reply->summary.mgmt.mgmtFlags & MgmtDataMissing, 0u);
    }
    auto events = EventsWithId("0xE00000B8");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].strings[0], "RegQueryValueEx");
    EXPECT_EQ(events[0].strings[1], "DfltMgmt");
    EXPECT_EQ(events[0].data, "02000000");
    // The value it names is still read.
    ProcBuffer request = Request(u"Odd", u"Night");
    ProcBuffer reply;
    ASSERT_EQ(Get(db, request, reply), 0u);
    EXPECT_EQ(+reply->summary.mgmt.priority, 13u);
    EXPECT_EQ(reply->summary.mgmt.mgmtFlags & MgmtDataMissing, 0u);
}

// A malformed text gives ResultBadStoredData and MgmtDataInvalid; the two braces alone clear the block.
TEST_F(RuleValuesTest, ManagementTextValidity) {
    ASSERT_EQ(SetString(RulePath(u"Semi"), u"DfltMgmt", u"{P8;F0}"), 0);
    ASSERT_EQ(SetString(RulePath(u"Empty"), u"DfltMgmt", u"{}"), 0);
    ASSERT_EQ(SetString(RulePath(u"Empty"), u"Description", u"never read"), 0);
    ASSERT_EQ(SetString(RulePath(u"Partial"), u"DfltMgmt", u"{F0x40,P10}"), 0);
    ZembrikDb db;

    ProcBuffer request = Request(u"Semi");
    ProcBuffer reply;
    EXPECT_EQ(Get(db, request, reply), ResultBadStoredData);
    EXPECT_NE(reply->summary.mgmt.mgmtFlags & MgmtDataInvalid, 0u);
    EXPECT_TRUE(EventsWithId("0xE00000B8").empty()) << "a malformed text is no registry error";

    // Whatever the request carried in the cleared fields is gone.
    request = Request(u"Empty");
    request->summary.mgmt.priority = 99;
    request->summary.mgmt.affinity = 7;
    request->summary.mgmt.mgmtFlags = ApplyAffinity | BreakawayOk;
    lstrcpynW(request->summary.mgmt.description, u"from the client", 64);
    ASSERT_EQ(Get(db, request, reply), 0u);
    EXPECT_EQ(+reply->summary.mgmt.priority, 0u);
    EXPECT_EQ(+reply->summary.mgmt.affinity, 0u);
    EXPECT_EQ(+reply->summary.mgmt.mgmtFlags, 0u);
    EXPECT_EQ(std::u16string(reply->summary.mgmt.description), u"") << "Description is not read after {}";

    // The group fields a text does not mention keep the request's values.
    request = Request(u"Partial");
    request->summary.mgmt.processCount = 5;
    request->summary.mgmt.groupMemoryLimit = 0x100000;
    ASSERT_EQ(Get(db, request, reply), 0u);
    EXPECT_EQ(+reply->summary.mgmt.priority, 10u);
    EXPECT_EQ(+reply->summary.mgmt.processCount, 5u);
    EXPECT_EQ(+reply->summary.mgmt.groupMemoryLimit, 0x100000u);
}

// "Description" is cut to 63 characters; without the value the description is empty.
TEST_F(RuleValuesTest, DescriptionIsCutTo63) {
    ASSERT_EQ(SetString(RulePath(u"Wordy"), u"DfltMgmt", u"{P8}"), 0);
    ASSERT_EQ(SetString(RulePath(u"Wordy"), u"Description", std::u16string(100, u'd')), 0);
    ASSERT_EQ(SetString(RulePath(u"Quiet"), u"DfltMgmt", u"{P8}"), 0);
    ZembrikDb db;
    ProcBuffer request = Request(u"Wordy");
    ProcBuffer reply;
    ASSERT_EQ(Get(db, request, reply), 0u);
    EXPECT_EQ(std::u16string(reply->summary.mgmt.description), std::u16string(63, u'd'));
    request = Request(u"Quiet");
    lstrcpynW(request->summary.mgmt.description, u"from the client", 64);
    ASSERT_EQ(Get(db, request, reply), 0u);
    EXPECT_EQ(std::u16string(reply->summary.mgmt.description), u"");
}

// VarData fills the room the request gives; when it does not fit the result is 234 with length 0.
TEST_F(RuleValuesTest, VarDataRoom) {
    ZembrikDb db;
    GrantAllRights();
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Data", ApplyPriority, 8, u"", "12345678").get()), 0u);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"NoData").get()), 0u);
    const struct {
        const char16_t* rule;
        SHORT room;
        DWORD result;
        SHORT length;
    } cases[] = {{u"Data", 8, 0, 8},   {u"Data", 100, 0, 8}, {u"Data", 7, ERROR_MORE_DATA, 0},
                 {u"Data", 0, ERROR_MORE_DATA, 0}, {u"Data", -1, ERROR_MORE_DATA, 0}, {u"NoData", 16, 0, 0}};
    for (const auto& c : cases) {
        ProcBuffer request = Request(c.rule, u"", c.room);
        ProcBuffer reply(c.room > 0 ? static_cast<size_t>(c.room) : 0);
        EXPECT_EQ(Get(db, request, reply), c.result) << pal::ToUtf8(c.rule) << " room " << c.room;
        EXPECT_EQ(+reply->varDataLength, c.length) << pal::ToUtf8(c.rule) << " room " << c.room;
        if (c.length == 8) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(reply->varData), 8), "12345678");
        }
    }
    EXPECT_TRUE(EventsWithId("0xE00000B8").empty()) << "234 is the caller's to report";

    // A group rule reads its VarData the same way.
    JobBuffer g = MakeJob(u"Batch");
    JobBuffer withData(3);
    memcpy(withData.get(), g.get(), kJobDetailFixedSize);
    withData->varDataLength = 3;
    memcpy(withData->varData, "abc", 3);
    ASSERT_EQ(db.AddGroupRule(withData.get()), 0u);
    JobBuffer request(3);
    lstrcpynW(request->summary.name, u"Batch", 64);
    request->varDataLength = 3;
    JobBuffer reply(3);
    LONG stamp = 0;
    ASSERT_EQ(db.GetGroupRule(request.get(), reply.get(), &stamp), 0u);
    ASSERT_EQ(+reply->varDataLength, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply->varData), 3), "abc");
}

// What a process rule stores: MemberOf, the management text (masked flags, priority 0 as 8,
// class above 9 as 5), Description and VarData.
TEST_F(RuleValuesTest, WritesEveryValueOfAProcessRule) {
    ZembrikDb db;
    GrantAllRights();
    ProcBuffer rule = MakeProc(u"Writer", ApplyPriority | JoinGroup | HasMemberOf | MgmtDataInvalid, 0, u"Crew",
                               "\x01\x02");
    rule->summary.mgmt.schedClass = 12;
    rule->summary.mgmt.affinity = 0x3;
    lstrcpynW(rule->summary.mgmt.description, u"writes", 64);
    ASSERT_EQ(db.AddProcRule(rule.get()), 0u);
    const std::u16string key = RulePath(u"Writer");
    DWORD type = 0;
    EXPECT_EQ(StoredText(key, u"MemberOf", &type), u"Crew");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(StoredText(key, u"DfltMgmt", &type), u"{F0x840,A0x3,P0x8,L0x0,H0x0,S0x5,T0x0,U0x0,C0x0,M0x0,N0x0}");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(StoredText(key, u"Description"), u"writes");
    EXPECT_EQ(Bytes(key, u"VarData"), std::string("\x01\x02", 2));

    // Priority 0 reads back as 8.
    ProcBuffer request = Request(u"Writer", u"", 2);
    ProcBuffer reply(2);
    ASSERT_EQ(Get(db, request, reply), 0u);
    EXPECT_EQ(+reply->summary.mgmt.priority, 8u);
    EXPECT_EQ(+reply->summary.mgmt.schedClass, 5u);

    // Empty memberOf and description delete their values; VarData of length 0 stays as stored.
    ProcBuffer plain = MakeProc(u"Writer", ApplyPriority, 6);
    ASSERT_EQ(db.ReplaceProcRule(plain.get(), db.ProcStamp()), 0u);
    EXPECT_FALSE(Exists(key, u"MemberOf"));
    EXPECT_FALSE(Exists(key, u"Description"));
    EXPECT_EQ(Bytes(key, u"VarData"), std::string("\x01\x02", 2));
    EXPECT_EQ(StoredText(key, u"DfltMgmt"), u"{F0x40,A0x0,P0x6,L0x0,H0x0,S0x0,T0x0,U0x0,C0x0,M0x0,N0x0}");

    // A record naming a management value writes there and leaves "DfltMgmt" alone.
    ProcBuffer alt = MakeProc(u"Writer", ApplyPriority, 10);
    lstrcpynW(alt->summary.mgmt.mgmtName, u"Alt", 16);
    ASSERT_EQ(db.ReplaceProcRule(alt.get(), db.ProcStamp()), 0u);
    EXPECT_EQ(StoredText(key, u"Alt"), u"{F0x40,A0x0,P0xa,L0x0,H0x0,S0x0,T0x0,U0x0,C0x0,M0x0,N0x0}");
    EXPECT_NE(StoredText(key, u"DfltMgmt").find(u"P0x6"), std::u16string::npos);
}

// Fields without a terminator inside their array are stored as 63 characters.
TEST_F(RuleValuesTest, UnterminatedFieldsAreStoredCut) {
    ZembrikDb db;
    GrantAllRights();
    ProcBuffer rule = MakeProc(u"Full");
    for (auto& c : rule->summary.memberOf) c = u'm';
    for (auto& c : rule->summary.mgmt.description) c = u'd';
    ASSERT_EQ(db.AddProcRule(rule.get()), 0u);
    EXPECT_EQ(StoredText(RulePath(u"Full"), u"MemberOf"), std::u16string(63, u'm'));
    EXPECT_EQ(StoredText(RulePath(u"Full"), u"Description"), std::u16string(63, u'd'));
}

// A negative VarData length is refused before anything of the record is written.
TEST_F(RuleValuesTest, NegativeVarDataLengthIsRefused) {
    ZembrikDb db;
    GrantAllRights();
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Neg", ApplyPriority, 13, u"Crew").get()), 0u);
    LONG stamp = db.ProcStamp();
    ProcBuffer bad = MakeProc(u"Neg", ApplyPriority, 4);
    bad->varDataLength = -1;
    EXPECT_EQ(db.ReplaceProcRule(bad.get(), stamp), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(db.ProcStamp(), stamp);
    EXPECT_EQ(StoredText(RulePath(u"Neg"), u"MemberOf"), u"Crew");
    EXPECT_NE(StoredText(RulePath(u"Neg"), u"DfltMgmt").find(u"P0xd"), std::u16string::npos);
    EXPECT_FALSE(Exists(RulePath(u"Neg"), u"VarData"));

    JobBuffer job = MakeJob(u"NegGroup");
    job->varDataLength = -5;
    EXPECT_EQ(db.AddGroupRule(job.get()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Exists(GroupPath(u"NegGroup"), u"DfltMgmt"));
}

// A group rule stores no MemberOf; its text carries the group fields.
TEST_F(RuleValuesTest, WritesAGroupRule) {
    ZembrikDb db;
    GrantAllRights();
    JobBuffer g = MakeJob(u"Batch", LimitProcessCount | LimitProcTime | RemoveWhenEmpty, 4);
    g->summary.mgmt.procTimeLimit = 20000000;
    g->summary.mgmt.groupMemoryLimit = 0x40000000;
    g->summary.mgmt.priority = 13;
    ASSERT_EQ(db.AddGroupRule(g.get()), 0u);
    EXPECT_EQ(StoredText(GroupPath(u"Batch"), u"DfltMgmt"),
              u"{F0x4006,A0x0,P0xd,L0x0,H0x0,S0x0,T0x1312d00,U0x0,C0x4,M0x0,N0x40000000}");
    EXPECT_FALSE(Exists(GroupPath(u"Batch"), u"MemberOf"));
    EXPECT_FALSE(Exists(GroupPath(u"Batch"), u"Description"));
    EXPECT_FALSE(Exists(GroupPath(u"Batch"), u"VarData"));
}

// A failed store of the management text is logged and the description is still written.
TEST_F(RuleValuesTest, FailedStoreIsLoggedAndTheBlockRunsOn) {
    ZembrikDb db;
    GrantAllRights();
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Bad").get()), 0u);
    ProcBuffer rule = MakeProc(u"Bad", ApplyPriority, 10);
    // A lone surrogate is no valid value name: the store of the text fails.
    rule->summary.mgmt.mgmtName[0] = 0xD800;
    rule->summary.mgmt.mgmtName[1] = 0;
    lstrcpynW(rule->summary.mgmt.description, u"still written", 64);
    EXPECT_EQ(db.ReplaceProcRule(rule.get(), db.ProcStamp()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StoredText(RulePath(u"Bad"), u"Description"), u"still written");
    auto events = EventsWithId("0xE00000B8");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings[0], "RegSetValueEx");
    EXPECT_EQ(events[0].data, "57000000") << "the event reports the store's own result";
}

// The poll interval: a REG_DWORD of 4 bytes is used when in range and never rewritten;
// anything else is replaced by 60.
TEST_F(RuleValuesTest, PollSecondsReadAndDefault) {
    const DWORD values[] = {1, 2, 900, 901};
    const DWORD expectedMs[] = {60000, 2000, 900000, 60000};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(SetValue(ParamPath(), u"ProcessPollSeconds", REG_DWORD, &values[i], 4), 0);
        ZembrikDb db;
        ASSERT_TRUE(db.IsReady());
        EXPECT_EQ(db.PollMilliseconds(), expectedMs[i]);
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(GetValue(ParamPath(), u"ProcessPollSeconds", type, data));
        ASSERT_EQ(data.size(), 4u);
        DWORD stored = 0;
        memcpy(&stored, data.data(), 4);
        EXPECT_EQ(stored, values[i]) << "an out-of-range value stays stored";
    }
    const WORD shortValue = 30;
    const DWORD binary = 30;
    for (int i = 0; i < 3; ++i) {
        const LONG rc = i == 0   ? SetString(ParamPath(), u"ProcessPollSeconds", u"30")
                        : i == 1 ? SetValue(ParamPath(), u"ProcessPollSeconds", REG_BINARY, &binary, 4)
                                 : SetValue(ParamPath(), u"ProcessPollSeconds", REG_DWORD, &shortValue, 2);
        ASSERT_EQ(rc, 0);
        ZembrikDb db;
        ASSERT_TRUE(db.IsReady());
        EXPECT_EQ(db.PollMilliseconds(), 60000u) << i;
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(GetValue(ParamPath(), u"ProcessPollSeconds", type, data));
        EXPECT_EQ(type, REG_DWORD) << i;
        EXPECT_EQ(data, (std::vector<BYTE>{60, 0, 0, 0})) << i;
    }
}

// A mistyped or empty-data alias list loads as just the default rule; the mistyped one is rewritten.
TEST_F(RuleValuesTest, NameRulesMistypedOrEmpty) {
    ASSERT_EQ(SetString(ParamPath(), u"NameRules", u"{P,a,b}"), 0);
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), 0u);
    EXPECT_EQ(db.AliasCount(), 1u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(ParamPath(), u"NameRules", type, data));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data, (std::vector<BYTE>{0, 0, 0, 0}));

    // A REG_MULTI_SZ without any data is an empty list too, and is left as it is.
    ASSERT_EQ(SetValue(ParamPath(), u"NameRules", REG_MULTI_SZ, nullptr, 0), 0);
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), 0u);
    EXPECT_EQ(db.AliasCount(), 1u);
    ASSERT_TRUE(GetValue(ParamPath(), u"NameRules", type, data));
    EXPECT_TRUE(data.empty());
}

// Stored strings load in order with the default rule appended; a pattern keeps its commas.
TEST_F(RuleValuesTest, NameRulesLoadInOrder) {
    ASSERT_EQ(SetMulti(ParamPath(), u"NameRules", {u"{P,a,b,c}", u"{D,Tools,<D>,\"by folder\"}"}), 0);
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), 0u);
    ASSERT_EQ(db.AliasCount(), 3u);
    NameRule list[3];
    WORD size = 0, count = 0;
    LONG stamp = 0;
    db.ListNameRules(0, list, 3, &size, &count, &stamp);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::u16string(list[0].match), u"a,b");
    EXPECT_EQ(std::u16string(list[0].name), u"c");
    EXPECT_EQ(std::u16string(list[1].description), u"by folder");
    EXPECT_EQ(std::u16string(list[2].match), u"*");
    EXPECT_EQ(std::u16string(list[2].name), u"<P>");
}

// A malformed first string: event 0xE00000BE with error 13, and only empty records, one per string.
TEST_F(RuleValuesTest, MalformedFirstAliasString) {
    ASSERT_EQ(SetMulti(ParamPath(), u"NameRules", {u"{A,x,\"quoted\"}", u"{P,a,b}"}), 0);
    ZembrikDb db;
    EXPECT_EQ(db.LoadRules(kLoadAliasRules), static_cast<DWORD>(ERROR_INVALID_DATA));
    auto events = EventsWithId("0xE00000BE");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings[0], "NameRules");
    EXPECT_EQ(events[0].data, "0d000000");
    ASSERT_EQ(db.AliasCount(), 2u);
    NameRule list[2];
    WORD size = 0, count = 0;
    LONG stamp = 0;
    db.ListNameRules(0, list, 2, &size, &count, &stamp);
    ASSERT_EQ(count, 2);
    const NameRule zero{};
    EXPECT_EQ(memcmp(&list[0], &zero, sizeof(zero)), 0);
    EXPECT_EQ(memcmp(&list[1], &zero, sizeof(zero)), 0);
}

// When the empty alias list cannot be written, the load fails with 13 and the invalid-data event.
TEST_F(RuleValuesTest, UnwritableEmptyAliasList) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    OpenTopForTraversal();
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    // Others may look into the Parameters key but not change it.
    ASSERT_EQ(chmod(KeyDir("").c_str(), 0755), 0);
    ASSERT_EQ(chmod(KeyDir("/.values").c_str(), 0644), 0);
    DWORD result = 0;
    std::thread t([&] {
        const DWORD groups[] = {kNobody};
        if (!PalImpersonateUser(kNobody, kNobody, groups, 1)) {
            result = 0xFFFFFFFF;
            return;
        }
        result = db.LoadRules(kLoadAliasRules);
        RevertToSelf();
    });
    t.join();
    ASSERT_NE(result, 0xFFFFFFFFu) << "impersonation failed";
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_INVALID_DATA));
    auto events = EventsWithId("0xE00000BE");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings[0], "NameRules");
    EXPECT_FALSE(Exists(ParamPath(), u"NameRules"));
}

// Without the realtime right a realtime rule stops after MemberOf: nothing of the block is written.
TEST_F(RuleValuesTest, RealtimeWithoutTheRightWritesNoBlock) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    OpenTopForTraversal();
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    GrantAllRights();
    ASSERT_EQ(db.LoadRules(kLoadProcRules), 0u);
    ProcBuffer before = MakeProc(u"Fast", ApplyPriority | JoinGroup, 13, u"Old");
    lstrcpynW(before->summary.mgmt.description, u"before", 64);
    ASSERT_EQ(db.AddProcRule(before.get()), 0u);
    // The right belongs to root alone; an administrator may change rules but not this one.
    ASSERT_EQ(chmod(KeyDir("/AccessControl/SetRealTimePriority").c_str(), 0700), 0);
    const LONG stamp = db.ProcStamp();
    // Replaces the rule on a thread acting as a member of the administrators' group.
    auto replaceAsAdmin = [&](ProcBuffer& rule) {
        DWORD result = 0xFFFFFFFF;
        std::thread t([&] {
            const DWORD admins = pal::AdminGroupId();
            const DWORD groups[] = {admins};
            if (!PalImpersonateUser(kNobody, admins, groups, 1)) return;
            result = db.ReplaceProcRule(rule.get(), stamp);
            RevertToSelf();
        });
        t.join();
        return result;
    };
    const std::u16string key = RulePath(u"Fast");

    ProcBuffer fast = MakeProc(u"Fast", ApplyPriority | JoinGroup, 24, u"New", "zz");
    lstrcpynW(fast->summary.mgmt.description, u"after", 64);
    EXPECT_EQ(replaceAsAdmin(fast), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(StoredText(key, u"MemberOf"), u"New") << "MemberOf comes before the check";
    EXPECT_NE(StoredText(key, u"DfltMgmt").find(u"P0xd"), std::u16string::npos);
    EXPECT_EQ(StoredText(key, u"Description"), u"before");
    EXPECT_FALSE(Exists(key, u"VarData"));
    EXPECT_EQ(db.ProcStamp(), stamp) << "not reloaded";

    // The same user stores a rule below realtime.
    ProcBuffer high = MakeProc(u"Fast", ApplyPriority | JoinGroup, 15, u"Newer");
    EXPECT_EQ(replaceAsAdmin(high), 0u);
    EXPECT_EQ(StoredText(key, u"MemberOf"), u"Newer");
    EXPECT_NE(StoredText(key, u"DfltMgmt").find(u"P0xf"), std::u16string::npos);
    EXPECT_EQ(db.ProcStamp(), stamp + 1);
}
