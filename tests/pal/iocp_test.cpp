// Completion ports: a FIFO of packets shared by every process that holds it.
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pal/error.h"
#include "pal/iocp.h"
#include "pal/process.h"
#include "pal/sync.h"
#include "support/test_support.h"

namespace {

class IocpTest : public testsupport::RootTest {};

HANDLE NewPort() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

struct Packet {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
};

BOOL Get(HANDLE port, Packet& p, DWORD ms) { return GetQueuedCompletionStatus(port, &p.bytes, &p.key, &p.ov, ms); }

LPOVERLAPPED Fake(uintptr_t v) { return reinterpret_cast<LPOVERLAPPED>(v); }

// Packets come out in the order they were posted, with all three values intact.
TEST_F(IocpTest, PacketsComeOutInPostOrder) {
    HANDLE port = NewPort();
    ASSERT_NE(port, nullptr);
    for (DWORD i = 1; i <= 5; ++i)
        ASSERT_TRUE(PostQueuedCompletionStatus(port, i * 10, 0x1234567800000000ull + i, Fake(0xA000 + i)));
    for (DWORD i = 1; i <= 5; ++i) {
        Packet p;
        ASSERT_TRUE(Get(port, p, 0));
        EXPECT_EQ(p.bytes, i * 10);
        EXPECT_EQ(p.key, 0x1234567800000000ull + i);
        EXPECT_EQ(p.ov, Fake(0xA000 + i));
    }
    EXPECT_TRUE(CloseHandle(port));
}

// An empty queue times out with WAIT_TIMEOUT and a null overlapped, whether
// the time-out is zero or not; a later post is then delivered.
TEST_F(IocpTest, EmptyQueueTimesOut) {
    HANDLE port = NewPort();
    ASSERT_NE(port, nullptr);
    for (DWORD ms : {0u, 30u}) {
        Packet p;
        p.ov = Fake(1);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(Get(port, p, ms));
        EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
        EXPECT_EQ(p.ov, nullptr);
    }
    std::thread poster([port] {
        Sleep(50);
        PostQueuedCompletionStatus(port, 7, 0, nullptr);
    });
    Packet p;
    EXPECT_TRUE(Get(port, p, INFINITE)) << "an infinite wait sees a post that comes later";
    EXPECT_EQ(p.bytes, 7u);
    poster.join();
    CloseHandle(port);
}

// Four posting threads and two reading threads: every packet arrives exactly once.
TEST_F(IocpTest, ConcurrentPostsArriveExactlyOnce) {
    HANDLE port = NewPort();
    ASSERT_NE(port, nullptr);
    constexpr DWORD kPerThread = 2000;
    std::vector<std::thread> posters;
    for (ULONG_PTR t = 1; t <= 4; ++t) {
        posters.emplace_back([port, t] {
            for (DWORD i = 0; i < kPerThread; ++i) PostQueuedCompletionStatus(port, i, t, nullptr);
        });
    }
    std::vector<std::pair<ULONG_PTR, DWORD>> got[2];
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([port, &got, r] {
            Packet p;
            while (Get(port, p, 2000)) got[r].emplace_back(p.key, p.bytes);
        });
    }
    for (auto& t : posters) t.join();
    for (auto& t : readers) t.join();
    std::set<std::pair<ULONG_PTR, DWORD>> seen;
    for (auto& g : got) {
        for (auto& e : g) {
            EXPECT_TRUE(seen.insert(e).second) << "duplicate " << e.first << "/" << e.second;
        }
    }
    EXPECT_EQ(seen.size(), 4 * kPerThread);
    // Each reader sees every poster's packets in that poster's order.
    for (auto& g : got) {
        DWORD last[5] = {0, 0, 0, 0, 0};
        bool first[5] = {true, true, true, true, true};
        for (auto& [key, seq] : g) {
            ASSERT_LE(key, 4u);
            if (!first[key]) {
                EXPECT_GT(seq, last[key]);
            }
            first[key] = false;
            last[key] = seq;
        }
    }
    CloseHandle(port);
}

// A full queue refuses the post with ERROR_NO_SYSTEM_RESOURCES, loses
// nothing, and takes posts again once a page's worth has been read.
TEST_F(IocpTest, FullQueueRefusesPosts) {
    HANDLE port = NewPort();
    ASSERT_NE(port, nullptr);
    DWORD posted = 0;
    while (posted < 1000000 && PostQueuedCompletionStatus(port, posted, 1, nullptr)) ++posted;
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_GE(posted, 2000u) << "room for at least a 64 KiB pipe's worth";
    Packet p;
    for (DWORD i = 0; i < 200; ++i) {
        ASSERT_TRUE(Get(port, p, 0));
        ASSERT_EQ(p.bytes, i);
    }
    EXPECT_TRUE(PostQueuedCompletionStatus(port, 0xffff, 1, nullptr));
    DWORD next = 200;
    while (Get(port, p, 0) && p.bytes != 0xffff) EXPECT_EQ(p.bytes, next++);
    EXPECT_EQ(next, posted) << "every accepted packet came out, the late one last";
    EXPECT_EQ(p.bytes, 0xffffu);
    CloseHandle(port);
}

// Handles that are not ports, and arguments Windows refuses.
TEST_F(IocpTest, BadHandlesAndArguments) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    Packet p;
    SetLastError(0);
    EXPECT_FALSE(PostQueuedCompletionStatus(event, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(Get(reinterpret_cast<HANDLE>(0x7ffc), p, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(CreateIoCompletionPort(event, nullptr, 1, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE port = NewPort();
    ASSERT_NE(port, nullptr);
    SetLastError(0);
    EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port, 1, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &p.bytes, &p.key, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(port);
    SetLastError(0);
    EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 0, nullptr)) << "a closed port";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

// The child pulls the parent's port by its value, takes the parent's
// packet, posts three of its own and ends.
TEST_CHILD_MODE(port_peer) {
    DWORD parent = 0, value = 0;
    if (sscanf(arg.c_str(), "%u %u", &parent, &value) != 2) return 2;
    HANDLE proc = OpenProcess(PROCESS_DUP_HANDLE, FALSE, parent);
    if (proc == nullptr) return 3;
    HANDLE port = nullptr;
    if (!DuplicateHandle(proc, ULongToHandle(value), GetCurrentProcess(), &port, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 4;
    CloseHandle(proc);
    Packet p;
    if (!Get(port, p, 10000) || p.key != 5 || p.bytes != 55) return 5;
    for (DWORD i = 1; i <= 3; ++i)
        if (!PostQueuedCompletionStatus(port, i, 77, Fake(i))) return 6;
    CloseHandle(port);
    return 0;
}

// A port pulled into another process is the same queue in both directions,
// and packets posted while nobody reads wait there, outliving the poster.
TEST_F(IocpTest, PortSharedWithChildProcess) {
    HANDLE port = NewPort();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 55, 5, nullptr));
    int pid = testsupport::SpawnChild("port_peer",
                                      std::to_string(GetCurrentProcessId()) + " " + std::to_string(HandleToULong(port)));
    ASSERT_GT(pid, 0);
    int status = testsupport::WaitChild(pid, 20000);
    if (status == -1) testsupport::KillChild(pid);
    ASSERT_EQ(status, 0) << "the child's exit code is " << (status >> 8);
    for (DWORD i = 1; i <= 3; ++i) {
        Packet p;
        ASSERT_TRUE(Get(port, p, 0)) << "the child's packet " << i << " waits in the queue";
        EXPECT_EQ(p.bytes, i);
        EXPECT_EQ(p.key, 77u);
        EXPECT_EQ(p.ov, Fake(i));
    }
    Packet p;
    EXPECT_FALSE(Get(port, p, 0)) << "the child took the parent's packet";
    CloseHandle(port);
}

}  // namespace
