// zembrikctl's readable rule settings: priority words, CPU lists, sizes,
// durations, working sets, and the rule options that set a field with its
// mgmtFlags bit.
#include <gtest/gtest.h>

#include "client/rule_options.h"
#include "client/service_client.h"

using namespace zctl;

// Priority words give the canonical number of their class; numbers 1-31 pass.
TEST(RuleOptions, PriorityWordsAndNumbers) {
    const std::pair<const char*, DWORD> cases[] = {{"idle", 4},          {"below-normal", 6}, {"Normal", 8},
                                                   {"above_normal", 10}, {"HIGH", 13},        {"realtime", 24},
                                                   {"1", 1},             {"31", 31}};
    for (const auto& c : cases) {
        DWORD n = 0;
        std::string error;
        EXPECT_TRUE(ParsePriority(c.first, n, error)) << c.first << ": " << error;
        EXPECT_EQ(n, c.second) << c.first;
    }
    for (const char* bad : {"", "0", "32", "fast", "normal2", "-1"}) {
        DWORD n = 0;
        std::string error;
        EXPECT_FALSE(ParsePriority(bad, n, error)) << bad;
        EXPECT_NE(error.find(std::string("'") + bad + "'"), std::string::npos) << error;
        EXPECT_NE(error.find("below-normal"), std::string::npos) << "the message lists the words: " << error;
    }
    EXPECT_EQ(PriorityWord(13), "high");
    EXPECT_EQ(PriorityWord(15), "high");
    EXPECT_EQ(PriorityWord(0), "none");
}

// CPU lists become masks and masks read back as the shortest list.
TEST(RuleOptions, CpuLists) {
    const std::pair<const char*, ULONGLONG> cases[] = {
        {"0-3,6", 0x4F}, {"5", 0x20}, {"0,1", 0x3}, {"63", 1ULL << 63}, {"0-63", ~0ULL}, {"2-2", 0x4}, {"0x30", 0x30}};
    for (const auto& c : cases) {
        ULONGLONG mask = 0;
        std::string error;
        EXPECT_TRUE(ParseCpuList(c.first, mask, error)) << c.first << ": " << error;
        EXPECT_EQ(mask, c.second) << c.first;
    }
    for (const char* bad : {"", "64", "3-1", "a", "1,,2", ",1", "1,", "-1", "1-", "0x0", "1.5"}) {
        ULONGLONG mask = 0;
        std::string error;
        EXPECT_FALSE(ParseCpuList(bad, mask, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    std::string error;
    ULONGLONG mask = 0;
    EXPECT_FALSE(ParseCpuList("0-70", mask, error));
    EXPECT_NE(error.find("63"), std::string::npos) << "names the last CPU: " << error;
    EXPECT_EQ(CpuListText(0x4F), "0-3,6");
    EXPECT_EQ(CpuListText(0x15), "0,2,4");
    EXPECT_EQ(CpuListText(0), "none");
    EXPECT_EQ(CpuListText(~0ULL), "0-63");
}

// Sizes take binary units in several spellings and refuse zero and overflow.
TEST(RuleOptions, Sizes) {
    const std::pair<const char*, ULONGLONG> cases[] = {
        {"64M", 64ULL << 20}, {"1536k", 1536ULL << 10}, {"2GiB", 2ULL << 30}, {"1000", 1000},
        {"3gb", 3ULL << 30},  {"1T", 1ULL << 40},       {"512b", 512}};
    for (const auto& c : cases) {
        ULONGLONG bytes = 0;
        std::string error;
        EXPECT_TRUE(ParseSize(c.first, bytes, error)) << c.first << ": " << error;
        EXPECT_EQ(bytes, c.second) << c.first;
    }
    for (const char* bad : {"", "0", "0M", "12X", "M", "-5", "1.5G", "99999999999T", "99999999999999999999"}) {
        ULONGLONG bytes = 0;
        std::string error;
        EXPECT_FALSE(ParseSize(bad, bytes, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(SizeText(64ULL << 20), "64M");
    EXPECT_EQ(SizeText(1536ULL << 10), "1536K");
    EXPECT_EQ(SizeText(1000), "1000");
}

// Durations are 100-ns units; a bare number is seconds.
TEST(RuleOptions, Durations) {
    const std::pair<const char*, LONGLONG> cases[] = {{"30s", 300000000LL},    {"5m", 3000000000LL},
                                                      {"1500ms", 15000000LL},  {"2h", 72000000000LL},
                                                      {"1d", 864000000000LL},  {"10", 100000000LL},
                                                      {"3min", 1800000000LL}};
    for (const auto& c : cases) {
        LONGLONG t = 0;
        std::string error;
        EXPECT_TRUE(ParseDuration(c.first, t, error)) << c.first << ": " << error;
        EXPECT_EQ(t, c.second) << c.first;
    }
    for (const char* bad : {"", "0s", "5y", "s", "-3s", "99999999999999d"}) {
        LONGLONG t = 0;
        std::string error;
        EXPECT_FALSE(ParseDuration(bad, t, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(DurationText(300000000LL), "30s");
    EXPECT_EQ(DurationText(3000000000LL), "5m");
    EXPECT_EQ(DurationText(15000000LL), "1500ms");
}

// A working set is MIN,MAX with a minimum above 0 and below the maximum,
// as the service applies it.
TEST(RuleOptions, WorkingSet) {
    ULONGLONG lo = 0, hi = 0;
    std::string error;
    ASSERT_TRUE(ParseWorkingSet("64M,256M", lo, hi, error)) << error;
    EXPECT_EQ(lo, 64ULL << 20);
    EXPECT_EQ(hi, 256ULL << 20);
    EXPECT_FALSE(ParseWorkingSet("256M,64M", lo, hi, error));
    EXPECT_NE(error.find("minimum"), std::string::npos) << error;
    EXPECT_FALSE(ParseWorkingSet("64M", lo, hi, error));
    EXPECT_FALSE(ParseWorkingSet("64M,", lo, hi, error));
    EXPECT_FALSE(ParseWorkingSet("64M,64M", lo, hi, error)) << "equal sizes are refused by the service";
    EXPECT_FALSE(ParseWorkingSet("0,64M", lo, hi, error));
}

// Every setting option sets its field and its bit; the --no- form clears both.
TEST(RuleOptions, OptionsSetFieldAndBit) {
    RuleEdit e;
    std::string error;
    auto apply = [&](RuleKind kind, const char* option, const char* value) {
        bool ok = ApplyRuleOption(kind, option, value, e, error);
        EXPECT_TRUE(ok) << option << " " << value << ": " << error;
    };
    apply(RuleKind::Group, "--priority", "high");
    apply(RuleKind::Group, "--affinity", "0-1");
    apply(RuleKind::Group, "--working-set", "1M,2M");
    apply(RuleKind::Group, "--max-procs", "10");
    apply(RuleKind::Group, "--proc-time", "30s");
    apply(RuleKind::Group, "--group-time", "5m");
    apply(RuleKind::Group, "--proc-mem", "512M");
    apply(RuleKind::Group, "--group-mem", "2G");
    apply(RuleKind::Group, "--sched-class", "7");
    apply(RuleKind::Group, "--remove-when-empty", "");
    apply(RuleKind::Group, "--post-at-end", "");
    apply(RuleKind::Group, "--breakaway", "");
    apply(RuleKind::Group, "--silent-breakaway", "");
    apply(RuleKind::Group, "--die-on-exception", "");
    apply(RuleKind::Group, "--description", "batch jobs");
    const MgmtData& m = e.mgmt;
    EXPECT_EQ(+m.priority, 13u);
    EXPECT_EQ(+m.affinity, 0x3u);
    EXPECT_EQ(+m.minWorkingSet, 1ULL << 20);
    EXPECT_EQ(+m.maxWorkingSet, 2ULL << 20);
    EXPECT_EQ(+m.processCount, 10u);
    EXPECT_EQ(+m.procTimeLimit, 300000000LL);
    EXPECT_EQ(+m.groupTimeLimit, 3000000000LL);
    EXPECT_EQ(+m.procMemoryLimit, 512ULL << 20);
    EXPECT_EQ(+m.groupMemoryLimit, 2ULL << 30);
    EXPECT_EQ(+m.schedClass, 7u);
    EXPECT_EQ(FieldText(m.description, 64), "batch jobs");
    DWORD all = ApplyPriority | ApplyAffinity | ApplyWorkingSet | LimitProcessCount | LimitProcTime | LimitGroupTime |
                LimitProcMemory | LimitGroupMemory | LimitSchedClass | RemoveWhenEmpty | PostAtEndOfJob | BreakawayOk |
                SilentBreakawayOk | DieOnUnhandledException;
    EXPECT_EQ(+m.mgmtFlags, all);
    EXPECT_EQ(+m.mgmtFlags & ~PersistentFlagMask, 0u) << "only bits the registry keeps";
    EXPECT_EQ(SettingsText(RuleKind::Group, m, nullptr),
              "priority=high affinity=0-1 working-set=1M,2M max-procs=10 proc-time=30s group-time=5m proc-mem=512M "
              "group-mem=2G sched-class=7 remove-when-empty post-at-end breakaway silent-breakaway die-on-exception");

    ASSERT_TRUE(ApplyRuleOption(RuleKind::Group, "--no-priority", "", e, error));
    ASSERT_TRUE(ApplyRuleOption(RuleKind::Group, "--no-breakaway", "", e, error));
    EXPECT_EQ(+e.mgmt.mgmtFlags, all & ~(ApplyPriority | BreakawayOk));
    EXPECT_EQ(+e.mgmt.priority, 0u);

    RuleEdit p;
    ASSERT_TRUE(ApplyRuleOption(RuleKind::Process, "--group", "Batch", p, error)) << error;
    EXPECT_EQ(+p.mgmt.mgmtFlags, static_cast<DWORD>(JoinGroup));
    EXPECT_EQ(FieldText(p.memberOf, 64), "Batch");
    EXPECT_EQ(SettingsText(RuleKind::Process, p.mgmt, p.memberOf), "group=Batch");
}

// Options belong to their kind of rule, and bad values name the option.
TEST(RuleOptions, KindsAndErrors) {
    bool takesValue = false;
    EXPECT_TRUE(IsRuleOption(RuleKind::Process, "--priority", takesValue));
    EXPECT_TRUE(takesValue);
    EXPECT_TRUE(IsRuleOption(RuleKind::Group, "--breakaway", takesValue));
    EXPECT_FALSE(takesValue);
    EXPECT_TRUE(IsRuleOption(RuleKind::Group, "--no-proc-mem", takesValue));
    EXPECT_FALSE(takesValue);
    EXPECT_FALSE(IsRuleOption(RuleKind::Process, "--max-procs", takesValue)) << "a group limit";
    EXPECT_FALSE(IsRuleOption(RuleKind::Group, "--group", takesValue)) << "a process setting";
    EXPECT_FALSE(IsRuleOption(RuleKind::Group, "--no-description", takesValue));

    RuleEdit e;
    std::string error;
    EXPECT_FALSE(ApplyRuleOption(RuleKind::Group, "--sched-class", "10", e, error));
    EXPECT_EQ(error.rfind("--sched-class: ", 0), 0u) << error;
    EXPECT_FALSE(ApplyRuleOption(RuleKind::Group, "--max-procs", "0", e, error));
    EXPECT_FALSE(ApplyRuleOption(RuleKind::Group, "--proc-time", "999ms", e, error)) << "under a second";
    EXPECT_FALSE(ApplyRuleOption(RuleKind::Group, "--group-time", "500ms", e, error));
    EXPECT_FALSE(ApplyRuleOption(RuleKind::Process, "--group", std::string(64, 'g'), e, error));
    EXPECT_FALSE(ApplyRuleOption(RuleKind::Process, "--description", std::string(64, 'd'), e, error));
    EXPECT_EQ(+e.mgmt.mgmtFlags, 0u) << "a refused option sets nothing";
}
