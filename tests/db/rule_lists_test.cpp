// The lists clients read and the manager's copies.
#include <gtest/gtest.h>

#include <vector>

#include "db/list_fold.h"
#include "db/zembrik_db.h"
#include "tests/db/db_test_support.h"

using namespace dbtest;

class RuleListsTest : public DbTest {};

TEST_F(RuleListsTest, NameRulePages) {
    ZembrikDb db;
    ASSERT_EQ(SetMulti(ParamPath(), u"NameRules", {u"{P,a,A}", u"{P,b,B}"}), 0);
    ASSERT_EQ(db.LoadRules(kLoadAliasRules), 0u);
    NameRule page[3];
    WORD size = 0, count = 0;
    LONG stamp = 0;
    EXPECT_TRUE(db.ListNameRules(0, page, 1, &size, &count, &stamp));
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(db.ListNameRules(2, page, 3, &size, &count, &stamp));
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::u16string(page[0].name), u"<P>") << "the last page ends with the default rule";
    EXPECT_FALSE(db.ListNameRules(3, page, 3, &size, &count, &stamp));
    EXPECT_EQ(count, 0);
}

// Keyed pages: from the key or after it; exact mode never reports more.
TEST_F(RuleListsTest, SummaryPagesByKey) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    for (const char16_t* n : {u"delta", u"Alpha", u"charlie", u"Bravo"}) ASSERT_EQ(db.AddProcRule(MakeProc(n).get()), 0u);
    ProcSummary key{};
    ProcSummary out[8];
    WORD size = 0, count = 0;
    EXPECT_FALSE(db.ListProcSummaries(&key, 0, out, 8, &size, &count));
    ASSERT_EQ(count, 4);
    EXPECT_EQ(size, sizeof(ProcSummary));
    std::vector<std::u16string> names;
    for (int i = 0; i < count; ++i) names.push_back(out[i].name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"Bravo", u"charlie", u"delta"}));
    lstrcpynW(key.name, u"BRAVO", 64);
    EXPECT_TRUE(db.ListProcSummaries(&key, ListFromKey, out, 2, &size, &count));
    ASSERT_EQ(count, 2);
    EXPECT_EQ(std::u16string(out[0].name), u"Bravo");
    EXPECT_TRUE(db.ListProcSummaries(&key, 0, out, 1, &size, &count));
    EXPECT_EQ(std::u16string(out[0].name), u"charlie") << "without ListFromKey the page starts after the key";
    EXPECT_FALSE(db.ListProcSummaries(&key, ListExact, out, 1, &size, &count));
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::u16string(out[0].name), u"Bravo");
}

namespace {

ProcListEntry Entry(const char16_t* name, DWORD flags, ULONGLONG pid = 0, DWORD priority = 0) {
    ProcListEntry e{};
    lstrcpynW(e.name, name, 64);
    e.listFlags = flags;
    e.pid = pid;
    e.priority = priority;
    if (pid != 0) lstrcpynW(e.imageName, u"foo.bin", 64);
    return e;
}

}  // namespace

// A rule, an alias and two running processes of one name give two entries:
// the first unites them with the first process, the second carries the
// name's rule flags with the second process.
TEST(ListFoldTest, RulesAliasesAndProcessesFold) {
    std::vector<ProcListEntry> all{Entry(u"foo", RunningNow, 200, 13), Entry(u"foo", HasRule | RuleInEffect),
                                   Entry(u"bar", RunningNow, 7, 9), Entry(u"foo", NamedByAlias),
                                   Entry(u"foo", RunningNow, 100, 15), Entry(u"onlyrule", HasRule)};
    ProcListEntry key{};
    ProcListEntry out[8];
    bool more = true;
    DWORD n = FoldProcList(all.data(), static_cast<DWORD>(all.size()), key, 0, out, 8, more);
    EXPECT_FALSE(more);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::u16string(out[0].name), u"bar");
    EXPECT_EQ(out[0].priority, 8u) << "priorities are normalised to their class";
    EXPECT_EQ(std::u16string(out[1].name), u"foo");
    EXPECT_EQ(out[1].pid, 100u);
    EXPECT_EQ(out[1].priority, 13u);
    EXPECT_EQ(out[1].listFlags, HasRule | RuleInEffect | NamedByAlias | RunningNow);
    EXPECT_EQ(std::u16string(out[1].imageName), u"foo.bin");
    EXPECT_EQ(out[2].pid, 200u);
    EXPECT_EQ(out[2].listFlags & (HasRule | NamedByAlias | RunningNow), HasRule | NamedByAlias | RunningNow);
    EXPECT_EQ(std::u16string(out[3].name), u"onlyrule");

    // Running only: names with rules alone are left out.
    n = FoldProcList(all.data(), static_cast<DWORD>(all.size()), key, ListRunningOnly, out, 8, more);
    ASSERT_EQ(n, 3u);
    for (DWORD i = 0; i < n; ++i) EXPECT_NE(out[i].listFlags & RunningNow, 0u);

    // A full page reports more when the walk stopped early.
    n = FoldProcList(all.data(), static_cast<DWORD>(all.size()), key, 0, out, 1, more);
    EXPECT_EQ(n, 1u);
    EXPECT_TRUE(more);
}

TEST(ListFoldTest, ExactAndGroupFilters) {
    std::vector<ProcListEntry> all{Entry(u"a", RunningNow, 5), Entry(u"b", RunningNow, 6), Entry(u"b", RunningNow, 9)};
    lstrcpynW(all[2].groupName, u"G", 64);
    ProcListEntry key = Entry(u"B", 0, 9);
    ProcListEntry out[4];
    bool more = false;
    DWORD n = FoldProcList(all.data(), 3, key, ListExact, out, 4, more);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(out[0].pid, 9u);
    ProcListEntry byGroup{};
    lstrcpynW(byGroup.groupName, u"g", 64);
    n = FoldProcList(all.data(), 3, byGroup, ListSameGroup, out, 4, more);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(out[0].pid, 9u);
}

// A group named only by a process rule appears with NamedAsGroup alone; a
// schedule class of 10 is no setting in effect.
TEST_F(RuleListsTest, GroupListMergesRulesAndMembers) {
    // Stored by hand: the service itself writes a class above 9 as 5.
    ASSERT_EQ(SetString(ParamPath(u"GroupRules\\Idle"), u"DfltMgmt", u"{F0x10,S0xa}"), 0);
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Tool", JoinGroup, 0, u"Crew").get()), 0u);
    ASSERT_EQ(db.AddGroupRule(MakeJob(u"Busy", LimitProcessCount, 3).get()), 0u);
    JobListEntry out[8];
    WORD size = 0, count = 0;
    EXPECT_FALSE(db.ListGroups(u"", 0, out, 8, &size, &count));
    ASSERT_EQ(count, 3);
    EXPECT_EQ(size, sizeof(JobListEntry));
    EXPECT_EQ(std::u16string(out[0].name), u"Busy");
    EXPECT_EQ(out[0].listFlags, HasRule | RuleInEffect);
    EXPECT_EQ(std::u16string(out[1].name), u"Crew");
    EXPECT_EQ(out[1].listFlags, NamedAsGroup);
    EXPECT_EQ(std::u16string(out[2].name), u"Idle");
    EXPECT_EQ(out[2].listFlags, HasRule);
    EXPECT_FALSE(db.ListGroups(u"", ListRunningOnly, out, 8, &size, &count));
    EXPECT_EQ(count, 0) << "nothing runs";
}

// The process list unites a rule and a fixed-name alias; a template with a
// marker adds no entry.
TEST_F(RuleListsTest, ProcessListFromRulesAndAliases) {
    ASSERT_EQ(SetMulti(ParamPath(), u"NameRules", {u"{P,fo*,foo}", u"{P,x*,<P>-x}"}), 0);
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"foo", JoinGroup, 0, u"Crew").get()), 0u);
    ProcListEntry key{};
    ProcListEntry out[8];
    WORD size = 0, count = 0;
    EXPECT_FALSE(db.ListProcesses(&key, 0, out, 8, &size, &count));
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::u16string(out[0].name), u"foo");
    EXPECT_EQ(out[0].listFlags, HasRule | NamedAsGroup | RuleInEffect | NamedByAlias);
    EXPECT_EQ(std::u16string(out[0].groupName), u"Crew");

    // The list is kept between pages: a rule or alias change, or a new live
    // list, shows at once; an unchanged live version is not copied again.
    struct Live {
        std::vector<ProcListEntry> entries;
        ULONGLONG version = 1;
        int copies = 0;
    } live;
    live.entries.resize(1);
    lstrcpynW(live.entries[0].name, u"bar", kNameUnits);
    live.entries[0].pid = 7;
    live.entries[0].listFlags = RunningNow;
    LiveLists lists;
    lists.source = &live;
    lists.processes = [](void* s, ProcListEntry** e, ULONGLONG* v) -> DWORD {
        auto* l = static_cast<Live*>(s);
        if (*v == l->version) return 0;
        ++l->copies;
        *e = new ProcListEntry[l->entries.size()];
        std::copy(l->entries.begin(), l->entries.end(), *e);
        *v = l->version;
        return static_cast<DWORD>(l->entries.size());
    };
    db.SetLiveLists(lists);
    auto names = [&](const ProcListEntry& from, DWORD flags) {
        std::vector<std::u16string> n;
        WORD sz = 0, c = 0;
        db.ListProcesses(&from, flags, out, 8, &sz, &c);
        for (WORD i = 0; i < c; ++i) n.emplace_back(out[i].name);
        return n;
    };
    using Names = std::vector<std::u16string>;
    EXPECT_EQ(names(key, 0), (Names{u"bar", u"foo"}));
    ASSERT_EQ(db.AddProcRule(MakeProc(u"zed").get()), 0u);
    EXPECT_EQ(names(key, 0), (Names{u"bar", u"foo", u"zed"}));
    NameRule alias{};
    alias.matchType = u'P';
    lstrcpynW(alias.match, u"q*", 64);
    lstrcpynW(alias.name, u"quux", kNameUnits);
    ASSERT_EQ(db.InsertNameRule(&alias, 0, db.NameStamp()), 0u);
    EXPECT_EQ(names(key, 0), (Names{u"bar", u"foo", u"quux", u"zed"}));
    EXPECT_EQ(live.copies, 1);
    live.entries[0].pid = 9;
    lstrcpynW(live.entries[0].name, u"moo", kNameUnits);
    ++live.version;
    EXPECT_EQ(names(key, 0), (Names{u"foo", u"moo", u"quux", u"zed"}));
    // A later page starts at its key, before which nothing comes back.
    ProcListEntry from{};
    lstrcpynW(from.name, u"moo", kNameUnits);
    EXPECT_EQ(names(from, ListFromKey), (Names{u"moo", u"quux", u"zed"}));
    from.pid = 9;
    EXPECT_EQ(names(from, 0), (Names{u"quux", u"zed"}));
    EXPECT_EQ(live.copies, 2);
    db.SetLiveLists(LiveLists{});
    EXPECT_EQ(names(key, 0), (Names{u"foo", u"quux", u"zed"}));
}

TEST_F(RuleListsTest, DefinitionsForTheManager) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    InternalProcDef* procs = nullptr;
    EXPECT_EQ(db.GetProcDefs(&procs), 0u);
    EXPECT_EQ(procs, nullptr);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"zed", ApplyAffinity, 0).get()), 0u);
    ASSERT_EQ(db.AddProcRule(MakeProc(u"Amy", ApplyPriority | JoinGroup, 10, u"G").get()), 0u);
    ASSERT_EQ(db.GetProcDefs(&procs), 2u);
    EXPECT_EQ(std::u16string(procs[0].name), u"Amy");
    EXPECT_EQ(std::u16string(procs[0].memberOf), u"G");
    EXPECT_EQ(procs[0].priority, 10u);
    EXPECT_EQ(procs[0].mgmtFlags, ApplyPriority | JoinGroup | HasMemberOf);
    delete[] procs;
    InternalJobDef* jobs = nullptr;
    EXPECT_EQ(db.GetGroupDefs(&jobs, u"none"), 0u);
    EXPECT_EQ(jobs, nullptr);
}

TEST(RuleSettingsTest, WhatCountsAsInEffect) {
    MgmtData m{};
    m.mgmtFlags = ApplyAffinity;
    EXPECT_FALSE(ProcRuleHasSettings(m)) << "a zero mask sets nothing";
    m.affinity = 1;
    EXPECT_TRUE(ProcRuleHasSettings(m));
    m = MgmtData{};
    m.mgmtFlags = ApplyWorkingSet;
    m.minWorkingSet = 1;
    EXPECT_FALSE(GroupRuleHasSettings(m));
    m.maxWorkingSet = 2;
    EXPECT_TRUE(GroupRuleHasSettings(m));
    m = MgmtData{};
    m.mgmtFlags = BreakawayOk;
    EXPECT_TRUE(GroupRuleHasSettings(m));
    EXPECT_FALSE(ProcRuleHasSettings(m));
}
