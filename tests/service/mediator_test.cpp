// The job table shared with the mediator, and the mediator program with the
// real service: fresh start, adoption after a restart, stop and start.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "common/messages.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/job.h"
#include "pal/mapping.h"
#include "pal/process.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "wire/result_codes.h"
#include "service/core.h"
#include "wire/shared_job_table.h"
#include "support/event_log_reader.h"
#include "support/mediator_support.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

void JobName(WCHAR (&out)[kJobNameUnits], const std::u16string& group) {
    memset(out, 0, sizeof(out));
    lstrcpynW(out, (u"Kvjob_" + group).c_str(), kJobNameUnits);
}

// A header in memory of our own, as the service sees it.
struct LocalTable {
    HANDLE mapping = nullptr;
    SharedJobHeader* header = nullptr;
    HANDLE event = nullptr;
    LocalTable() {
        mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSharedJobHeaderSize, nullptr);
        header = static_cast<SharedJobHeader*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (header != nullptr) {
            header->servicePid = GetCurrentProcessId();
            header->serviceEvent = HandleToULong(event);
        }
    }
    ~LocalTable() {
        if (header != nullptr) UnmapViewOfFile(header);
        if (mapping != nullptr) CloseHandle(mapping);
        if (event != nullptr) CloseHandle(event);
    }
};

}  // namespace

class JobTableTest : public testsupport::RootTest {};

// The mediator lies in the service's folder; a path without a backslash gets
// the name appended whole.
TEST(MediatorPathTest, BesideTheService) {
    WCHAR path[300] = u"\\opt\\zembrik\\bin\\ZembrikService";
    MediatorPath(path, 300);
    EXPECT_EQ(std::u16string(path), u"\\opt\\zembrik\\bin\\ZembrikMD8.exe");
    WCHAR bare[300] = u"ZembrikService";
    MediatorPath(bare, 300);
    EXPECT_EQ(std::u16string(bare), u"ZembrikServiceZembrikMD8.exe");
    WCHAR root[300] = u"\\ZembrikService";
    MediatorPath(root, 300);
    EXPECT_EQ(std::u16string(root), u"\\ZembrikServiceZembrikMD8.exe") << "index 0 is not looked at";
}

// Numbers start at 1 on a fresh table; a known name keeps its number; a
// recorded name is signalled to the mediator.
TEST_F(JobTableTest, NumbersAndRecords) {
    LocalTable t;
    ASSERT_NE(t.header, nullptr);
    WCHAR a[kJobNameUnits];
    JobName(a, u"Alpha");
    DWORD n = t.header->JobNumber(a);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(t.header->first.count, 0u) << "asking for a number records nothing";
    t.header->RecordJob(a, n, nullptr);
    EXPECT_EQ(WaitForSingleObject(t.event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(t.header->first.count, 1u);
    EXPECT_EQ(t.header->first.entries[0].jobNumber, 1u);
    EXPECT_EQ(std::u16string(t.header->first.entries[0].jobName), u"Kvjob_Alpha");
    EXPECT_EQ(t.header->JobNumber(a), 1u);
    WCHAR upper[kJobNameUnits];
    JobName(upper, u"ALPHA");
    EXPECT_EQ(t.header->JobNumber(upper), 2u) << "numbers are found by the exact name";
    t.header->ReleaseJob(upper);
    EXPECT_EQ(t.header->first.entries[0].flags & kJobReleased, kJobReleased) << "released by name without case";
    t.header->RecordJob(upper, 2, nullptr);
    EXPECT_EQ(t.header->first.count, 1u) << "a known name only clears its released flag";
    EXPECT_EQ(t.header->first.entries[0].flags & kJobReleased, 0u);
    EXPECT_EQ(t.header->first.entries[0].jobNumber, 1u);
}

// The 25th name opens a second block of 3764 bytes and lands in its entry 0.
TEST_F(JobTableTest, SecondBlock) {
    LocalTable t;
    ASSERT_NE(t.header, nullptr);
    for (int i = 0; i < 25; ++i) {
        WCHAR name[kJobNameUnits];
        JobName(name, u"G" + pal::ToUtf16(std::to_string(i)));
        t.header->RecordJob(name, t.header->JobNumber(name), nullptr);
    }
    EXPECT_EQ(t.header->first.count, 24u);
    ASSERT_NE(t.header->first.nextServiceHandle, 0u);
    SharedJobBlock* second = t.header->Next(&t.header->first);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->count, 1u);
    EXPECT_EQ(std::u16string(second->entries[0].jobName), u"Kvjob_G24");
    EXPECT_EQ(second->entries[0].jobNumber, 25u);
    EXPECT_EQ(second->nextServiceHandle, 0u);
}

namespace {

bool MediatorRuns() {
    HANDLE h = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZembrikMD8OnlyMe");
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

class MediatorRunTest : public testsupport::RootTest {
protected:
    void TearDown() override { testsupport::EndMediator(); }
    bool StartService(ChildProcess& p) {
        std::string out = root_.path() + "-out" + std::to_string(runs_++);
        mkdir(out.c_str(), 0755);
        return p.Start(ZEMBRIK_SERVICE_PATH, {}, {{"ZEMBRIK_SYSROOT", root_.path()}}, out);
    }
    size_t Started() { return testsupport::EventsWithId("0x60000096").size(); }
    // Starts the service and waits until its mediator has taken the port over.
    void StartWithMediator(ChildProcess& service) {
        ASSERT_TRUE(StartService(service));
        ASSERT_TRUE(WaitUntil(15000, [&] { return Started() == 1; }));
        ASSERT_TRUE(WaitUntil(10000, [&] {
            return MediatorRuns() && Header() != nullptr && header_->mediatorPort != 0 && header_->servicePort != 0;
        }));
    }
    // The shared table as the test sees it.
    SharedJobHeader* Header() {
        if (header_ == nullptr) {
            mapping_ = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, u"ZembrikMD8Jobs");
            if (mapping_ != nullptr) header_ = static_cast<SharedJobHeader*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
        }
        return header_;
    }
    ~MediatorRunTest() override {
        if (header_ != nullptr) UnmapViewOfFile(header_);
        if (mapping_ != nullptr) CloseHandle(mapping_);
    }
    HANDLE mapping_ = nullptr;
    SharedJobHeader* header_ = nullptr;
    int runs_ = 0;
};

}  // namespace

// A fresh start starts the mediator, which takes the port over and writes its
// version; the mediator outlives the service, and the next start adopts it
// with its table; once the mediator is gone, a start is fresh again.
TEST_F(MediatorRunTest, FreshStartAdoptionAndFreshAgain) {
    ChildProcess first;
    ASSERT_TRUE(StartService(first));
    ASSERT_TRUE(WaitUntil(15000, [&] { return Started() == 1; }));
    ASSERT_TRUE(WaitUntil(10000, [&] {
        return MediatorRuns() && Header() != nullptr && header_->mediatorPort != 0 && header_->mediatorFileVersion[0] != 0;
    }));
    int mediator = testsupport::MediatorPid();
    ASSERT_GT(mediator, 0);
    EXPECT_EQ(header_->servicePid, static_cast<DWORD>(first.pid()));
    EXPECT_EQ(header_->lastJobNumber, 0u);
    first.Signal(SIGTERM);
    ASSERT_TRUE(first.WaitExit(35000));
    EXPECT_EQ(kill(mediator, 0), 0) << "the mediator outlives the service";

    header_->lastJobNumber = 7;  // the table the next service must adopt
    ChildProcess second;
    ASSERT_TRUE(StartService(second));
    ASSERT_TRUE(WaitUntil(15000, [&] { return Started() == 2; }));
    EXPECT_EQ(header_->servicePid, static_cast<DWORD>(second.pid()));
    EXPECT_EQ(header_->lastJobNumber, 7u) << "adopted, not started fresh";
    EXPECT_EQ(testsupport::MediatorPid(), mediator) << "no second mediator";
    EXPECT_NE(header_->servicePort, 0u) << "the mediator's port was taken over";
    second.Signal(SIGTERM);
    ASSERT_TRUE(second.WaitExit(35000));

    testsupport::EndMediator();
    ASSERT_TRUE(WaitUntil(5000, [] { return !MediatorRuns(); }));
    ChildProcess third;
    ASSERT_TRUE(StartService(third));
    ASSERT_TRUE(WaitUntil(15000, [&] { return Started() == 3; }));
    EXPECT_EQ(header_->lastJobNumber, 0u) << "a fresh start empties the table";
    ASSERT_TRUE(WaitUntil(10000, [&] { return testsupport::MediatorPid() != 0; }));
    EXPECT_NE(testsupport::MediatorPid(), mediator);
    third.Signal(SIGTERM);
    ASSERT_TRUE(third.WaitExit(35000));
}

// Opens the file arg names, writes its descriptor's number to arg.fd and sleeps.
TEST_CHILD_MODE(mediator_bait) {
    int fd = open(arg.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return 2;
    testsupport::WriteText(arg + ".fd", std::to_string(fd));
    for (;;) pause();
}

TEST_CHILD_MODE(mediator_sleep) {
    (void)arg;
    for (;;) pause();
}

// Start and stop of the mediator as a client asks for them.
TEST_F(MediatorRunTest, StartAndStopOnRequest) {
    RegisterProgramResources();
    LoadTexts();
    ZembrikCore core;
    ASSERT_TRUE(core.IsReady());
    ASSERT_TRUE(WaitUntil(10000, [] { return MediatorRuns(); }));
    EXPECT_EQ(core.StartMediator(), ResultMediatorRunning);
    int pid = testsupport::MediatorPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(core.RunningMediatorPid(), static_cast<DWORD>(pid));
    EXPECT_EQ(core.StopMediator(), 0u);
    EXPECT_FALSE(MediatorRuns()) << "a stop returns once the mediator has ended";
    EXPECT_EQ(core.RunningMediatorPid(), 0u);
    EXPECT_TRUE(WaitUntil(5000, [pid] { return kill(pid, 0) != 0; }));
    EXPECT_EQ(core.StopMediator(), ResultMediatorNotRunning);
    EXPECT_EQ(core.StartMediator(), 0u);
    EXPECT_TRUE(WaitUntil(10000, [] { return MediatorRuns(); }));
    // The core stops the mediator it started, by its own handle: a recorded
    // pid that another program has by now is left alone.
    ASSERT_NE(Header(), nullptr);
    int started = testsupport::MediatorPid();
    ASSERT_GT(started, 0);
    EXPECT_EQ(core.RunningMediatorPid(), static_cast<DWORD>(started));
    int other = testsupport::SpawnChild("mediator_sleep", "");
    ASSERT_GT(other, 0);
    header_->mediatorPid = static_cast<DWORD>(other);
    EXPECT_EQ(core.StopMediator(), 0u);
    EXPECT_FALSE(MediatorRuns());
    EXPECT_EQ(core.StopMediator(), ResultMediatorNotRunning);
    EXPECT_EQ(kill(other, 0), 0);
    testsupport::KillChild(other);
    header_->mediatorPid = static_cast<DWORD>(started);
    core.KillThreads(0);
}

namespace {

// Whatever the test leaves of a job: taking it and closing it as the last
// holder removes its cgroup.
void DropJob(const char16_t* name) {
    HANDLE h = CreateJobObjectW(nullptr, name);
    if (h != nullptr) CloseHandle(h);
}

}  // namespace

// The mediator holds the job of every entry in use, so the job outlives the
// handles of the process that made it; a released entry's job goes once no
// one else holds it.
TEST_F(MediatorRunTest, HoldsJobsUntilReleased) {
    if (!testsupport::CanMakeJobs()) GTEST_SKIP() << "no job objects here (cgroup v2 not writable)";
    ChildProcess service;
    ASSERT_NO_FATAL_FAILURE(StartWithMediator(service));
    int mediator = testsupport::MediatorPid();
    ASSERT_GT(mediator, 0);
    HANDLE changed = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZembrikMD8Evt");
    ASSERT_NE(changed, nullptr);

    HANDLE job = CreateJobObjectW(nullptr, u"Kvjob_X");
    ASSERT_NE(job, nullptr) << GetLastError();
    WCHAR name[kJobNameUnits];
    JobName(name, u"X");
    header_->RecordJob(name, header_->JobNumber(name), nullptr);
    SetEvent(changed);
    const std::string holder = "/run/jobs/Kvjob_X/";
    EXPECT_TRUE(WaitUntil(10000, [&] { return testsupport::HoldsPath(mediator, holder); })) << "the mediator opened the job";

    // A table naming another program as the service: the mediator takes
    // nothing from it. The next job it opens shows it has looked.
    std::string bait = root_.path() + "-bait";
    int impostor = testsupport::SpawnChild("mediator_bait", bait);
    ASSERT_TRUE(WaitUntil(10000, [&] { return !testsupport::ReadText(bait + ".fd").empty(); }));
    DWORD servicePid = header_->servicePid;
    header_->servicePid = static_cast<DWORD>(impostor);
    header_->first.nextServiceHandle = static_cast<DWORD>(atoi(testsupport::ReadText(bait + ".fd").c_str()) + 1) << 2;
    HANDLE next = CreateJobObjectW(nullptr, u"Kvjob_Y");
    WCHAR nextName[kJobNameUnits];
    JobName(nextName, u"Y");
    header_->RecordJob(nextName, header_->JobNumber(nextName), nullptr);
    SetEvent(changed);
    EXPECT_TRUE(WaitUntil(10000, [&] { return testsupport::HoldsPath(mediator, "/run/jobs/Kvjob_Y/"); }));
    EXPECT_FALSE(testsupport::HoldsPath(mediator, "-bait")) << "pulled a descriptor from a process that is not the service";
    header_->first.nextServiceHandle = 0;
    header_->servicePid = servicePid;
    header_->ReleaseJob(nextName);
    SetEvent(changed);
    CloseHandle(next);
    testsupport::KillChild(impostor);
    CloseHandle(job);
    HANDLE again = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_X");
    EXPECT_NE(again, nullptr) << "the mediator keeps the job in existence";
    if (again != nullptr) CloseHandle(again);

    header_->ReleaseJob(name);
    SetEvent(changed);
    EXPECT_TRUE(WaitUntil(10000, [&] { return !testsupport::HoldsPath(mediator, holder); })) << "the mediator let go";
    SetLastError(0);
    EXPECT_EQ(OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, u"Kvjob_X"), nullptr) << "an empty released job goes";
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    CloseHandle(changed);
    service.Signal(SIGTERM);
    EXPECT_TRUE(service.WaitExit(35000));
    testsupport::EndMediator();
    DropJob(u"Kvjob_X");
    DropJob(u"Kvjob_Y");
}

namespace {

// Idles until the file arg exists, then spins user time until killed.
TEST_CHILD_MODE(mediator_burn_later) {
    struct stat st;
    while (stat(arg.c_str(), &st) != 0) usleep(10000);
    volatile unsigned long x = 0;
    for (;;) x = x + 1;
}

// The service's port as this process sees it: pulled by value from the service.
HANDLE PullPort(DWORD pid, DWORD value) {
    HANDLE proc = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
    if (proc == nullptr) return nullptr;
    HANDLE port = nullptr;
    DuplicateHandle(proc, ULongToHandle(value), GetCurrentProcess(), &port, 0, FALSE, DUPLICATE_SAME_ACCESS);
    CloseHandle(proc);
    return port;
}

}  // namespace

// While the service is down the mediator keeps a recorded job's limits in
// force, and the job's messages wait in the port until the restarted service
// adopts it.
TEST_F(MediatorRunTest, LimitsHoldWhileTheServiceIsDown) {
    if (!testsupport::CanMakeJobs()) GTEST_SKIP() << "no job objects here (cgroup v2 not writable)";
    ChildProcess service;
    ASSERT_NO_FATAL_FAILURE(StartWithMediator(service));
    int mediator = testsupport::MediatorPid();
    ASSERT_GT(mediator, 0);

    // The job as the service would make it: limit, port with its key, a member.
    const ULONG_PTR key = 77;
    HANDLE job = CreateJobObjectW(nullptr, u"Kvjob_Down");
    ASSERT_NE(job, nullptr) << GetLastError();
    HANDLE port = PullPort(header_->servicePid, header_->servicePort);
    ASSERT_NE(port, nullptr) << GetLastError();
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT a{reinterpret_cast<PVOID>(key), port};
    ASSERT_TRUE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &a, sizeof(a)));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION l{};
    l.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_TIME;
    l.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = 3000000;  // 0.3 s
    ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &l, sizeof(l)));
    std::string go = root_.path() + "/burn";
    int member = testsupport::SpawnChild("mediator_burn_later", go);
    ASSERT_GT(member, 0);
    HANDLE mp = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(member));
    ASSERT_NE(mp, nullptr);
    EXPECT_TRUE(AssignProcessToJobObject(job, mp)) << GetLastError();
    CloseHandle(mp);
    WCHAR name[kJobNameUnits];
    JobName(name, u"Down");
    header_->RecordJob(name, header_->JobNumber(name), nullptr);
    HANDLE changed = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZembrikMD8Evt");
    ASSERT_NE(changed, nullptr);
    SetEvent(changed);
    ASSERT_TRUE(WaitUntil(10000, [&] { return testsupport::HoldsPath(mediator, "/run/jobs/Kvjob_Down/"); }));

    // Service gone, and with it every handle but the mediator's.
    service.Signal(SIGTERM);
    ASSERT_TRUE(service.WaitExit(35000));
    CloseHandle(job);
    CloseHandle(port);
    testsupport::WriteText(go, "1");
    int st = testsupport::WaitChild(member, 10000);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "killed at its limit while the service was down";
    if (st == -1) testsupport::KillChild(member);

    // The messages wait in the port the mediator keeps for the next service
    // (the one a restart adopts). The earlier NEW_PROCESS is the running
    // service's to read, so it may or may not still be there.
    HANDLE kept = PullPort(static_cast<DWORD>(mediator), header_->mediatorPort);
    ASSERT_NE(kept, nullptr);
    std::vector<DWORD> messages;
    long timePid = -1;
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR k = 0;
        LPOVERLAPPED ov = nullptr;
        if (!GetQueuedCompletionStatus(kept, &bytes, &k, &ov, 2000)) break;
        if (k != key || bytes == JOB_OBJECT_MSG_NEW_PROCESS) continue;
        messages.push_back(bytes);
        if (bytes == JOB_OBJECT_MSG_END_OF_PROCESS_TIME) timePid = static_cast<long>(reinterpret_cast<uintptr_t>(ov));
    }
    EXPECT_EQ(messages, (std::vector<DWORD>{JOB_OBJECT_MSG_END_OF_PROCESS_TIME, JOB_OBJECT_MSG_EXIT_PROCESS,
                                            JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO}));
    EXPECT_EQ(timePid, member);
    CloseHandle(kept);

    ChildProcess again;
    ASSERT_TRUE(StartService(again));
    ASSERT_TRUE(WaitUntil(15000, [&] { return Started() == 2; }));
    header_->ReleaseJob(name);
    SetEvent(changed);
    EXPECT_TRUE(WaitUntil(10000, [&] { return !testsupport::HoldsPath(mediator, "/run/jobs/Kvjob_Down/"); }));
    CloseHandle(changed);
    again.Signal(SIGTERM);
    EXPECT_TRUE(again.WaitExit(35000));
    testsupport::EndMediator();
    DropJob(u"Kvjob_Down");
}
