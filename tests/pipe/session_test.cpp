// Sessions with the real service over its socket: request/reply order, an
// over-long request, stop, access control by socket and by access key, and
// a stream of damaged messages that must leave every rule as it was.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "common/texts.h"
#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/pipe.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "pipe/request_builder.h"
#include "support/event_log_reader.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using pipetest::Message;
using testsupport::WaitUntil;

namespace {

// A client end of the service's pipe.
class Connection {
public:
    Connection() {
        if (!WaitNamedPipeW(kPipeName, 15000)) return;
        for (int i = 0; i < 50 && h_ == INVALID_HANDLE_VALUE; ++i) {
            h_ = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h_ == INVALID_HANDLE_VALUE) {
                error_ = GetLastError();
                if (error_ != ERROR_PIPE_BUSY) break;
                Sleep(20);
            }
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (h_ != INVALID_HANDLE_VALUE) SetNamedPipeHandleState(h_, &mode, nullptr, nullptr);
    }
    ~Connection() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    DWORD error() const { return error_; }
    bool Write(const std::vector<BYTE>& bytes) {
        DWORD n = 0;
        return WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    }
    // The next reply, or empty with the read's error in error().
    std::vector<BYTE> Read() {
        std::vector<BYTE> reply(kReplyBufferSize);
        DWORD n = 0;
        if (!ReadFile(h_, reply.data(), kReplyBufferSize, &n, nullptr)) {
            error_ = GetLastError();
            return {};
        }
        reply.resize(n);
        return reply;
    }
    std::vector<BYTE> Ask(Message& m) { return Write(m.bytes) ? Read() : std::vector<BYTE>{}; }
    HANDLE handle() const { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
    DWORD error_ = 0;
};

const RequestHeader& Header(const std::vector<BYTE>& reply) { return *reinterpret_cast<const RequestHeader*>(reply.data()); }

std::u16string AccessKeyPath(const WCHAR* key) { return std::u16string(kParametersKeyPath) + u"\\" + key; }

void CreateKey(const std::u16string& path) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr), 0);
    RegCloseKey(h);
}

// arg "<uid> <gid> <group or -1> <pid to kill>": takes on that identity,
// connects and asks for the kill; exits with the result's low byte, 200 +
// the connect error's low byte when it cannot connect.
TEST_CHILD_MODE(pipe_client_as) {
    unsigned uid = 0, gid = 0, pid = 0;
    int group = -1;
    if (sscanf(arg.c_str(), "%u %u %d %u", &uid, &gid, &group, &pid) != 4) return 250;
    gid_t groups[1] = {static_cast<gid_t>(group)};
    if (setgroups(group >= 0 ? 1 : 0, groups) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 251;
    Connection c;
    if (!c.ok()) return 200 + static_cast<int>(c.error() & 0x3F);
    ULONGLONG any = AnyCreationTime;
    Message kill = pipetest::With(ReqProcList, OpKill, any);
    kill.header().argument = pid;
    std::vector<BYTE> reply = c.Ask(kill);
    if (reply.size() < kHeaderSize) return 252;
    return static_cast<int>(Header(reply).result & 0xFF);
}

class SessionTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        RegisterProgramResources();
        LoadTexts();
    }
    void TearDown() override {
        if (service_.pid() > 0) {
            service_.Signal(SIGTERM);
            service_.WaitExit(35000);
        }
        testsupport::EndMediator();
    }
    void StartService() {
        std::string out = root_.path() + "-out";
        mkdir(out.c_str(), 0755);
        ASSERT_TRUE(service_.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, out));
        ASSERT_TRUE(WaitNamedPipeW(kPipeName, 20000)) << "the service's pipe";
    }
    size_t ClientErrors(const char* operation) {
        size_t n = 0;
        for (const auto& e : testsupport::EventsWithId("0xE00000B9"))
            if (e.strings.size() > 1 && e.strings[0] == "ZbClient" && e.strings[1] == operation) ++n;
        return n;
    }
    testsupport::ChildProcess service_;
};

// Service information is one 552-byte record; two requests written before
// either reply is read are answered in order; a client that leaves without
// a word leaves no trace.
TEST_F(SessionTest, RepliesInOrder) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    {
        Connection silent;
        ASSERT_TRUE(silent.ok()) << silent.error();
    }
    Connection c;
    ASSERT_TRUE(c.ok()) << c.error();
    Message info(ReqServiceInfo, OpGet);
    std::vector<BYTE> reply = c.Ask(info);
    ASSERT_EQ(reply.size(), 620u);
    EXPECT_EQ(Header(reply).recordCount, 1);
    EXPECT_EQ(Header(reply).recordSize, 552);
    const auto* si = reinterpret_cast<const ServiceInfo*>(reply.data() + kHeaderSize);
    EXPECT_EQ(si->pipeTimeOut, 5000u);

    Message first(ReqServiceInfo, OpGet);
    first.header().requestId = 1;
    Message second(ReqNameRules, OpGet);
    second.header().requestId = 2;
    ASSERT_TRUE(c.Write(first.bytes));
    ASSERT_TRUE(c.Write(second.bytes));
    std::vector<BYTE> a = c.Read();
    std::vector<BYTE> b = c.Read();
    ASSERT_GE(a.size(), kHeaderSize);
    ASSERT_GE(b.size(), kHeaderSize);
    EXPECT_EQ(Header(a).requestId, 1u);
    EXPECT_EQ(Header(b).requestId, 2u);
    EXPECT_EQ(Header(b).recordSize, 388);
    EXPECT_EQ(ClientErrors("ReadPipe") + ClientErrors("ReadResult"), 0u) << "the silent client left no trace";
}

// A request longer than the request buffer ends the session without a
// reply, and is reported.
TEST_F(SessionTest, OverLongRequestEndsTheSession) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    Connection c;
    ASSERT_TRUE(c.ok());
    std::vector<BYTE> big(kRequestBufferSize + 1, 0);
    Message info(ReqServiceInfo, OpGet);
    memcpy(big.data(), info.bytes.data(), info.bytes.size());
    ASSERT_TRUE(c.Write(big));
    EXPECT_TRUE(c.Read().empty());
    EXPECT_EQ(c.error(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_TRUE(WaitUntil(5000, [&] { return ClientErrors("ReadPipe") + ClientErrors("ReadResult") == 1; }));
}

// At the stop an idle session ends and lets its client go.
TEST_F(SessionTest, StopEndsIdleSessions) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    Connection c;
    ASSERT_TRUE(c.ok());
    Message info(ReqServiceInfo, OpGet);
    ASSERT_EQ(c.Ask(info).size(), 620u);
    service_.Signal(SIGTERM);
    EXPECT_TRUE(c.Read().empty());
    EXPECT_EQ(c.error(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_TRUE(service_.WaitExit(35000));
    // The listening instance went quietly with the server.
    DWORD timeOut = 0;
    EXPECT_FALSE(PalGetNamedPipeDefaultTimeOut(kPipeName, &timeOut));
    for (const auto& e : testsupport::EventsWithId("0xE00000B9"))
        EXPECT_NE(e.strings.empty() ? "" : e.strings[0], "ZbClientConn");
}

// A new pipe time-out reaches the instances made after it.
TEST_F(SessionTest, PipeTimeOutReachesNewInstances) {
    {
        ZembrikDb db;
        ASSERT_EQ(db.LoadRules(7), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(CreateKey(AccessKeyPath(kAccessSetPollSeconds)));
    ASSERT_NO_FATAL_FAILURE(StartService());
    DWORD timeOut = 0;
    ASSERT_TRUE(PalGetNamedPipeDefaultTimeOut(kPipeName, &timeOut));
    EXPECT_EQ(timeOut, 5000u);
    Connection c;
    ASSERT_TRUE(c.ok());
    ParameterBlock p{30, 0, 0, 250};
    Message m = pipetest::With(ReqParameters, OpReplace, p);
    std::vector<BYTE> reply = c.Ask(m);
    ASSERT_GE(reply.size(), kHeaderSize);
    EXPECT_EQ(Header(reply).result, 0u);
    Connection next;  // the instance it took was made before; the next one is made now
    ASSERT_TRUE(next.ok());
    EXPECT_TRUE(WaitUntil(5000, [&] { return PalGetNamedPipeDefaultTimeOut(kPipeName, &timeOut) && timeOut == 250; }));
}

// The socket admits root and the admin group only; a member of the group
// acts under its own identity, so a kill needs its access key.
TEST_F(SessionTest, AccessControl) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to act as other users";
    testsupport::AdminGroup group;
    if (group.gid() < 0) GTEST_SKIP() << "no group 'zembrik' (the administrators' group) and none can be made";
    gid_t admins = static_cast<gid_t>(group.gid());
    {
        ZembrikDb db;  // the rule tree as installation leaves it
        ASSERT_EQ(db.LoadRules(7), 0u);
    }
    for (const WCHAR* k : kAccessKeys) ASSERT_NO_FATAL_FAILURE(CreateKey(AccessKeyPath(k)));
    std::string killKey = root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services/Zembrik/Parameters/"
                                         "AccessControl/KillProcess";
    ASSERT_EQ(chmod(killKey.c_str(), 0700), 0) << killKey;
    testsupport::OpenRootToOthers(root_.path());
    ASSERT_NO_FATAL_FAILURE(StartService());
    int victim = testsupport::SpawnChild("pipe_sleep", "");
    ASSERT_GT(victim, 0);

    auto runAs = [&](const std::string& arg) {
        int pid = testsupport::SpawnChild("pipe_client_as", arg);
        int st = testsupport::WaitChild(pid, 20000);
        if (st == -1) testsupport::KillChild(pid);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    std::string target = " " + std::to_string(victim);
    EXPECT_EQ(runAs("65534 65534 -1" + target), 200 + static_cast<int>(ERROR_ACCESS_DENIED)) << "not an admin";
    EXPECT_EQ(runAs("65534 65534 " + std::to_string(admins) + target), static_cast<int>(ERROR_ACCESS_DENIED))
        << "an admin without the kill right";
    EXPECT_EQ(kill(victim, 0), 0);
    EXPECT_EQ(runAs("0 0 -1" + target), 0) << "root has every right";
    EXPECT_NE(testsupport::WaitChild(victim, 5000), -1);
}

TEST_CHILD_MODE(pipe_sleep) {
    (void)arg;
    for (;;) pause();
}

// Damaged and random messages from several clients while rules change: the
// service answers or drops each, and every rule stays as it was written.
TEST_F(SessionTest, DamagedMessagesLeaveRulesIntact) {
    {
        ZembrikDb db;
        ASSERT_EQ(db.LoadRules(7), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::atomic<bool> done{false};
    std::thread writer([&] {
        Connection c;
        if (!c.ok()) return;
        for (int i = 0; !done; ++i) {
            std::vector<BYTE> b(kProcDetailFixedSize, 0);
            auto* d = reinterpret_cast<ProcDetail*>(b.data());
            std::u16string name = u"Rule" + pal::ToUtf16(std::to_string(i % 20));
            lstrcpynW(d->summary.name, name.c_str(), 64);
            d->summary.mgmt.mgmtFlags = ApplyPriority;
            d->summary.mgmt.priority = 6;
            Message add(ReqProcRule, i % 40 < 20 ? OpAdd : OpDelete, b.data(), b.size());
            c.Ask(add);
        }
    });
    std::vector<std::thread> noise;
    for (int t = 0; t < 4; ++t) {
        noise.emplace_back([t] {
            std::mt19937 rng(1234 + t);
            Connection c;
            for (int i = 0; i < 1500; ++i) {
                if (!c.ok()) return;
                BYTE type = static_cast<BYTE>(std::uniform_int_distribution<int>(0, 10)(rng));
                if (type == 10) type = ReqServiceControl;
                Message m(type, static_cast<BYTE>(std::uniform_int_distribution<int>(0, 8)(rng)));
                size_t size = std::uniform_int_distribution<size_t>(0, 1200)(rng);
                m.bytes.resize(kRequestDataOffset + size);
                for (size_t k = kRequestDataOffset; k < m.bytes.size(); ++k) m.bytes[k] = static_cast<BYTE>(rng());
                // Headers damaged at random too: lengths, counts, sizes.
                if (i % 3 == 0) m.header().dataLength = static_cast<SHORT>(rng());
                if (i % 5 == 0) m.header().maxRecords = static_cast<LONG>(rng());
                if (i % 7 == 0) m.header().bufferSize = static_cast<DWORD>(rng());
                if (i % 11 == 0) m.header().argument = static_cast<DWORD>(rng());
                size_t cut = i % 4 == 0 ? std::uniform_int_distribution<size_t>(0, m.bytes.size())(rng)
                                        : m.bytes.size();
                m.bytes.resize(cut == 0 ? 1 : cut);
                std::vector<BYTE> reply = c.Ask(m);
                if (reply.empty()) return;
                if (reply.size() < kHeaderSize || Header(reply).signature != kRequestSignature) return;
            }
        });
    }
    for (auto& t : noise) t.join();
    done = true;
    writer.join();

    // The rules as the service holds them: every one well formed.
    Connection c;
    ASSERT_TRUE(c.ok());
    ProcSummary key{};
    Message list = pipetest::With(ReqProcSummaries, OpGet, key);
    list.header().argument = 0x2;
    std::vector<BYTE> reply = c.Ask(list);
    ASSERT_GE(reply.size(), kHeaderSize);
    ASSERT_EQ(Header(reply).result, 0u);
    for (int i = 0; i < Header(reply).recordCount; ++i) {
        const auto& s = reinterpret_cast<const ProcSummary*>(reply.data() + kHeaderSize)[i];
        std::u16string name(s.name);
        if (name.rfind(u"Rule", 0) != 0) continue;  // rules the noise itself added are fine if well formed
        EXPECT_EQ(s.mgmt.priority, 6u) << pal::ToUtf8(name);
        EXPECT_EQ(s.mgmt.mgmtFlags & ~(MgmtDataInvalid | MgmtDataMissing), static_cast<DWORD>(ApplyPriority));
    }
    // And the service still runs.
    Message info(ReqServiceInfo, OpGet);
    EXPECT_EQ(c.Ask(info).size(), 620u);
    EXPECT_TRUE(service_.Running());
}

size_t Entries(const std::string& dir) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

// Thirty-two clients at once, a thousand mixed requests each, every reply
// right; then 300 sessions at once (more than the pipe's 255 "unlimited"
// instances), each answered; afterwards the service holds no more descriptors
// or threads than before.
TEST_F(SessionTest, ThirtyTwoClients) {
    {
        ZembrikDb db;
        ASSERT_EQ(db.LoadRules(7), 0u);
    }
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::string proc = "/proc/" + std::to_string(service_.pid());
    {
        Connection first;  // the service is past its start once it answers
        Message info(ReqServiceInfo, OpGet);
        ASSERT_EQ(first.Ask(info).size(), 620u);
    }
    ASSERT_TRUE(WaitUntil(5000, [&] { return Entries(proc + "/task") > 0; }));
    Sleep(200);
    size_t fds = Entries(proc + "/fd"), threads = Entries(proc + "/task");
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 32; ++t) {
        clients.emplace_back([t, &wrong] {
            Connection c;
            if (!c.ok()) {
                ++wrong;
                return;
            }
            for (int i = 0; i < 1000; ++i) {
                int kind = (i + t) % 10;
                Message m(ReqServiceInfo, OpGet);
                size_t size = 620;
                SHORT recordSize = 552;
                if (kind < 4) {
                    m = Message(ReqNameRules, OpGet);
                    recordSize = 388;
                    size = 0;
                } else if (kind < 8) {
                    ProcSummary key{};
                    m = pipetest::With(ReqProcSummaries, OpGet, key);
                    recordSize = 568;
                    size = 0;
                } else if (kind == 8) {
                    ProcListEntry key{};
                    m = pipetest::With(ReqProcList, OpGet, key);
                    m.header().maxRecords = 5;
                    recordSize = 432;
                    size = 0;
                }
                m.header().requestId = static_cast<DWORD>(t * 100000 + i);
                std::vector<BYTE> reply = c.Ask(m);
                bool ok = reply.size() >= kHeaderSize && Header(reply).result == 0 &&
                          Header(reply).requestId == m.header().requestId &&
                          (Header(reply).recordCount == 0 || Header(reply).recordSize == recordSize) &&
                          (size == 0 || reply.size() == size);
                if (!ok) ++wrong;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(wrong.load(), 0);
    {
        std::vector<std::unique_ptr<Connection>> crowd;
        for (int i = 0; i < 300; ++i) {
            crowd.push_back(std::make_unique<Connection>());
            ASSERT_TRUE(crowd.back()->ok()) << "client " << i << ": " << crowd.back()->error();
        }
        Message info(ReqServiceInfo, OpGet);
        for (auto& c : crowd) ASSERT_TRUE(c->Write(info.bytes));
        for (auto& c : crowd) ASSERT_EQ(c->Read().size(), 620u);
    }
    EXPECT_TRUE(WaitUntil(10000, [&] { return Entries(proc + "/fd") <= fds && Entries(proc + "/task") <= threads; }))
        << "descriptors " << Entries(proc + "/fd") << " (were " << fds << "), threads " << Entries(proc + "/task")
        << " (were " << threads << ")";
}

}  // namespace
