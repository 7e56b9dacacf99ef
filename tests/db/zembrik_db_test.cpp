// The rule database against a real registry tree: construction, loads,
// stamps, changes, restores and rights.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/sync.h"
#include "wire/result_codes.h"
#include "support/event_log_reader.h"
#include "tests/db/db_test_support.h"

using namespace dbtest;
using testsupport::EventsWithId;

class ZembrikDbTest : public DbTest {};

// A new database creates its keys, writes the default poll interval and,
// once loaded, holds just the default alias rule.
TEST_F(ZembrikDbTest, ConstructionAndFirstLoad) {
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    EXPECT_EQ(db.PollMilliseconds(), 60000u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(ParamPath(), u"ProcessPollSeconds", type, data));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, (std::vector<BYTE>{60, 0, 0, 0}));
    EXPECT_EQ(db.NameStamp(), 1);
    ASSERT_EQ(db.LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules), 0u);
    EXPECT_EQ(db.NameStamp(), 2);
    EXPECT_EQ(db.ProcStamp(), 2);
    EXPECT_EQ(db.GroupStamp(), 2);
    // The missing alias list is written as the empty multi-string.
    ASSERT_TRUE(GetValue(ParamPath(), u"NameRules", type, data));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data.size(), 4u);
    NameRule rules[4];
    WORD size = 0, count = 0;
    LONG stamp = 0;
    EXPECT_FALSE(db.ListNameRules(0, rules, 4, &size, &count, &stamp));
    ASSERT_EQ(count, 1);
    EXPECT_EQ(size, sizeof(NameRule));
    EXPECT_EQ(stamp, 2);
    EXPECT_EQ(rules[0].matchType, u'P');
    EXPECT_EQ(std::u16string(rules[0].match), u"*");
    EXPECT_EQ(std::u16string(rules[0].name), u"<P>");
    EXPECT_EQ(std::u16string(rules[0].description), u"---Default Alias Rule---");
}

// A stored poll interval out of range is used as 60 and left as it is.
TEST_F(ZembrikDbTest, PollIntervalOutOfRangeStaysStored) {
    DWORD one = 1;
    ASSERT_EQ(SetValue(ParamPath(), u"ProcessPollSeconds", REG_DWORD, &one, 4), 0);
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    EXPECT_EQ(db.PollMilliseconds(), 60000u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(ParamPath(), u"ProcessPollSeconds", type, data));
    EXPECT_EQ(data[0], 1);
}

TEST_F(ZembrikDbTest, ProcessRuleLifecycle) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    ProcBuffer rule = MakeProc(u"Editor", ApplyPriority | JoinGroup, 13, u"Office", "opaque");
    lstrcpynW(rule->summary.mgmt.description, u"the editor", 64);
    ASSERT_EQ(db.AddProcRule(rule.get()), 0u);
    EXPECT_EQ(db.ProcStamp(), 3);
    EXPECT_EQ(db.ProcCount(), 1u);

    // Adding it again changes nothing, not even the stamp.
    EXPECT_EQ(db.AddProcRule(rule.get()), ResultExists);
    EXPECT_EQ(db.ProcStamp(), 3);

    ProcBuffer request(64);
    lstrcpynW(request->summary.name, u"EDITOR", 64);
    request->varDataLength = 64;
    LONG stamp = 0;
    ProcBuffer reply(64);
    ASSERT_EQ(db.GetProcRule(request.get(), reply.get(), &stamp), 0u);
    EXPECT_EQ(stamp, 3);
    EXPECT_EQ(std::u16string(reply->summary.memberOf), u"Office");
    EXPECT_EQ(reply->summary.mgmt.priority, 13u);
    EXPECT_EQ(reply->summary.mgmt.mgmtFlags, ApplyPriority | JoinGroup | HasMemberOf);
    EXPECT_EQ(std::u16string(reply->summary.mgmt.description), u"the editor");
    ASSERT_EQ(reply->varDataLength, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply->varData), 6), "opaque");

    // Replace with an old stamp is stale; with the current one it works.
    rule->summary.mgmt.priority = 6;
    EXPECT_EQ(db.ReplaceProcRule(rule.get(), 2), ResultStale);
    ASSERT_EQ(db.ReplaceProcRule(rule.get(), 3), 0u);
    EXPECT_EQ(db.ProcStamp(), 4);

    ASSERT_EQ(db.DeleteProcRule(rule.get()), 0u);
    EXPECT_EQ(db.ProcCount(), 0u);
    EXPECT_EQ(db.ReplaceProcRule(rule.get(), db.ProcStamp()), ResultNotFound);
    EXPECT_EQ(db.GetProcRule(request.get(), reply.get(), &stamp), ResultNotFound);
    // Deleting a missing rule returns 2 and logs nothing.
    size_t before = EventsWithId("0xE00000B8").size();
    EXPECT_EQ(db.DeleteProcRule(rule.get()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(EventsWithId("0xE00000B8").size(), before);
}

// Deleting with a management-value name removes only that value; a rule left
// without "DfltMgmt" reloads flagged as missing its data.
TEST_F(ZembrikDbTest, DeleteOneManagementValue) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    ProcBuffer rule = MakeProc(u"Worker");
    ASSERT_EQ(db.AddProcRule(rule.get()), 0u);
    lstrcpynW(rule->summary.mgmt.mgmtName, u"DfltMgmt", 16);
    ASSERT_EQ(db.DeleteProcRule(rule.get()), 0u);
    ASSERT_EQ(db.ProcCount(), 1u);
    ProcSummary key{};
    ProcSummary out[2];
    WORD size = 0, count = 0;
    db.ListProcSummaries(&key, 0, out, 2, &size, &count);
    ASSERT_EQ(count, 1);
    EXPECT_NE(out[0].mgmt.mgmtFlags & MgmtDataMissing, 0u);
}

TEST_F(ZembrikDbTest, GroupRuleLifecycle) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    JobBuffer g = MakeJob(u"Batch", LimitProcessCount | RemoveWhenEmpty, 4);
    ASSERT_EQ(db.AddGroupRule(g.get()), 0u);
    EXPECT_EQ(db.AddGroupRule(g.get()), ResultExists);
    JobBuffer request;
    lstrcpynW(request->summary.name, u"batch", 64);
    JobBuffer reply;
    LONG stamp = 0;
    ASSERT_EQ(db.GetGroupRule(request.get(), reply.get(), &stamp), 0u);
    EXPECT_EQ(reply->summary.mgmt.processCount, 4u);
    EXPECT_EQ(reply->summary.mgmt.mgmtFlags, LimitProcessCount | RemoveWhenEmpty);
    EXPECT_EQ(stamp, db.GroupStamp());
    g->summary.mgmt.processCount = 9;
    EXPECT_EQ(db.ReplaceGroupRule(g.get(), stamp - 1), ResultStale);
    ASSERT_EQ(db.ReplaceGroupRule(g.get(), stamp), 0u);
    InternalJobDef* defs = nullptr;
    ASSERT_EQ(db.GetGroupDefs(&defs, u"BATCH"), 1u);
    EXPECT_EQ(defs[0].processCount, 9u);
    delete[] defs;
    ASSERT_EQ(db.DeleteGroupRule(g.get()), 0u);
    EXPECT_EQ(db.GetGroupDefs(&defs, nullptr), 0u);
    EXPECT_EQ(defs, nullptr);
}

// Alias rules: inserts before the default rule, index limits, stamps, and the
// stored text.
TEST_F(ZembrikDbTest, AliasRuleChanges) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), 0u);
    LONG stamp = db.NameStamp();
    NameRule editor = MakeAlias(u'P', u"note", u"Editor", u"text editing");
    EXPECT_EQ(db.InsertNameRule(&editor, 1, stamp), ResultBadIndex) << "n is not a valid index";
    ASSERT_EQ(db.InsertNameRule(&editor, 0, stamp), 0u);
    EXPECT_EQ(db.NameStamp(), stamp + 1);
    EXPECT_EQ(db.InsertNameRule(&editor, 0, stamp), ResultStale);
    stamp = db.NameStamp();
    NameRule tools = MakeAlias(u'D', u"Tools", u"<D>", u"by folder");
    ASSERT_EQ(db.InsertNameRule(&tools, 1, stamp), 0u);  // n - 1: just before the default
    EXPECT_EQ(db.AliasCount(), 3u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(ParamPath(), u"NameRules", type, data));
    std::u16string stored(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    EXPECT_EQ(stored, std::u16string(u"{P,note,Editor,\"text editing\"}\0{D,Tools,<D>,\"by folder\"}\0\0", 58));

    stamp = db.NameStamp();
    EXPECT_EQ(db.SwapNameRule(1, stamp), ResultBadIndex) << "the default rule never moves";
    ASSERT_EQ(db.SwapNameRule(0, stamp), 0u);
    stamp = db.NameStamp();
    EXPECT_EQ(db.ReplaceNameRule(&editor, 2, stamp), ResultBadIndex);
    EXPECT_EQ(db.DeleteNameRule(2, stamp), ResultBadIndex);
    ASSERT_EQ(db.DeleteNameRule(0, stamp), 0u);
    NameRule list[4];
    WORD size = 0, count = 0;
    db.ListNameRules(0, list, 4, &size, &count, &stamp);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::u16string(list[0].name), u"Editor");
    EXPECT_EQ(std::u16string(list[1].name), u"<P>");
    // A reload reads back what was stored.
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), 0u);
    db.ListNameRules(0, list, 4, &size, &count, &stamp);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::u16string(list[0].description), u"text editing");
}

// Rights: a missing access-control key refuses its right to everyone (root
// included); an existing one admits whoever may open it.
TEST_F(ZembrikDbTest, RightsFollowTheAccessKeys) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    SetLastError(0);
    EXPECT_EQ(db.CheckAccess(kAccessKillProcess), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(db.SetPollSeconds(30), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(db.SetPollSeconds(1), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the right is checked first";
    EXPECT_EQ(db.RestoreNameRules(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // A realtime rule without the right: the key is made, nothing of the
    // block is written and the list is not reloaded.
    ProcBuffer rt = MakeProc(u"Fast", ApplyPriority | JoinGroup, 24, u"Crew");
    LONG before = db.ProcStamp();
    EXPECT_EQ(db.AddProcRule(rt.get()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(db.ProcStamp(), before);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_TRUE(GetValue(ParamPath(u"ProcessRules\\Fast"), u"MemberOf", type, data));
    EXPECT_FALSE(GetValue(ParamPath(u"ProcessRules\\Fast"), u"DfltMgmt", type, data));

    GrantAllRights();
    EXPECT_EQ(db.CheckAccess(kAccessKillProcess), 0u);
    EXPECT_EQ(db.SetPollSeconds(1), ResultBadValue);
    EXPECT_EQ(db.SetPollSeconds(901), ResultBadValue);
    ASSERT_EQ(db.SetPollSeconds(900), 0u);
    EXPECT_EQ(db.PollMilliseconds(), 900000u);
    ASSERT_TRUE(GetValue(ParamPath(), u"ProcessPollSeconds", type, data));
    EXPECT_EQ(data, (std::vector<BYTE>{0x84, 0x03, 0, 0}));
    ProcBuffer normal = MakeProc(u"Calm", ApplyPriority, 13);
    EXPECT_EQ(db.AddProcRule(normal.get()), 0u);
    EXPECT_EQ(db.ReplaceProcRule(rt.get(), db.ProcStamp()), 0u) << "with the right a realtime rule is stored";
}

// A restore empties a store and loads its list again.
TEST_F(ZembrikDbTest, RestoreEmptiesTheStores) {
    ZembrikDb db;
    GrantAllRights();
    ASSERT_EQ(db.LoadRules(7), 0u);
    NameRule a = MakeAlias(u'P', u"x", u"y");
    ASSERT_EQ(db.InsertNameRule(&a, 0, db.NameStamp()), 0u);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"One").get()), 0u);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Two").get()), 0u);
    ASSERT_EQ(db.AddGroupRule(MakeJob(u"G").get()), 0u);
    ASSERT_EQ(db.RestoreNameRules(), 0u);
    EXPECT_EQ(db.AliasCount(), 1u);
    LONG procStamp = db.ProcStamp();
    ASSERT_EQ(db.RestoreProcRules(), 0u);
    ASSERT_EQ(db.RestoreGroupRules(), 0u);
    EXPECT_EQ(db.ProcCount(), 0u) << "the emptied list is loaded again at once";
    EXPECT_EQ(db.GroupCount(), 0u);
    EXPECT_EQ(db.ProcStamp(), procStamp + 1);
    ASSERT_TRUE(db.IsReady());
    ASSERT_EQ(db.LoadRules(7), 0u);
    EXPECT_EQ(db.ProcCount(), 0u);
    EXPECT_EQ(db.GroupCount(), 0u);
    // The rule keys are back and usable.
    EXPECT_EQ(db.AddProcRule(MakeProc(u"Three").get()), 0u);
}

// A malformed alias string fails the load with 13 and the invalid-data event;
// the list keeps what parsed before it and has no default rule.
TEST_F(ZembrikDbTest, BrokenAliasListFailsTheLoad) {
    ASSERT_EQ(SetMulti(ParamPath(), u"NameRules", {u"{P,a,b}", u"no braces", u"{P,c,d}"}), 0);
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    EXPECT_EQ(db.LoadRules(7), static_cast<DWORD>(ERROR_INVALID_DATA));
    auto bad = EventsWithId("0xE00000BE");
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].strings[0], "NameRules");
    auto api = EventsWithId("0xE00000B9");
    ASSERT_FALSE(api.empty());
    EXPECT_EQ(api.back().strings[0], "ZbDataBase");
    EXPECT_EQ(api.back().strings[1], "LoadRules");
    EXPECT_EQ(db.AliasCount(), 3u);
    NameRule list[4];
    WORD size = 0, count = 0;
    LONG stamp = 0;
    db.ListNameRules(0, list, 4, &size, &count, &stamp);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::u16string(list[0].name), u"b");
    EXPECT_EQ(list[1].matchType, 0);
    EXPECT_EQ(list[2].matchType, 0) << "no default rule after a failed load";
    // Changes are refused until the list is repaired, so the broken list is
    // never written back; a restore repairs it.
    NameRule r = MakeAlias(u'P', u"x", u"y");
    EXPECT_EQ(db.InsertNameRule(&r, 0, db.NameStamp()), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(db.DeleteNameRule(0, db.NameStamp()), static_cast<DWORD>(ERROR_INVALID_DATA));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetValue(ParamPath(), u"NameRules", type, data));
    EXPECT_EQ(data.size(), (8u + 10u + 8u + 1u) * 2u) << "the stored value is untouched";
    GrantAllRights();
    ASSERT_EQ(db.RestoreNameRules(), 0u);
    EXPECT_EQ(db.AliasCount(), 1u);
    EXPECT_EQ(db.InsertNameRule(&r, 0, db.NameStamp()), 0u);
}

// Rules whose management text is broken load flagged; the load succeeds.
TEST_F(ZembrikDbTest, BrokenManagementTextFlagsTheRule) {
    ASSERT_EQ(SetString(ParamPath(u"ProcessRules\\Odd"), u"DfltMgmt", u"{Q0x1}"), 0);
    ASSERT_EQ(SetString(ParamPath(u"ProcessRules\\Fine"), u"DfltMgmt", u"{F0x40,P13}"), 0);
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    InternalProcDef* defs = nullptr;
    ASSERT_EQ(db.GetProcDefs(&defs), 2u);
    EXPECT_EQ(std::u16string(defs[0].name), u"Fine");
    EXPECT_EQ(defs[0].priority, 13u);
    EXPECT_EQ(defs[0].mgmtFlags, ApplyPriority);
    EXPECT_NE(defs[1].mgmtFlags & MgmtDataInvalid, 0u);
    delete[] defs;
    ProcBuffer request;
    lstrcpynW(request->summary.name, u"Odd", 64);
    ProcBuffer reply;
    LONG stamp = 0;
    EXPECT_EQ(db.GetProcRule(request.get(), reply.get(), &stamp), ResultBadStoredData);
}

// Every successful load pulses the change event, waking a waiting manager.
TEST_F(ZembrikDbTest, LoadsPulseTheChangeEvent) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    std::atomic<int> woke{0};
    std::thread waiter([&] {
        if (WaitForSingleObject(db.ChangeEvent(), 5000) == WAIT_OBJECT_0) ++woke;
    });
    Sleep(100);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Wake").get()), 0u);
    waiter.join();
    EXPECT_EQ(woke.load(), 1);
    EXPECT_EQ(WaitForSingleObject(db.ChangeEvent(), 0), WAIT_TIMEOUT) << "pulsed, not left set";
}

// A hand edit under the Parameters key sets the registry-change event.
TEST_F(ZembrikDbTest, HandEditsAreNoticed) {
    ZembrikDb db;
    ASSERT_TRUE(db.IsReady());
    EXPECT_EQ(WaitForSingleObject(db.RegistryChangeEvent(), 0), WAIT_TIMEOUT);
    ASSERT_EQ(SetString(ParamPath(u"GroupRules\\ByHand"), u"DfltMgmt", u"{}"), 0);
    EXPECT_EQ(WaitForSingleObject(db.RegistryChangeEvent(), 5000), WAIT_OBJECT_0);
}
