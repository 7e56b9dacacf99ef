// The client side of the service pipe: the exact bytes of requests, the
// checks on replies, results as words, and the commands' own argument
// checks and connect errors (no service runs in these tests).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/ctl_runner.h"
#include "client/service_client.h"
#include "client/service_commands.h"
#include "pal/error.h"
#include "pal/stateroot.h"
#include "support/test_support.h"

using namespace zctl;

namespace {

DWORD Dword(const std::string& m, size_t at) {
    DWORD v = 0;
    std::memcpy(&v, m.data() + at, sizeof(v));
    return v;
}

SHORT Short(const std::string& m, size_t at) {
    SHORT v = 0;
    std::memcpy(&v, m.data() + at, sizeof(v));
    return v;
}

// Every byte of m in [from, to) is zero except those listed.
void ExpectZeroExcept(const std::string& m, size_t from, size_t to, std::initializer_list<std::pair<size_t, size_t>> set) {
    for (size_t i = from; i < to; ++i) {
        bool inSet = false;
        for (const auto& r : set) inSet = inSet || (i >= r.first && i < r.first + r.second);
        if (!inSet) {
            EXPECT_EQ(m[i], 0) << "byte " << i;
        }
    }
}

using ctltest::ReadAll;

ctltest::Result RunIn(CommandMain command, const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ctltest::Result r;
    if (out == nullptr || err == nullptr) return r;
    r.status = command(args, out, err);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

// A reply header for request id `id` with records.
std::string ReplyBytes(DWORD id, SHORT count, SHORT size, size_t extra) {
    RequestHeader h{};
    h.signature = kRequestSignature;
    h.requestId = id;
    h.replyMark = 1;
    h.recordCount = count;
    h.recordSize = size;
    std::string m(kHeaderSize + extra, '\0');
    std::memcpy(m.data(), &h, kHeaderSize);
    return m;
}

}  // namespace

// Type 77 carries the control word and the required bits with the action's,
// and no data.
TEST(RequestBytes, ServiceControl) {
    std::string m = ServiceControlRequest(CtlStartMediator);
    ASSERT_EQ(m.size(), kRequestDataOffset);
    EXPECT_EQ(Dword(m, 0), 0xD06EFACEu);
    EXPECT_EQ(static_cast<BYTE>(m[8]), OpControl);
    EXPECT_EQ(static_cast<BYTE>(m[9]), 77);
    EXPECT_EQ(Dword(m, 24), 0xC0070002u);
    EXPECT_EQ(Dword(m, 28), 0xFFFFFFFFu);
    EXPECT_EQ(Short(m, 44), 0);
    ExpectZeroExcept(m, 0, m.size(), {{0, 4}, {4, 4}, {8, 2}, {24, 8}});
    EXPECT_EQ(Dword(ServiceControlRequest(CtlRestoreNameRules | CtlRestoreProcRules | CtlRestoreGroupRules), 24),
              0x80770002u);
}

// A kill carries the pid as argument and the creation time as 8 data bytes.
TEST(RequestBytes, ProcessKill) {
    std::string m = ProcKill(1234, 0x01D9AABBCCDDEEFFULL);
    ASSERT_EQ(m.size(), kRequestDataOffset + 8);
    EXPECT_EQ(static_cast<BYTE>(m[8]), OpKill);
    EXPECT_EQ(static_cast<BYTE>(m[9]), ReqProcList);
    EXPECT_EQ(Dword(m, 24), 1234u);
    EXPECT_EQ(Short(m, 44), 8);
    ULONGLONG t = 0;
    std::memcpy(&t, m.data() + kRequestDataOffset, 8);
    EXPECT_EQ(t, 0x01D9AABBCCDDEEFFULL);
    ExpectZeroExcept(m, 0, kRequestDataOffset, {{0, 4}, {4, 4}, {8, 2}, {24, 4}, {44, 2}});

    std::string g = GroupKill(u"Batch");
    ASSERT_EQ(g.size(), kRequestDataOffset + 128);
    EXPECT_EQ(static_cast<BYTE>(g[9]), ReqGroupList);
    EXPECT_EQ(Short(g, 44), 128);
    EXPECT_EQ(std::memcmp(g.data() + kRequestDataOffset, u"Batch", 12), 0);
}

// An alias page read asks for WantData from startIndex, as many records as
// a reply holds; a change carries index and stamp.
TEST(RequestBytes, NameRules) {
    std::string m = NameRulesGet(5);
    ASSERT_EQ(m.size(), kRequestDataOffset + sizeof(NameRule));
    EXPECT_EQ(static_cast<BYTE>(m[8]), OpGet);
    EXPECT_EQ(static_cast<BYTE>(m[9]), ReqNameRules);
    EXPECT_EQ(Dword(m, 16), WantData);
    EXPECT_EQ(Dword(m, 32), (65536u - 68u) / 388u);
    EXPECT_EQ(Dword(m, 36), 5u);
    EXPECT_EQ(Short(m, 44), 388);

    NameRule r{};
    r.matchType = u'P';
    std::string c = NameRulesChange(OpSwap, 3, 42, &r);
    EXPECT_EQ(static_cast<BYTE>(c[8]), OpSwap);
    EXPECT_EQ(Dword(c, 16), 0u) << "no list in the reply";
    EXPECT_EQ(Dword(c, 20), 42u);
    EXPECT_EQ(Dword(c, 24), 3u);
    EXPECT_EQ(static_cast<BYTE>(c[kRequestDataOffset + 384]), 'P');
}

// Type 9 puts the poll seconds and the pipe time-out at their offsets.
TEST(RequestBytes, ParametersAndInfo) {
    std::string m = ParametersReplace(30, 7000);
    ASSERT_EQ(m.size(), kRequestDataOffset + 16);
    EXPECT_EQ(static_cast<BYTE>(m[8]), OpReplace);
    EXPECT_EQ(static_cast<BYTE>(m[9]), ReqParameters);
    EXPECT_EQ(Dword(m, kRequestDataOffset), 30u);
    EXPECT_EQ(Dword(m, kRequestDataOffset + 4), 0u);
    EXPECT_EQ(Dword(m, kRequestDataOffset + 12), 7000u);
    std::string i = ServiceInfoGet();
    EXPECT_EQ(i.size(), kRequestDataOffset);
    EXPECT_EQ(static_cast<BYTE>(i[9]), ReqServiceInfo);
}

// A rule change sends the fixed part, its variable data after it and the
// stamp; a read asks for variable data room through bufferSize.
TEST(RequestBytes, RuleRecords) {
    ProcDetail d{};
    ASSERT_TRUE(SetField(d.summary.name, 64, "notepad"));
    d.summary.mgmt.priority = 13;
    std::string m = ProcRuleRequest(OpReplace, d, "xyz", 9);
    ASSERT_EQ(m.size(), kRequestDataOffset + kProcDetailFixedSize + 3);
    EXPECT_EQ(static_cast<BYTE>(m[9]), ReqProcRule);
    EXPECT_EQ(Dword(m, 20), 9u);
    EXPECT_EQ(Short(m, 44), static_cast<SHORT>(kProcDetailFixedSize + 3));
    EXPECT_EQ(Short(m, kRequestDataOffset + 696), 3);
    EXPECT_EQ(m.substr(kRequestDataOffset + kProcDetailFixedSize), "xyz");
    EXPECT_EQ(Dword(m, kRequestDataOffset + 256 + 172), 13u);

    JobDetail j{};
    ASSERT_TRUE(SetField(j.summary.name, 64, "Batch"));
    std::string g = GroupRuleRequest(OpGet, j, "ignored", 0);
    ASSERT_EQ(g.size(), kRequestDataOffset + kJobDetailFixedSize);
    EXPECT_EQ(static_cast<BYTE>(g[9]), ReqGroupRule);
    EXPECT_EQ(Dword(g, 40), kReplyRoom);
    EXPECT_EQ(Short(g, kRequestDataOffset + 568), 0);
}

// Keyed list reads carry the key record and the list flags.
TEST(RequestBytes, KeyedLists) {
    ProcListEntry key{};
    ASSERT_TRUE(SetField(key.groupName, 64, "G"));
    std::string m = ProcListGet(key, ListSameGroup | ListRunningOnly);
    ASSERT_EQ(m.size(), kRequestDataOffset + sizeof(ProcListEntry));
    EXPECT_EQ(Dword(m, 24), 5u);
    EXPECT_EQ(Dword(m, 32), (65536u - 68u) / 432u);
    EXPECT_EQ(m[kRequestDataOffset + 304], 'G');
    EXPECT_EQ(GroupListGet(JobListEntry{}, 0).size(), kRequestDataOffset + sizeof(JobListEntry));
    EXPECT_EQ(static_cast<BYTE>(ProcSummariesGet(ProcSummary{}, 0)[9]), ReqProcSummaries);
    EXPECT_EQ(static_cast<BYTE>(GroupSummariesGet(JobSummary{}, 0)[9]), ReqGroupSummaries);
    EXPECT_NE(Dword(ServiceInfoGet(), 4), Dword(ServiceInfoGet(), 4)) << "every request has its own id";
}

// A reply is taken only with the signature, the reply mark, our id and
// records inside the message.
TEST(ReplyChecks, HeaderAndRecords) {
    EXPECT_EQ(CheckReply(ReplyBytes(7, 2, 10, 20), 7), 0u);
    EXPECT_EQ(CheckReply(ReplyBytes(7, 0, 0, 0), 7), 0u);
    EXPECT_EQ(CheckReply(ReplyBytes(7, 2, 10, 19), 7), static_cast<DWORD>(ResultBadRequest)) << "records cut";
    EXPECT_EQ(CheckReply(ReplyBytes(8, 0, 0, 0), 7), static_cast<DWORD>(ResultBadRequest)) << "another request's";
    EXPECT_EQ(CheckReply(ReplyBytes(7, -1, 10, 0), 7), static_cast<DWORD>(ResultBadRequest));
    EXPECT_EQ(CheckReply(std::string(67, '\0'), 7), static_cast<DWORD>(ResultBadRequest));
    std::string noMark = ReplyBytes(7, 0, 0, 0);
    noMark[11] = 0;
    EXPECT_EQ(CheckReply(noMark, 7), static_cast<DWORD>(ResultBadRequest));
    std::string badSig = ReplyBytes(7, 0, 0, 0);
    badSig[0] = 0;
    EXPECT_EQ(CheckReply(badSig, 7), static_cast<DWORD>(ResultBadRequest));
}

// The service's codes read as words, Windows errors in plain words; their
// constant names only with --verbose.
TEST(ResultWordsTest, ServiceAndWindowsCodes) {
    EXPECT_EQ(ResultWords(ResultNotFound), "not found");
    EXPECT_EQ(ResultWords(ResultStale), "stale");
    EXPECT_EQ(ResultWords(ResultBadName), "bad name");
    EXPECT_EQ(ResultWords(ResultExists), "exists");
    EXPECT_EQ(ResultWords(ResultBadIndex), "bad index");
    EXPECT_EQ(ResultWords(ResultMediatorNotRunning), "the mediator is not running");
    EXPECT_EQ(ResultWords(ERROR_ACCESS_DENIED), "access denied");
    EXPECT_EQ(ResultWords(ERROR_FILE_NOT_FOUND), "the system cannot find the file specified");
    EXPECT_EQ(ResultWords(1062), "the service has not been started");
    EXPECT_EQ(ResultWords(0xE00202FF), "service error 0xE00202FF");
    EXPECT_EQ(ErrorName(ERROR_BROKEN_PIPE), "ERROR_BROKEN_PIPE");
    EXPECT_EQ(ErrorName(99999), "");
    EXPECT_NE(ResultWords(99999).find("99999"), std::string::npos);
    EXPECT_EQ(ConnectWords(ERROR_FILE_NOT_FOUND), "the service is not running in " + PalStateRootPath());
    EXPECT_EQ(ConnectWords(ERROR_ACCESS_DENIED).rfind("access denied", 0), 0u);
    SetVerbose(true);
    EXPECT_EQ(ResultWords(ERROR_ACCESS_DENIED), "access denied (ERROR_ACCESS_DENIED)");
    EXPECT_EQ(ResultWords(1062), "the service has not been started (ERROR_SERVICE_NOT_ACTIVE)");
    EXPECT_EQ(ConnectWords(ERROR_FILE_NOT_FOUND),
              "the service is not running in " + PalStateRootPath() + " (ERROR_FILE_NOT_FOUND)");
    SetVerbose(false);
}

// Table columns line up on a terminal: wide characters take two columns,
// accented ones one, whatever their byte count; a stray byte takes one.
TEST(TableTest, ColumnsCountTerminalColumns) {
    EXPECT_EQ(Table({{"NAME", "PID"}, {"\u65e5\u672c", "1"}, {"caf\u00e9", "2"}, {"x\xff", "3"}}),
              "NAME  PID\n"
              "\u65e5\u672c  1\n"
              "caf\u00e9  2\n"
              "x\xff    3\n");
}

// Text fields hold at most 63 characters and keep UTF-16 text.
TEST(ReplyChecks, TextFields) {
    WCHAR f[64];
    EXPECT_TRUE(SetField(f, 64, std::string(63, 'a')));
    EXPECT_FALSE(SetField(f, 64, std::string(64, 'a')));
    EXPECT_TRUE(SetField(f, 64, "Grüße"));
    EXPECT_EQ(FieldText(f, 64), "Grüße");
    WCHAR full[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_EQ(FieldText(full, 4), "abcd") << "a field without terminator ends at its size";
}

class CommandArgsTest : public testsupport::RootTest {};

// Bad options are refused before any connection, naming what was wrong.
TEST_F(CommandArgsTest, BadValuesAreRefusedWithReasons) {
    ctltest::Result r = RunIn(RunRulesCommand, {"add", "notepad", "--priority", "fast"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("zembrikctl: rules add notepad: --priority: bad priority 'fast'", 0), 0u) << r.err;
    r = RunIn(RunGroupRulesCommand, {"add", "Batch", "--affinity", "3-1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--affinity"), std::string::npos) << r.err;
    r = RunIn(RunRulesCommand, {"add", "notepad", "--max-procs", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown option '--max-procs'"), std::string::npos) << "a group limit: " << r.err;
    r = RunIn(RunAliasesCommand, {"add", "--match", "x*"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--name is required"), std::string::npos) << r.err;
    r = RunIn(RunKillCommand, {"abc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("PID"), std::string::npos) << r.err;
    r = RunIn(RunPollCommand, {"1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("2-900"), std::string::npos) << r.err;
    r = RunIn(RunRestoreCommand, {"everything"});
    EXPECT_EQ(r.status, 1);
    r = RunIn(RunMediatorCommand, {"pause"});
    EXPECT_EQ(r.status, 1);
}

// Every command has help on standard output with status 0.
TEST_F(CommandArgsTest, HelpForEveryCommand) {
    for (CommandMain c : {RunInfoCommand, RunPsCommand, RunGroupsCommand, RunKillCommand, RunKillGroupCommand,
                          RunAliasesCommand, RunRulesCommand, RunGroupRulesCommand, RunPollCommand,
                          RunMediatorCommand, RunRestoreCommand}) {
        ctltest::Result r = RunIn(c, {"--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: zembrikctl ", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    ctltest::Result r = RunIn(RunGroupRulesCommand, {"--help"});
    EXPECT_NE(r.out.find("--group-mem"), std::string::npos);
}

// Without a service, a command says so and fails.
TEST_F(CommandArgsTest, NoServiceIsSaid) {
    ctltest::Result r = RunIn(RunInfoCommand, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: info: the service is not running in " + PalStateRootPath() + "\n");
    r = RunIn(RunPsCommand, {"--running"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not running"), std::string::npos) << r.err;
#ifdef ZEMBRIKCTL_PATH
    // A mistyped state root is said, and nothing is made there.
    std::string missing = root_.path() + "-mistyped";
    std::string kept = root_.path();
    setenv("ZEMBRIK_SYSROOT", missing.c_str(), 1);
    r = ctltest::RunProgram(ZEMBRIKCTL_PATH, {"groups"}, kept.substr(0, kept.rfind('/')));
    setenv("ZEMBRIK_SYSROOT", kept.c_str(), 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: groups: no Zembrik state root at " + missing + "\n");
    EXPECT_NE(access(missing.c_str(), F_OK), 0) << "the client made " << missing;
#endif
}
