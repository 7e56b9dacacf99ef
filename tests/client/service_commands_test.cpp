// zembrikctl against the real service: the service runs in the test's own
// state root, the commands run as programs, and what they print and change
// is checked; whole lists across pages through the client library.
#include <gtest/gtest.h>

#if defined(ZEMBRIKCTL_PATH) && defined(ZEMBRIK_SERVICE_PATH)

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/ctl_runner.h"
#include "client/service_client.h"
#include "db/zembrik_db.h"
#include "pal/json.h"
#include "pal/pipe.h"
#include "pal/registry.h"
#include "support/event_log_reader.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using ctltest::Result;
using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

class ServiceCommandsTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        // The access-control keys an installation grants to administrators.
        for (const WCHAR* k : kAccessKeys) {
            HKEY h = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, AccessKey(k).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                                      nullptr),
                      0);
            RegCloseKey(h);
        }
        // The service's output apart from the commands': it shows its errors there.
        std::string serviceOut = Scratch() + "/service";
        ASSERT_EQ(mkdir(serviceOut.c_str(), 0700), 0);
        ASSERT_TRUE(service_.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, serviceOut));
        ASSERT_TRUE(WaitUntil(20000, [] { return WaitNamedPipeW(kPipeName, 200) != FALSE; }))
            << "the service's pipe did not appear";
    }
    void TearDown() override {
        service_.Signal(SIGTERM);
        EXPECT_TRUE(service_.WaitExit(35000));
        testsupport::EndMediator();
    }
    static std::u16string AccessKey(const WCHAR* k) { return std::u16string(kParametersKeyPath) + u"\\" + k; }
    std::string Scratch() const { return root_.path().substr(0, root_.path().size() - 5); }
    Result Ctl(const std::vector<std::string>& args) { return ctltest::RunProgram(ZEMBRIKCTL_PATH, args, Scratch()); }
    // Runs a command that must succeed; its output.
    std::string Ok(const std::vector<std::string>& args) {
        Result r = Ctl(args);
        EXPECT_EQ(r.status, 0) << args[0] << (args.size() > 1 ? " " + args[1] : "") << ": " << r.err;
        return r.out;
    }
    pal::json::Value Json(const std::vector<std::string>& args) {
        pal::json::Value v;
        std::string text = Ok(args);
        EXPECT_TRUE(pal::json::Parse(text, v)) << text;
        return v;
    }
    static int64_t Int(const pal::json::Value& v, const char* name) {
        int64_t n = -1;
        const pal::json::Value* m = v.Find(name);
        if (m != nullptr) m->AsInt64(n);
        return n;
    }
    ChildProcess service_;
};

// info shows the settings that poll changes; the mediator starts and stops
// on request and says when it is not running.
TEST_F(ServiceCommandsTest, InfoPollAndMediator) {
    pal::json::Value info = Json({"info", "--json"});
    EXPECT_GT(Int(info, "processors"), 0);
    EXPECT_GT(Int(info, "pageSize"), 0);
    ASSERT_NE(info.Find("fileVersion"), nullptr);
    EXPECT_NE(info.Find("fileVersion")->text, "");

    Ok({"poll", "30", "--pipe-timeout", "4000"});
    info = Json({"info", "--json"});
    EXPECT_EQ(Int(info, "pollSeconds"), 30);
    EXPECT_EQ(Int(info, "pipeTimeOutMs"), 4000);
    Ok({"poll", "45"});
    info = Json({"info", "--json"});
    EXPECT_EQ(Int(info, "pollSeconds"), 45);
    EXPECT_EQ(Int(info, "pipeTimeOutMs"), 4000) << "a value not given is kept";
    EXPECT_NE(Ok({"info"}).find("Poll interval"), std::string::npos);

    ASSERT_TRUE(WaitUntil(10000, [] { return testsupport::MediatorPid() != 0; }));
    Ok({"mediator", "stop"});
    EXPECT_TRUE(WaitUntil(10000, [] { return testsupport::MediatorPid() == 0; }));
    Result r = Ctl({"mediator", "stop"});
    EXPECT_EQ(r.status, 1) << "nothing left to stop";
    EXPECT_EQ(r.err.rfind("zembrikctl: mediator stop: ", 0), 0u) << r.err;
    Ok({"mediator", "start"});
    EXPECT_TRUE(WaitUntil(10000, [] { return testsupport::MediatorPid() != 0; }));
    int before = testsupport::MediatorPid();
    Ok({"mediator", "restart"});
    EXPECT_TRUE(WaitUntil(10000, [before] {
        int now = testsupport::MediatorPid();
        return now != 0 && now != before;
    })) << "a new mediator runs";

    // status finds the service's and the new mediator's pids by themselves.
    pal::json::Value status = Json({"status", "--json"});
    ASSERT_NE(status.Find("state"), nullptr);
    EXPECT_EQ(status.Find("state")->text, "running");
    EXPECT_EQ(Int(status, "pid"), service_.pid());
    EXPECT_EQ(Int(status, "mediatorPid"), testsupport::MediatorPid());
    EXPECT_EQ(Int(status, "pollSeconds"), 45);
    EXPECT_NE(Ok({"status"}).find("State root:  " + root_.path() + "\n"), std::string::npos);
    service_.Signal(SIGTERM);
    EXPECT_TRUE(service_.WaitExit(35000));
    r = Ctl({"status"});
    EXPECT_EQ(r.status, 3) << "not running: " << r.out << r.err;
    EXPECT_EQ(r.out.find("Pid:"), std::string::npos) << r.out;
}

// Rules are added with readable settings, read back, replaced keeping what
// was not given, deleted, and restored away.
TEST_F(ServiceCommandsTest, RuleRoundTrips) {
    Ok({"group-rules", "add", "Batch", "--max-procs", "3", "--proc-mem", "512M", "--group-time", "5m",
        "--priority", "below-normal", "--remove-when-empty"});
    pal::json::Value g = Json({"group-rules", "get", "Batch", "--json"});
    EXPECT_EQ(Int(g, "maxProcesses"), 3);
    EXPECT_EQ(Int(g, "procMemoryLimit"), 512LL << 20);
    EXPECT_EQ(Int(g, "groupTimeLimit"), 3000000000LL);
    EXPECT_EQ(Int(g, "priority"), 6);
    ASSERT_NE(g.Find("removeWhenEmpty"), nullptr);
    EXPECT_TRUE(g.Find("removeWhenEmpty")->boolean);

    Ok({"rules", "add", "sleeper", "--group", "Batch", "--priority", "high", "--affinity", "0"});
    EXPECT_NE(Ok({"rules", "get", "sleeper"}).find("group=Batch priority=high affinity=0"), std::string::npos);
    Ok({"rules", "replace", "sleeper", "--no-affinity", "--description", "kept"});
    std::string got = Ok({"rules", "get", "sleeper"});
    EXPECT_NE(got.find("group=Batch priority=high\n"), std::string::npos) << got;
    EXPECT_NE(got.find("kept"), std::string::npos) << got;
    EXPECT_NE(Ok({"rules", "list"}).find("sleeper"), std::string::npos);

    // Shell completion offers the live rule and group names, in bash and in
    // zsh (through its bash emulation), and the commands from the help.
    std::string bin = ZEMBRIKCTL_PATH;
    bin = bin.substr(0, bin.rfind('/'));
    std::string script = std::string(ZEMBRIK_SOURCE_DIR) + "/client/completion/zembrikctl.bash";
    auto complete = [&](const char* shell, const std::string& words, int cword) {
        // zsh runs the function as its compgen -F does; bash as complete -F does.
        bool zsh = std::string(shell) == "zsh";
        std::string line = "PATH='" + bin + "':$PATH; " +
                           (zsh ? "autoload -U compinit && compinit -u -D; autoload -U +X bashcompinit && bashcompinit; "
                                : "") +
                           "source '" + script + "' && COMP_WORDS=(" + words + "); COMP_CWORD=" + std::to_string(cword) +
                           "; { " +
                           (zsh ? "compgen -F __zembrikctl_complete -- \"${COMP_WORDS[-1]}\""
                                : "__zembrikctl_complete; printf '%s\\n' \"${COMPREPLY[@]}\"") +
                           "; } | sort -u | tr '\\n' ' '";
        Result c = ctltest::RunProgram(std::string("/usr/bin/") + shell, {"-c", line}, Scratch());
        EXPECT_EQ(c.err, "") << shell;
        return c.out;
    };
    for (const char* shell : {"bash", "zsh"}) {
        if (access((std::string("/usr/bin/") + shell).c_str(), X_OK) != 0) {
            ADD_FAILURE() << shell << " is missing (scripts/setup installs it)";
            continue;
        }
        EXPECT_NE(complete(shell, "zembrikctl rules get ''", 3).find("sleeper"), std::string::npos) << shell;
        EXPECT_NE(complete(shell, "zembrikctl rules add x --group ''", 5).find("Batch"), std::string::npos) << shell;
        EXPECT_NE(complete(shell, "zembrikctl group-rules ''", 2).find("replace"), std::string::npos) << shell;
    }
    EXPECT_EQ(complete("bash", "zembrikctl group", 1), "group-rules groups ");
    EXPECT_NE(complete("bash", "zembrikctl aliases ''", 2).find("test"), std::string::npos);
    EXPECT_EQ(complete("bash", "zembrikctl top --sort m", 3), "members memory ");

    Result r = Ctl({"rules", "add", "sleeper"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: rules add sleeper: exists\n");
    Ok({"rules", "delete", "sleeper"});
    r = Ctl({"rules", "get", "sleeper"});
    EXPECT_EQ(r.err, "zembrikctl: rules get sleeper: not found\n");
    r = Ctl({"rules", "add", "bad,name"});
    EXPECT_EQ(r.err, "zembrikctl: rules add bad,name: bad name\n");

    Ok({"restore", "group-rules"});
    r = Ctl({"group-rules", "get", "Batch"});
    EXPECT_EQ(r.err, "zembrikctl: group-rules get Batch: not found\n");
    // The list is read again at the next change of the group rules.
    Ok({"group-rules", "add", "Other"});
    pal::json::Value list = Json({"group-rules", "list", "--json"});
    ASSERT_EQ(list.items.size(), 1u);
    EXPECT_EQ(list.items[0].Find("name")->text, "Other");

    // Without its access-control key the request is refused.
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, AccessKey(kAccessRestore).c_str()), 0);
    r = Ctl({"restore", "rules"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: restore rules: access denied\n");
}

// Alias rules are added before the default one, swapped, replaced and
// deleted; aliases test names a path as the service names a process running it.
TEST_F(ServiceCommandsTest, AliasEdits) {
    pal::json::Value a = Json({"aliases", "list", "--json"});
    const pal::json::Value* rules = a.Find("aliases");
    ASSERT_NE(rules, nullptr);
    size_t base = rules->items.size();
    ASSERT_GE(base, 1u);
    Ok({"aliases", "add", "--match", "*first*", "--name", "First", "--type", "A"});
    Ok({"aliases", "add", "--match", "*second*", "--name", "Second", "--type", "p", "--description", "two"});
    a = Json({"aliases", "list", "--json"});
    rules = a.Find("aliases");
    ASSERT_EQ(rules->items.size(), base + 2);
    EXPECT_EQ(rules->items[base - 1].Find("name")->text, "First");
    EXPECT_EQ(rules->items[base].Find("type")->text, "P");
    EXPECT_TRUE(rules->items.back().Find("default")->boolean);

    std::string at = std::to_string(base - 1);
    Ok({"aliases", "swap", at});
    Ok({"aliases", "replace", at, "--name", "Renamed"});
    a = Json({"aliases", "list", "--json"});
    rules = a.Find("aliases");
    EXPECT_EQ(rules->items[base - 1].Find("name")->text, "Renamed");
    EXPECT_EQ(rules->items[base - 1].Find("match")->text, "*second*") << "replace keeps what was not given";
    Ok({"aliases", "delete", at});
    Ok({"aliases", "delete", at});
    a = Json({"aliases", "list", "--json"});
    EXPECT_EQ(a.Find("aliases")->items.size(), base);
    Result r = Ctl({"aliases", "delete", std::to_string(base - 1)});
    EXPECT_EQ(r.err, "zembrikctl: aliases delete " + std::to_string(base - 1) + ": bad index\n")
        << "the default rule stays";

    Ok({"poll", "2"});
    Ok({"aliases", "add", "--match", "zbkalias*", "--name", "<P>-x", "--type", "P"});
    std::string copy = Scratch() + "/zbkalias-sleep";
    std::filesystem::copy_file("/bin/sleep", copy);
    char* real = realpath(copy.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    std::string shown = real;
    free(real);
    for (char& c : shown)
        if (c == '/') c = '\\';
    EXPECT_EQ(Ok({"aliases", "test", copy}), "rule " + std::to_string(base - 1) +
                                                   " (P zbkalias* -> <P>-x): name 'zbkalias-sleep-x', image "
                                                   "'zbkalias-sleep', path '" + shown + "'\n");
    pal::json::Value t = Json({"aliases", "test", "--json", "\\usr\\bin\\sleep"});
    EXPECT_TRUE(t.Find("default")->boolean);
    EXPECT_EQ(Int(t, "index"), static_cast<int64_t>(base));
    EXPECT_EQ(t.Find("name")->text, "sleep");
    EXPECT_EQ(t.Find("path")->text, "\\usr\\bin\\sleep") << "a path in the service's form is taken as given";

    // The service's name for a process running the copy is the one shown.
    ChildProcess sleeper;
    ASSERT_TRUE(sleeper.Start(copy, {"300"}, {}, Scratch()));
    std::string named;
    WaitUntil(20000, [&] {
        pal::json::Value v;
        Result ps = Ctl({"ps", "--running", "--json"});
        if (ps.status != 0 || !pal::json::Parse(ps.out, v)) return false;
        for (const auto& e : v.items)
            if (Int(e, "pid") == sleeper.pid()) named = e.Find("name")->text;
        return !named.empty();
    });
    EXPECT_EQ(named, "zbkalias-sleep-x");
    sleeper.Signal(SIGKILL);
    EXPECT_TRUE(sleeper.WaitExit(10000));
}

// A change under an old stamp is refused as stale; the list read across
// pages returns every rule once, in order.
TEST_F(ServiceCommandsTest, StampsAndPages) {
    zctl::ServiceClient client;
    ASSERT_EQ(client.Connect(), 0u);
    std::vector<NameRule> names;
    DWORD stamp = 0;
    ASSERT_EQ(zctl::FetchNameRules(client, names, stamp), 0u);
    Ok({"aliases", "add", "--match", "*x*", "--name", "X", "--type", "P"});
    zctl::Reply reply;
    EXPECT_EQ(client.Call(zctl::NameRulesChange(OpDelete, 0, stamp, nullptr), reply),
              static_cast<DWORD>(ResultStale));

    // More rules than one reply holds (115 process summaries).
    constexpr int kRules = 130;
    for (int i = 0; i < kRules; ++i) {
        ProcDetail d{};
        char name[16];
        std::snprintf(name, sizeof(name), "p%03d", i);
        ASSERT_TRUE(zctl::SetField(d.summary.name, 64, name));
        ASSERT_EQ(client.Call(zctl::ProcRuleRequest(OpAdd, d, "", 0), reply), 0u) << name;
    }
    std::vector<ProcSummary> all;
    ASSERT_EQ(zctl::FetchProcSummaries(client, ProcSummary{}, 0, all), 0u);
    ASSERT_EQ(all.size(), static_cast<size_t>(kRules));
    for (int i = 0; i < kRules; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "p%03d", i);
        EXPECT_EQ(zctl::FieldText(all[i].name, 64), name);
    }
    pal::json::Value list = Json({"rules", "list", "--json"});
    EXPECT_EQ(list.items.size(), static_cast<size_t>(kRules));
}

// ps shows a running process with its creation time; kill ends it only
// with the matching time and answers once it has ended; init, the service
// and its mediator are never killed; kill-group of an unknown group is not
// found.
TEST_F(ServiceCommandsTest, PsAndKill) {
    Ok({"poll", "2"});
    ChildProcess sleeper;
    ASSERT_TRUE(sleeper.Start("/bin/sleep", {"300"}, {}, Scratch()));
    std::string pid = std::to_string(sleeper.pid());
    bool seen = WaitUntil(20000, [&] {
        pal::json::Value v;
        Result r = Ctl({"ps", "--running", "--json"});
        if (r.status != 0 || !pal::json::Parse(r.out, v)) return false;
        for (const auto& e : v.items)
            if (Int(e, "pid") == sleeper.pid()) return true;
        return false;
    });
    ASSERT_TRUE(seen) << "ps never listed pid " << pid;
    EXPECT_NE(Ok({"ps", "--running"}).find(" " + pid + " "), std::string::npos);

    Result r = Ctl({"kill", pid, "--created", "12345"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: kill " + pid + ": not found\n") << "another creation time is another process";
    EXPECT_TRUE(sleeper.Running());
    Ok({"kill", pid});
    EXPECT_FALSE(sleeper.Running()) << "the kill answers once the process has ended";
    EXPECT_TRUE(WIFSIGNALED(sleeper.exitStatus()) && WTERMSIG(sleeper.exitStatus()) == SIGKILL);
    EXPECT_EQ(testsupport::EventsWithId("0x600000C8").size(), 1u);

    // Init, the service and its mediator are refused before any signal.
    ASSERT_TRUE(WaitUntil(10000, [] { return testsupport::MediatorPid() != 0; }));
    int mediator = testsupport::MediatorPid();
    for (int target : {1, service_.pid(), mediator}) {
        std::string t = std::to_string(target);
        r = Ctl({"kill", t, "--any"});
        EXPECT_EQ(r.status, 1) << t;
        EXPECT_EQ(r.err, "zembrikctl: kill " + t + ": access denied\n");
        bool logged = false;
        for (const testsupport::LoggedEvent& e : testsupport::EventsWithId("0xE00000B9"))
            logged = logged || (e.strings.size() >= 2 && e.strings[0] == "PID " + t &&
                                e.strings[1] == "KillProcess" && e.data == "05000000");
        EXPECT_TRUE(logged) << "no error event for pid " << t;
    }
    EXPECT_TRUE(service_.Running());
    EXPECT_EQ(kill(mediator, 0), 0);
    EXPECT_EQ(testsupport::EventsWithId("0x600000C8").size(), 1u) << "no \"has killed\" for a refusal";

    r = Ctl({"kill-group", "NoSuchGroup"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zembrikctl: kill-group NoSuchGroup: not found\n");
    EXPECT_EQ(Ctl({"groups", "--json"}).status, 0);
}

// zembrikctl as an administrator who is not root: uid 65534 in the group
// `zembrik`, made before the service starts so that its socket admits it.
class AdminCommandsTest : public ServiceCommandsTest {
protected:
    void SetUp() override {
        if (!testsupport::CanMakeJobs()) GTEST_SKIP() << "needs root and a writable cgroup2 tree";
        if (admins_.gid() < 0) GTEST_SKIP() << "no group 'zembrik' (the administrators' group) and none can be made";
        testsupport::OpenRootToOthers(root_.path());
        ServiceCommandsTest::SetUp();
    }
    void TearDown() override {
        if (service_.pid() > 0) ServiceCommandsTest::TearDown();
    }
    // setpriv's arguments that run zembrikctl with args as the administrator.
    std::vector<std::string> AdminArgs(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--groups=" + std::to_string(admins_.gid()),
                                        ZEMBRIKCTL_PATH};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    Result AsAdmin(const std::vector<std::string>& args) {
        return ctltest::RunProgram("/usr/bin/setpriv", AdminArgs(args), Scratch());
    }
    static std::string IoOf(const std::string& json, const char* group) {
        pal::json::Value v;
        if (!pal::json::Parse(json, v)) return "unparsed: " + json;
        for (const auto& e : v.items) {
            const pal::json::Value* name = e.Find("name");
            const pal::json::Value* io = e.Find("io");
            if (name == nullptr || name->text != group || io == nullptr) continue;
            std::string text;
            for (const auto& n : io->items) {
                int64_t x = -1;
                n.AsInt64(x);
                text += std::to_string(x) + " ";
            }
            return text;
        }
        return "no group " + std::string(group);
    }
    testsupport::AdminGroup admins_;
};

// Work on groups for an administrator runs as the service once the access
// key allowed it: the I/O counters of root's members read as root reads
// them, and a kill-group of root's processes ends them.
TEST_F(AdminCommandsTest, GroupWorkRunsAsTheService) {
    std::string program = Scratch() + "/zbcrew", never = Scratch() + "/never";
    ASSERT_EQ(testsupport::CommandOutput("cp /bin/sh " + program + " && mkfifo " + never + " && echo ok"), "ok\n");
    ChildProcess member;  // one process: reads a file, then waits on a FIFO nobody writes
    ASSERT_TRUE(member.Start(program, {"-c", "while read l; do :; done </etc/passwd; read x <" + never}));
    Ok({"group-rules", "add", "Crew", "--max-procs", "8"});
    Ok({"rules", "add", "zbcrew", "--group", "Crew"});
    std::string cgroup = "/proc/" + std::to_string(member.pid()) + "/cgroup";
    ASSERT_TRUE(WaitUntil(20000, [&] { return testsupport::ReadText(cgroup).find("Kvjob_Crew") != std::string::npos; }));

    std::string asRoot = IoOf(Ok({"groups", "--json"}), "Crew");
    Result admin = AsAdmin({"groups", "--json"});
    ASSERT_EQ(admin.status, 0) << admin.err;
    EXPECT_EQ(IoOf(admin.out, "Crew"), asRoot);
    EXPECT_EQ(asRoot.rfind("0 ", 0), std::string::npos) << "the member's reads are counted: " << asRoot;

    // The live view's frame: the group with its member, its resident memory
    // and its limit; the member under the group.
    Result top = AsAdmin({"top", "--once", "--delay", "0.2", "--sort", "name"});
    ASSERT_EQ(top.status, 0) << top.err;
    std::string groupLine, memberLine;
    for (size_t at = 0; at < top.out.size();) {
        size_t end = top.out.find('\n', at);
        std::string line = top.out.substr(at, end - at);
        if (line.rfind("Crew ", 0) == 0) groupLine = line;
        if (line.find(" " + std::to_string(member.pid()) + " ") != std::string::npos) memberLine = line;
        at = end == std::string::npos ? end : end + 1;
    }
    std::vector<std::string> cells;
    for (size_t at = 0; at < groupLine.size();) {
        size_t start = groupLine.find_first_not_of(' ', at);
        if (start == std::string::npos) break;
        size_t end = groupLine.find(' ', start);
        cells.push_back(groupLine.substr(start, end - start));
        at = end == std::string::npos ? groupLine.size() : end;
    }
    ASSERT_GE(cells.size(), 8u) << top.out;
    EXPECT_NE(cells[2], "0") << "a member's memory counts: " << top.out;
    EXPECT_EQ(cells[3], "1") << "one member: " << top.out;
    EXPECT_EQ(cells[7], "max-procs=8") << top.out;
    EXPECT_NE(memberLine.find(" Crew "), std::string::npos) << top.out;
    EXPECT_NE(Ok({"groups", "--name", "Crew"}).find("max-procs=8"), std::string::npos) << "groups shows the limits";

    admin = AsAdmin({"kill-group", "Crew"});
    EXPECT_EQ(admin.status, 0) << admin.err;
    EXPECT_TRUE(member.WaitExit(10000)) << "the member of the killed group still runs";
}

// Each change through the endpoint is audited with the uid and pid of the
// client that asked, whatever its result, and shown by events --audit; a
// read is not audited.
TEST_F(AdminCommandsTest, ChangesAreAuditedWithTheirClient) {
    // Exit status and pid of a program run to its end.
    auto run = [&](const std::string& program, const std::vector<std::string>& args, int& pid) {
        ChildProcess child;
        if (!child.Start(program, args, {}, Scratch())) return -1;
        pid = child.pid();
        return child.WaitExit(30000) && WIFEXITED(child.exitStatus()) ? WEXITSTATUS(child.exitStatus()) : -1;
    };
    int rootPid = 0, readPid = 0, adminPid = 0;
    EXPECT_EQ(run(ZEMBRIKCTL_PATH, {"rules", "add", "audited", "--group", "Audits"}, rootPid), 0);
    EXPECT_EQ(run("/usr/bin/setpriv", AdminArgs({"ps"}), readPid), 0);
    EXPECT_EQ(run("/usr/bin/setpriv", AdminArgs({"kill-group", "NoSuchGroup"}), adminPid), 1);

    // The record is written before the reply leaves, so it is there once the command has ended.
    std::string path = root_.path() + "/eventlog/Audit.log";
    std::string text = testsupport::ReadText(path);
    std::vector<pal::json::Value> records;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        pal::json::Value v;
        EXPECT_TRUE(pal::json::Parse(text.substr(start, end - start), v)) << text;
        records.push_back(v);
    }
    ASSERT_EQ(records.size(), 2u) << text;
    EXPECT_EQ(Int(records[0], "uid"), 0);
    EXPECT_EQ(Int(records[0], "pid"), rootPid);
    EXPECT_EQ(Int(records[0], "type"), ReqProcRule);
    EXPECT_EQ(Int(records[0], "operation"), OpAdd);
    EXPECT_EQ(records[0].Find("name")->text, "audited");
    EXPECT_EQ(Int(records[0], "result"), 0);
    EXPECT_EQ(Int(records[1], "uid"), 65534);
    EXPECT_EQ(Int(records[1], "pid"), adminPid);
    EXPECT_EQ(Int(records[1], "type"), ReqGroupList);
    EXPECT_EQ(Int(records[1], "operation"), OpKill);
    EXPECT_EQ(Int(records[1], "result"), static_cast<int64_t>(ResultNotFound));
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, static_cast<gid_t>(admins_.gid())) << "readable by the administrators, as the event log";

    std::string shown = Ok({"events", "--audit"});
    std::string added = " uid 0 pid " + std::to_string(rootPid) + " add process rule audited (group Audits): success\n";
    std::string refused = " uid 65534 pid " + std::to_string(adminPid) + " kill group NoSuchGroup: failed (not found)\n";
    EXPECT_NE(shown.find(added), std::string::npos) << shown;
    EXPECT_NE(shown.find(refused), std::string::npos) << shown;
    EXPECT_EQ(shown.find(" pid " + std::to_string(readPid) + " "), std::string::npos) << shown;
}

// export writes every rule and the parameters; applying that document puts
// back what changed since, groups before the rules that join them and the
// aliases in their order; a second apply changes nothing; a bad document is
// refused whole.
TEST_F(ServiceCommandsTest, ExportAndApply) {
    Ok({"poll", "30", "--pipe-timeout", "4000"});
    Ok({"group-rules", "add", "Batch", "--max-procs", "3", "--proc-time", "90s", "--remove-when-empty"});
    Ok({"rules", "add", "sleeper", "--group", "Batch", "--priority", "high", "--description", "kept"});
    Ok({"rules", "add", "other", "--working-set", "64M,256M"});
    size_t base = Json({"aliases", "list", "--json"}).Find("aliases")->items.size() - 1;
    Ok({"aliases", "add", "--match", "*first*", "--name", "First", "--type", "A"});
    Ok({"aliases", "add", "--match", "*second*", "--name", "Second", "--type", "P", "--description", "two"});
    std::string first = Ok({"export"});
    pal::json::Value doc;
    ASSERT_TRUE(pal::json::Parse(first, doc)) << first;
    EXPECT_NE(first.find("\n    {\"name\": \"sleeper\", \"description\": \"kept\", \"group\": \"Batch\", \"priority\": 13}"),
              std::string::npos)
        << first;
    std::string file = Scratch() + "/rules.json";
    testsupport::WriteText(file, first);

    Ok({"rules", "delete", "sleeper"});
    Ok({"group-rules", "delete", "Batch"});
    Ok({"rules", "replace", "other", "--priority", "idle"});
    Ok({"group-rules", "add", "Extra"});
    Ok({"aliases", "swap", std::to_string(base)});
    Ok({"aliases", "add", "--match", "*third*", "--name", "Third", "--type", "D"});
    Ok({"poll", "20"});
    std::string dry = Ok({"apply", file, "--dry-run"});
    // The aliases Second, First, Third become First, Second in two edits.
    for (const std::string& line :
         {std::string("~ parameters: pollSeconds 20 -> 30\n"), std::string("+ group Batch\n"),
          std::string("+ rule sleeper\n"), std::string("~ rule other\n"), std::string("- group Extra\n"),
          "- alias " + std::to_string(base) + ": P *second* -> Second\n",
          "~ alias " + std::to_string(base + 1) + ": P *second* -> Second\n"})
        EXPECT_NE(dry.find(line), std::string::npos) << line << " in:\n" << dry;
    EXPECT_LT(dry.find("+ group Batch"), dry.find("+ rule sleeper")) << dry;
    EXPECT_NE(Ok({"export"}), first) << "a dry run changes nothing";
    EXPECT_EQ(Ok({"apply", file}), dry) << "apply makes the changes the dry run shows";
    EXPECT_EQ(Ok({"export"}), first);

    auto stamps = [&] {
        return std::to_string(Int(Json({"aliases", "list", "--json"}), "stamp")) + " " +
               std::to_string(Int(Json({"rules", "get", "other", "--json"}), "stamp")) + " " +
               std::to_string(Int(Json({"group-rules", "get", "Batch", "--json"}), "stamp"));
    };
    std::string before = stamps();
    EXPECT_EQ(Ok({"apply", file}), "");
    EXPECT_EQ(Ok({"apply", file, "--dry-run"}), "");
    EXPECT_EQ(stamps(), before) << "a second apply changes no list";

    // Each would change the poll interval if any of it were taken.
    const std::pair<const char*, const char*> bad[] = {
        {R"({"version": 1, "parameters": {"pollSeconds": 5}, "processRules": [{"name": "x", "maxProcesses": 2}]})",
         "processRules[0]: unknown field 'maxProcesses'"},
        {R"({"version": 1, "parameters": {"pollSeconds": 5}, "groupRules": [{"name": "Twice"}, {"name": "twice"}]})",
         "groupRules[1]: rule 'twice' given twice"},
        {R"({"version": 1, "parameters": {"pollSeconds": 5}, "groupRules": [{"name": "G", "procTimeLimit": 9999999}]})",
         "groupRules[0]: procTimeLimit: time limit '999ms' is under the least of 1s"},
    };
    for (const auto& [text, reason] : bad) {
        testsupport::WriteText(file, text);
        Result r = Ctl({"apply", file});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_EQ(r.err, "zembrikctl: apply " + file + ": " + reason + "\n");
    }
    EXPECT_EQ(Ok({"export"}), first) << "a refused document changes nothing";
}

}  // namespace

#endif
