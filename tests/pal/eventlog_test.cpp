// The event log file: its records, rotation, concurrency and failure paths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "internal/eventlog_config.h"
#include "internal/journal.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/json.h"
#include "pal/resource.h"
#include "support/event_log_reader.h"
#include "support/process_runner.h"
#include "support/test_support.h"

namespace {

const PAL_MESSAGE_RESOURCE kMessages[] = {
    {0x60000001, u"%1 did %2.\r\n"},
    {0xE0000002, u"Failure in %1.\r\n"},
};
const PAL_MODULE_RESOURCES kResources{nullptr, 0, kMessages, 2, nullptr, 0};

class EventLogTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        PalSetModuleResources(&kResources);
        pal::SetJournalSocketPath("");  // syslog, whether journald runs here or not
    }
    void TearDown() override {
        pal::SetEventLogRotateBytes(16ull * 1024 * 1024);
        pal::SetSyslogSocketPath("/dev/log");
        pal::SetJournalSocketPath("/run/systemd/journal/socket");
    }
    // A datagram socket bound at `path`; the next datagram it gets (5 s at most).
    static int BindDatagram(const std::string& path) {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
        struct timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return fd;
    }
    static std::string Receive(int fd) {
        char buf[4096] = {};
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    std::string LogPath() { return root_.path() + "/eventlog/System.log"; }
    std::vector<pal::json::Value> Lines(const std::string& path) {
        std::vector<pal::json::Value> out;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            pal::json::Value v;
            EXPECT_TRUE(pal::json::Parse(line, v)) << "torn or malformed line: " << line;
            out.push_back(v);
        }
        return out;
    }
    BOOL Report(WORD type, DWORD id, std::vector<LPCWSTR> strings, DWORD dataSize = 0, void* data = nullptr) {
        HANDLE h = RegisterEventSourceW(nullptr, u"Zembrik");
        EXPECT_NE(h, nullptr);
        BOOL ok = ReportEventW(h, type, 0, id, nullptr, static_cast<WORD>(strings.size()), dataSize, strings.data(),
                               data);
        DeregisterEventSource(h);
        return ok;
    }
};

}  // namespace

// One JSON object per event with every field, the text from the message table.
TEST_F(EventLogTest, RecordHasEveryField) {
    DWORD code = 5;
    ASSERT_TRUE(Report(EVENTLOG_ERROR_TYPE, 0xE0000002, {u"Step \"one\"", u"Access is denied."}, 4, &code));
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"Zembrik", u"\u00e9"}));
    auto lines = Lines(LogPath());
    ASSERT_EQ(lines.size(), 2u);
    const pal::json::Value& e = lines[0];
    EXPECT_EQ(e.Find("source")->text, "Zembrik");
    EXPECT_EQ(e.Find("id")->text, "0xE0000002");
    EXPECT_EQ(e.Find("type")->text, "error");
    EXPECT_EQ(e.Find("category")->text, "0");
    EXPECT_EQ(e.Find("data")->text, "05000000");
    EXPECT_EQ(e.Find("message")->text, "Failure in Step \"one\".");
    ASSERT_EQ(e.Find("strings")->items.size(), 2u);
    EXPECT_EQ(e.Find("time")->text.size(), 24u);  // 2026-12-08T09:00:00.000Z
    EXPECT_EQ(e.Find("time")->text.back(), 'Z');
    EXPECT_EQ(lines[1].Find("message")->text, "Zembrik did \u00e9.");
    EXPECT_EQ(lines[1].Find("type")->text, "information");
}

TEST_F(EventLogTest, UnknownMessageStillLogged) {
    ASSERT_TRUE(Report(EVENTLOG_WARNING_TYPE, 0x60000099, {u"a", u"b"}));
    auto lines = Lines(LogPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Find("message")->text,
              "The description for Event ID 153 from source Zembrik cannot be found. The following information is "
              "part of the event: a, b");
    EXPECT_EQ(lines[0].Find("type")->text, "warning");
}

// A removed log directory is made again: nothing is lost.
TEST_F(EventLogTest, MissingDirectoryIsRecreated) {
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"x", u"y"}));
    ASSERT_TRUE(testsupport::RemoveTree(root_.path() + "/eventlog"));
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"x", u"z"}));
    auto lines = Lines(LogPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Find("message")->text, "x did z.");
}

// When the log cannot be written the call fails and the entry goes to stderr.
TEST_F(EventLogTest, UnwritableLogFailsLoudly) {
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"x", u"y"}));
    ASSERT_EQ(unlink(LogPath().c_str()), 0);
    ASSERT_EQ(mkdir(LogPath().c_str(), 0755), 0);  // a directory where the file should be
    testing::internal::CaptureStderr();
    SetLastError(0);
    EXPECT_FALSE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"lost", u"nothing"}));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_NE(err.find("cannot write the event log"), std::string::npos);
    EXPECT_NE(err.find("lost did nothing."), std::string::npos);
}

// At the size limit the log moves to System.log.1; no entry is lost or torn.
TEST_F(EventLogTest, RotatesAtTheLimit) {
    pal::SetEventLogRotateBytes(4096);
    const int kCount = 60;
    for (int i = 0; i < kCount; ++i) {
        std::u16string n(u"entry-");
        n += static_cast<char16_t>(u'A' + i % 26);
        ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {n.c_str(), u"something fairly long to fill"}));
    }
    struct stat st;
    ASSERT_EQ(stat(LogPath().c_str(), &st), 0);
    EXPECT_LE(st.st_size, 4096);
    auto older = Lines(LogPath() + ".1");
    auto newer = Lines(LogPath());
    EXPECT_FALSE(older.empty());
    // Only the last generation is kept; what is there is whole and in order.
    EXPECT_EQ(newer.back().Find("strings")->items[0].text, "entry-" + std::string(1, static_cast<char>('A' + (kCount - 1) % 26)));
}

TEST_CHILD_MODE(log_many) {
    PalSetModuleResources(&kResources);
    HANDLE h = RegisterEventSourceW(nullptr, u"Zembrik");
    std::u16string who = u"child";
    for (int i = 0; i < std::stoi(arg); ++i) {
        LPCWSTR s[2] = {who.c_str(), u"append"};
        if (!ReportEventW(h, EVENTLOG_INFORMATION_TYPE, 0, 0x60000001, nullptr, 2, 0, s, nullptr)) return 2;
    }
    return 0;
}

// Threads and processes appending at once never interleave within a line.
TEST_F(EventLogTest, ConcurrentAppendsStayWhole) {
    int child = testsupport::SpawnChild("log_many", "300");
    ASSERT_GT(child, 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 150; ++i) Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"thread", u"append"});
        });
    for (auto& t : ts) t.join();
    int status = testsupport::WaitChild(child, 30000);
    ASSERT_NE(status, -1);
    EXPECT_EQ(status, 0);
    auto lines = Lines(LogPath());
    EXPECT_EQ(lines.size(), 900u);
}

// Starts an entry in the log file arg and waits, to be killed before it ends it.
TEST_CHILD_MODE(log_torn) {
    static const char kPart[] = "{\"time\":\"2026-12-08T09:00:00.000Z\",\"source\":\"Zemb";
    int fd = open(arg.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || write(fd, kPart, sizeof(kPart) - 1) != static_cast<ssize_t>(sizeof(kPart) - 1)) return 2;
    for (;;) pause();
}

// A writer killed mid-line costs only its own entry: the next one starts on
// a line of its own and readers skip the torn one.
TEST_F(EventLogTest, TornLineIsEndedBeforeTheNextEntry) {
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"first", u"this"}));
    const std::string before = testsupport::ReadText(LogPath());
    int pid = testsupport::SpawnChild("log_torn", LogPath());
    ASSERT_GT(pid, 0);
    bool torn = testsupport::WaitUntil(10000, [&] { return testsupport::ReadText(LogPath()).size() > before.size(); });
    testsupport::KillChild(pid);
    ASSERT_TRUE(torn);
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"next", u"that"}));
    std::string text = testsupport::ReadText(LogPath());
    ASSERT_EQ(text.compare(0, before.size(), before), 0);
    size_t tornEnd = text.find('\n', before.size());
    ASSERT_NE(tornEnd, std::string::npos);
    EXPECT_EQ(text.substr(before.size(), tornEnd - before.size()), "{\"time\":\"2026-12-08T09:00:00.000Z\",\"source\":\"Zemb");
    pal::json::Value next;
    EXPECT_TRUE(pal::json::Parse(text.substr(tornEnd + 1), next)) << text;
    std::vector<testsupport::LoggedEvent> events = testsupport::ReadEvents();
    ASSERT_EQ(events.size(), 2u) << text;
    EXPECT_EQ(events[0].message, "first did this.");
    EXPECT_EQ(events[1].message, "next did that.");
}

// arg "<who> <action> <path>": who is root, outsider (uid 65534, no groups)
// or a gid (uid 65534 in that group). read: 0 once a byte is read, 13 when
// the open is refused; hold: takes the file's lock and keeps it until killed.
TEST_CHILD_MODE(log_as) {
    char who[32], action[16], path[4096];
    if (sscanf(arg.c_str(), "%31s %15s %4095s", who, action, path) != 3) return 90;
    if (strcmp(who, "root") != 0) {
        gid_t group = static_cast<gid_t>(atoi(who));
        bool admin = strcmp(who, "outsider") != 0;
        if (setgroups(admin ? 1 : 0, &group) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 91;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES ? 13 : 92;
    if (strcmp(action, "read") == 0) {
        char c;
        return read(fd, &c, 1) == 1 ? 0 : 93;
    }
    if (flock(fd, LOCK_EX) != 0) return 94;
    for (;;) pause();
}

// The log is for root and the administrators: the folder 0750 and its files
// 0640, root's and the group `zembrik`'s, also where an older layout left
// them open to all; the writers' lock is root's alone. An outsider reads
// nothing; an administrator reads the log but holds no writer up, and a
// writer kept from the lock appends after a bounded wait.
TEST_F(EventLogTest, ReadableByAdministratorsOnly) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to give the log its group and to take on other users";
    testsupport::AdminGroup admins;
    if (admins.gid() < 0) GTEST_SKIP() << "no group 'zembrik' (the administrators' group) and none can be made";
    testsupport::OpenRootToOthers(root_.path());
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"first", u"this"}));
    const std::string dir = root_.path() + "/eventlog";
    testsupport::WriteText(LogPath() + ".1", "{}\n");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(LogPath().c_str(), 0644), 0);
    ASSERT_EQ(chmod((LogPath() + ".1").c_str(), 0644), 0);
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"second", u"that"}));
    const gid_t group = static_cast<gid_t>(admins.gid());
    struct Want {
        std::string path;
        mode_t mode;
        gid_t gid;
    };
    for (const Want& w : {Want{dir, 0750, group}, Want{LogPath(), 0640, group}, Want{LogPath() + ".1", 0640, group},
                          Want{dir + "/.lock", 0600, 0}}) {
        struct stat st;
        ASSERT_EQ(lstat(w.path.c_str(), &st), 0) << w.path;
        EXPECT_EQ(st.st_mode & 07777, w.mode) << w.path;
        EXPECT_EQ(st.st_uid, 0u) << w.path;
        EXPECT_EQ(st.st_gid, w.gid) << w.path;
    }

    auto run = [](const std::string& arg) {
        int pid = testsupport::SpawnChild("log_as", arg);
        int status = testsupport::WaitChild(pid, 10000);
        if (status == -1) testsupport::KillChild(pid);
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string admin = std::to_string(group);
    for (const std::string& path : {LogPath(), LogPath() + ".1", dir + "/.lock"})
        EXPECT_EQ(run("outsider read " + path), 13) << "an outsider opened " << path;
    EXPECT_EQ(run(admin + " read " + LogPath()), 0) << "an administrator reads the log";
    EXPECT_EQ(run(admin + " read " + LogPath() + ".1"), 0);
    EXPECT_EQ(run(admin + " read " + dir + "/.lock"), 13) << "an administrator opened the writers' lock";

    // An administrator holds the log file's own lock; root holds the writers'.
    auto held = [](const std::string& path) {
        return testsupport::WaitUntil(10000, [&] {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            bool busy = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            if (fd >= 0) close(fd);
            return busy;
        });
    };
    int adminHolder = testsupport::SpawnChild("log_as", admin + " hold " + LogPath());
    int rootHolder = testsupport::SpawnChild("log_as", "root hold " + dir + "/.lock");
    bool bothHeld = held(LogPath()) && held(dir + "/.lock");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        EXPECT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"third", u"anyway"}));
        done = true;
    });
    bool returned = testsupport::WaitUntil(10000, [&] { return done.load(); });
    testsupport::KillChild(adminHolder);
    testsupport::KillChild(rootHolder);
    writer.join();
    ASSERT_TRUE(bothHeld);
    EXPECT_TRUE(returned) << "a writer waited on a held lock without bound";
    std::vector<testsupport::LoggedEvent> events = testsupport::ReadEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].message, "third did anyway.");
}

// Root follows no link in the log's folder: neither a folder nor a file
// replaced by a link is written through, and the rotation replaces a link
// named System.log.1 instead of writing where it points.
TEST_F(EventLogTest, LinksAreNotFollowed) {
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"first", u"this"}));
    const std::string dir = root_.path() + "/eventlog";
    const std::string target = root_.path() + "/target";
    testsupport::WriteText(target, "untouched\n");
    ASSERT_EQ(symlink(target.c_str(), (LogPath() + ".1").c_str()), 0);
    pal::SetEventLogRotateBytes(1);
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"second", u"that"}));
    struct stat st;
    ASSERT_EQ(lstat((LogPath() + ".1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the rotation replaced the link";
    pal::SetEventLogRotateBytes(16ull * 1024 * 1024);

    ASSERT_EQ(unlink(LogPath().c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), LogPath().c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"through", u"a file link"}));
    testing::internal::GetCapturedStderr();

    const std::string elsewhere = root_.path() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    ASSERT_TRUE(testsupport::RemoveTree(dir));
    ASSERT_EQ(symlink(elsewhere.c_str(), dir.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"through", u"a folder link"}));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("a folder link"), std::string::npos) << "the entry goes to standard error";
    EXPECT_EQ(testsupport::ReadText(target), "untouched\n");
    EXPECT_FALSE(std::ifstream(elsewhere + "/System.log").good());
}

// The syslog mirror gets a datagram with facility daemon and the severity;
// where a journal listens, it gets the event's fields instead.
TEST_F(EventLogTest, MirroredToJournalOrSyslog) {
    std::string path = root_.path() + "-syslog";
    int fd = BindDatagram(path);
    ASSERT_GE(fd, 0);
    pal::SetSyslogSocketPath(path);
    DWORD code = 2;
    ASSERT_TRUE(Report(EVENTLOG_ERROR_TYPE, 0xE0000002, {u"Step", u"x"}, 4, &code));
    std::string msg = Receive(fd);
    EXPECT_EQ(msg.rfind("<27>", 0), 0u) << msg;
    EXPECT_NE(msg.find("Zembrik[" + std::to_string(getpid()) + "]: Failure in Step."), std::string::npos) << msg;

    std::string journalPath = root_.path() + "-journal";
    int journal = BindDatagram(journalPath);
    ASSERT_GE(journal, 0);
    pal::SetJournalSocketPath(journalPath);
    ASSERT_TRUE(Report(EVENTLOG_WARNING_TYPE, 0x60000001, {u"Tool", u"its work"}));
    std::string fields = Receive(journal);
    for (const char* f : {"MESSAGE=Tool did its work.\n", "PRIORITY=4\n",
                          "MESSAGE_ID=7a656d6272696b000000000060000001\n", "ZEMBRIK_EVENT_ID=0x60000001\n",
                          "ZEMBRIK_SOURCE=Zembrik\n", "SYSLOG_IDENTIFIER=zembrik\n"})
        EXPECT_NE(fields.find(f), std::string::npos) << f << " in " << fields;
    // A message holding a line end goes with its length.
    ASSERT_TRUE(Report(EVENTLOG_INFORMATION_TYPE, 0x60000001, {u"A\nB", u"two lines"}));
    fields = Receive(journal);
    std::string text = "A\nB did two lines.";
    std::string sized = std::string("MESSAGE\n") + static_cast<char>(text.size()) + std::string(7, '\0') + text + "\n";
    EXPECT_NE(fields.find(sized), std::string::npos) << fields;
    // With the journal gone, syslog takes the events again.
    close(journal);
    unlink(journalPath.c_str());
    ASSERT_TRUE(Report(EVENTLOG_ERROR_TYPE, 0xE0000002, {u"Again", u"x"}, 4, &code));
    EXPECT_NE(Receive(fd).find("Failure in Again."), std::string::npos);
    close(fd);
    unlink(path.c_str());
}

TEST_F(EventLogTest, RefusesRemoteAndBadHandles) {
    SetLastError(0);
    EXPECT_EQ(RegisterEventSourceW(u"\\\\other", u"Zembrik"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    LPCWSTR s[1] = {u"x"};
    EXPECT_FALSE(ReportEventW(nullptr, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, s, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}
