// The event log file: its records, rotation, concurrency and failure paths.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "internal/eventlog_config.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/json.h"
#include "pal/resource.h"
#include "support/test_support.h"

namespace {

const PAL_MESSAGE_RESOURCE kMessages[] = {
    {0x60000001, u"%1 did %2.\r\n"},
    {0xE0000002, u"Failure in %1.\r\n"},
};
const PAL_MODULE_RESOURCES kResources{nullptr, 0, kMessages, 2, nullptr, 0};

class EventLogTest : public testsupport::RootTest {
protected:
    void SetUp() override { PalSetModuleResources(&kResources); }
    void TearDown() override {
        pal::SetEventLogRotateBytes(16ull * 1024 * 1024);
        pal::SetSyslogSocketPath("/dev/log");
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

// The syslog mirror gets a datagram with facility daemon and the severity.
TEST_F(EventLogTest, MirroredToSyslog) {
    std::string path = root_.path() + "-syslog";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    pal::SetSyslogSocketPath(path);
    DWORD code = 2;
    ASSERT_TRUE(Report(EVENTLOG_ERROR_TYPE, 0xE0000002, {u"Step", u"x"}, 4, &code));
    char buf[2048] = {};
    struct timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);
    ASSERT_GT(n, 0);
    std::string msg(buf, static_cast<size_t>(n));
    EXPECT_EQ(msg.rfind("<27>", 0), 0u) << msg;
    EXPECT_NE(msg.find("Zembrik[" + std::to_string(getpid()) + "]: Failure in Step."), std::string::npos) << msg;
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
