// Events, waits, threads and named objects against the real kernel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "internal/object.h"
#include "pal/error.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "support/process_runner.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

struct Handle {
    HANDLE h;
    explicit Handle(HANDLE x) : h(x) {}
    ~Handle() { if (h != nullptr) CloseHandle(h); }
    operator HANDLE() const { return h; }
};

DWORD WaitThenReturn(LPVOID arg) {
    HANDLE ev = static_cast<HANDLE>(arg);
    return WaitForSingleObject(ev, 5000) == WAIT_OBJECT_0 ? 7 : 9;
}

}  // namespace

class SyncTest : public RootTest {};

// Manual-reset events stay signalled for every waiter; auto-reset ones release one.
TEST_F(SyncTest, ManualAndAutoResetEvents) {
    Handle manual(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle autoEv(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    ASSERT_NE(manual.h, nullptr);
    ASSERT_NE(autoEv.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);  // initially set
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);   // consumed
    SetEvent(autoEv);
    SetEvent(autoEv);  // setting twice still releases one wait
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
}

// A wait with a time-out returns WAIT_TIMEOUT after about that long.
TEST_F(SyncTest, WaitTimesOut) {
    Handle ev(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 120), WAIT_TIMEOUT);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 115);
    EXPECT_LT(ms, 2000);
}

// PulseEvent releases the threads waiting at that moment, and leaves the event reset.
TEST_F(SyncTest, PulseReleasesExactlyCurrentWaiters) {
    for (BOOL manual : {TRUE, FALSE}) {
        Handle ev(CreateEventW(nullptr, manual, FALSE, nullptr));
        std::atomic<int> released{0};
        std::vector<std::thread> ts;
        for (int i = 0; i < 3; ++i)
            ts.emplace_back([&] { if (WaitForSingleObject(ev, 1500) == WAIT_OBJECT_0) ++released; });
        // Let all three register.
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> g(pal::WaitLock());
                pal::ObjRef<pal::Object> o(pal::LookupHandle(ev, pal::ObjType::Event));
                if (o->waiters.size() == 3) break;
            }
            Sleep(5);
        }
        ASSERT_TRUE(PulseEvent(ev));
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "pulse must leave the event reset";
        for (auto& t : ts) t.join();
        EXPECT_EQ(released.load(), manual ? 3 : 1) << "manual=" << manual;
    }
    // Nobody waiting: a pulse is lost.
    Handle ev(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    PulseEvent(ev);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

// Wait-any gives the lowest signalled index; wait-all takes all or nothing.
TEST_F(SyncTest, WaitAnyAndWaitAll) {
    Handle a(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    Handle b(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    Handle c(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    HANDLE hs[3] = {a, b, c};
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
    // b consumed, c still set; a not: wait-all must not consume c.
    EXPECT_EQ(WaitForMultipleObjects(3, hs, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, hs, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT) << "wait-all consumed every auto event";

    // Wait-all completes when the last one is set from another thread.
    SetEvent(a);
    SetEvent(b);
    std::thread setter([&] { Sleep(50); SetEvent(c); });
    EXPECT_EQ(WaitForMultipleObjects(3, hs, TRUE, 3000), WAIT_OBJECT_0);
    setter.join();
}

TEST_F(SyncTest, WaitRefusesBadArguments) {
    Handle a(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE dup[2] = {a, a};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WaitForMultipleObjects(2, dup, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, dup, FALSE, 0), WAIT_TIMEOUT) << "duplicates are fine for wait-any";
    EXPECT_EQ(WaitForMultipleObjects(0, dup, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE many[65];
    for (auto& h : many) h = a;
    EXPECT_EQ(WaitForMultipleObjects(65, many, FALSE, 0), WAIT_FAILED);
    HANDLE bogus = ULongToHandle(0x7ffffff0);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A thread created suspended does not run until resumed; its handle is
// signalled when it ends and carries its exit code.
TEST_F(SyncTest, SuspendedThreadRunsAfterResume) {
    Handle ev(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    static std::atomic<int> ran{0};
    ran = 0;
    DWORD tid = 0;
    Handle t(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { ++ran; return 42; }, nullptr, CREATE_SUSPENDED, &tid));
    ASSERT_NE(t.h, nullptr);
    EXPECT_NE(tid, 0u);
    Sleep(50);
    EXPECT_EQ(ran.load(), 0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ran.load(), 1);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(t), 0u);
}

// A thread that never ran can be terminated: it never runs, its handle is
// signalled with the given exit code. A running thread cannot.
TEST_F(SyncTest, TerminateBeforeRun) {
    static std::atomic<int> ran{0};
    ran = 0;
    Handle t(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { ++ran; return 1; }, nullptr, CREATE_SUSPENDED, nullptr));
    ASSERT_TRUE(TerminateThread(t, 77));
    EXPECT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 77u);
    ResumeThread(t);
    Sleep(50);
    EXPECT_EQ(ran.load(), 0);

    Handle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle running(CreateThread(nullptr, 0, WaitThenReturn, gate.h, 0, nullptr));
    Sleep(30);
    SetLastError(0);
    EXPECT_FALSE(TerminateThread(running, 5));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(running, 5000), WAIT_OBJECT_0);
    GetExitCodeThread(running, &code);
    EXPECT_EQ(code, 7u);
}

// Waiting on two threads with wait-all returns once both have ended.
TEST_F(SyncTest, WaitAllOnThreads) {
    Handle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Handle t1(CreateThread(nullptr, 0, WaitThenReturn, gate.h, 0, nullptr));
    Handle t2(CreateThread(nullptr, 0, WaitThenReturn, gate.h, 0, nullptr));
    HANDLE both[2] = {t1, t2};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 50), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 5000), WAIT_OBJECT_0);
}

TEST_F(SyncTest, HandlesAreClosedOnceAndNotLeaked) {
    size_t before = pal::HandleCount();
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ev) & 3u, 0u);
    EXPECT_EQ(pal::DescriptorOfHandleValue(HandleToULong(ev)), -1) << "an unnamed event is no descriptor";
    EXPECT_LE(reinterpret_cast<uintptr_t>(ev), 0xFFFFFFFFu) << "handles fit 32-bit fields";
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ev, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(CloseHandle(ev));
    SetEvent(dup);  // the object lives on through the duplicate
    EXPECT_EQ(WaitForSingleObject(dup, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(dup));
    EXPECT_FALSE(CloseHandle(dup));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(pal::HandleCount(), before);
}

// Named events: the second create reports ERROR_ALREADY_EXISTS and shares the
// state; the object disappears with its last holder.
TEST_F(SyncTest, NamedEventSharedAndReleased) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"ZbTestNamed");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, u"ZbTestNamed");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0) << "the creator's manual-reset type holds";
    HANDLE c = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"zbtestnamed");
    EXPECT_EQ(c, nullptr) << "object names are case-sensitive";
    CloseHandle(a);
    CloseHandle(b);
    SetLastError(0);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZbTestNamed"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_CHILD_MODE(hold_named_event) {
    std::u16string name = pal::ToUtf16(arg);
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    if (h == nullptr) return 3;
    // Wait until the parent signals through the same event, tell it through
    // a second one that we took the signal, then hold on.
    if (WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) return 4;
    if (CreateEventW(nullptr, TRUE, TRUE, (name + u"Taken").c_str()) == nullptr) return 5;
    for (;;) Sleep(1000);
}

// A named event is visible to other processes, carries signals between them,
// and stops existing when its holder dies (even by SIGKILL).
TEST_F(SyncTest, NamedEventFollowsLiveHolders) {
    int pid = testsupport::SpawnChild("hold_named_event", "ZbTestCross");
    ASSERT_GT(pid, 0);
    HANDLE h = nullptr;
    for (int i = 0; i < 500 && h == nullptr; ++i) {
        h = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZbTestCross");
        if (h == nullptr) Sleep(10);
    }
    ASSERT_NE(h, nullptr);
    SetEvent(h);
    // Only the child waits on the event until it says it took the signal.
    HANDLE taken = nullptr;
    EXPECT_TRUE(testsupport::WaitUntil(10000, [&] {
        return (taken = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZbTestCrossTaken")) != nullptr;
    })) << "the child took the signal";
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT) << "taking it reset the auto-reset event";
    if (taken != nullptr) CloseHandle(taken);
    CloseHandle(h);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = testsupport::WaitChild(pid, 5000);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child held on until killed; wait status " << status;
    if (status == -1) testsupport::KillChild(pid);
    SetLastError(0);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZbTestCross"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE again = CreateEventW(nullptr, TRUE, FALSE, u"ZbTestCross");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a dead holder's object is gone";
    CloseHandle(again);
}

// A null DACL puts no restriction among those who may reach the object,
// which is not everyone: the objects' area is the service's own, and no
// object directory is open for others to make entries in.
TEST_F(SyncTest, NamedEventSecurityBecomesMode) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), &sd, TRUE};
    Handle h(CreateEventW(&sa, TRUE, FALSE, u"ZbNullDacl"));
    ASSERT_NE(h.h, nullptr);
    struct stat st;
    ASSERT_EQ(stat((root_.path() + "/run/objects/ZbNullDacl/holder").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(stat((root_.path() + "/run/objects/ZbNullDacl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat((root_.path() + "/run/objects").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SyncTest, TickCountAndSleep) {
    DWORD t0 = GetTickCount();
    Sleep(60);
    DWORD d = GetTickCount() - t0;
    EXPECT_GE(d, 59u);
    EXPECT_LT(d, 2000u);
}

TEST(StringsTest, FormatAndCompare) {
    WCHAR buf[64];
    EXPECT_EQ(StringCchPrintfW(buf, 64, u"0x%lx|%hu.%hu|%s|%I64u|%d", 0xe0020210ul, 5, 1, u"ab", 12345678901ull, -3), S_OK);
    EXPECT_EQ(std::u16string(buf), u"0xe0020210|5.1|ab|12345678901|-3");
    WCHAR small[4];
    EXPECT_EQ(StringCchPrintfW(small, 4, u"%s", u"abcdef"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), u"abc");
    EXPECT_EQ(lstrcmpiW(u"Zembrik", u"ZEMBRIK"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u00e9t\u00e9", u"\u00c9T\u00c9"), 0);
    EXPECT_EQ(PalCompareNoCase(u"abcdX", u"ABCDY", 4), 0);
    EXPECT_NE(PalCompareNoCase(u"abcdX", u"ABCDY", 5), 0);
    EXPECT_EQ(pal::ToUtf8(u"\u00e9\U0001F600"), "\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(pal::ToUtf16("\xc3\xa9\xf0\x9f\x98\x80"), u"\u00e9\U0001F600");
    EXPECT_EQ(pal::ToUtf16("a\xffz"), u"a\uFFFDz");
}

// The code-page calls count, convert and refuse short buffers as Windows does.
TEST(StringsTest, CodePageConversions) {
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", -1, nullptr, 0), 3) << "terminator counted with -1";
    WCHAR w[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", -1, w, 8), 3);
    EXPECT_EQ(std::u16string(w), u"h\u00e9");
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "hello", 5, w, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    char n[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9", 1, n, 8, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(n, 2), "\xc3\xa9");
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "x", 1, w, 8), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
