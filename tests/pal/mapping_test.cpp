// File mappings: zero-filled shared memory, named or unnamed, visible to
// every process that holds it, and views that outlive their handle.
#include <cstdio>
#include <filesystem>
#include <string>

#include "pal/error.h"
#include "pal/mapping.h"
#include "pal/process.h"
#include "pal/sync.h"
#include "support/test_support.h"

namespace {

class MappingTest : public testsupport::RootTest {
protected:
    std::string ShmDir(const std::string& name) const { return root_.path() + "/run/shm/" + name; }
    static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
};

HANDLE NewMapping(DWORD size, LPCWSTR name = nullptr) {
    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
}

bool AllZero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

// Polls a byte of shared memory for a value another process writes.
bool AwaitByte(volatile unsigned char* b, unsigned char value) {
    for (int i = 0; i < 1000; ++i) {
        if (*b == value) return true;
        Sleep(10);
    }
    return false;
}

// A new mapping is zero-filled; a whole-mapping view covers the requested
// size (3944 and 3764 are not page multiples) and no more may be asked.
TEST_F(MappingTest, SizesAreTheRequestedOnes) {
    for (DWORD size : {3944u, 3764u}) {
        HANDLE m = NewMapping(size);
        ASSERT_NE(m, nullptr);
        auto* view = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(view, nullptr);
        EXPECT_TRUE(AllZero(view, size));
        view[size - 1] = 0x5a;
        SetLastError(0);
        EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 0, size + 1), nullptr) << "a view must lie inside the mapping";
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        auto* exact = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, size));
        ASSERT_NE(exact, nullptr);
        EXPECT_EQ(exact[size - 1], 0x5a) << "two views share the memory";
        EXPECT_TRUE(UnmapViewOfFile(exact));
        EXPECT_TRUE(UnmapViewOfFile(view));
        EXPECT_TRUE(CloseHandle(m));
    }
}

// A view keeps its mapping, and a named mapping its name, after CloseHandle;
// the last unmap lets it go.
TEST_F(MappingTest, ViewsOutliveCloseHandle) {
    HANDLE m = NewMapping(3944, u"ZbViewKeeps");
    ASSERT_NE(m, nullptr);
    auto* view = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(CloseHandle(m));
    view[100] = 42;
    HANDLE again = OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbViewKeeps");
    ASSERT_NE(again, nullptr) << "the view still holds the name";
    auto* other = static_cast<unsigned char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other[100], 42);
    CloseHandle(again);
    EXPECT_TRUE(UnmapViewOfFile(other));
    EXPECT_TRUE(UnmapViewOfFile(view + 10)) << "any address inside the view names it";
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbViewKeeps"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Exists(ShmDir("ZbViewKeeps"))) << "the last holder removes the object";
}

// Creating an existing name opens it with ERROR_ALREADY_EXISTS and keeps its
// size; a fresh one sets ERROR_SUCCESS.
TEST_F(MappingTest, CreateOfExistingNameOpensIt) {
    SetLastError(0xdeadbeef);
    HANDLE a = NewMapping(3944, u"ZbJobsLike");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(Exists(ShmDir("ZbJobsLike") + "/memory"));
    HANDLE b = NewMapping(3 * 65536, u"ZbJobsLike");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    auto* va = static_cast<unsigned char*>(MapViewOfFile(a, FILE_MAP_WRITE, 0, 0, 0));
    auto* vb = static_cast<unsigned char*>(MapViewOfFile(b, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(va, nullptr);
    ASSERT_NE(vb, nullptr);
    va[3943] = 7;
    EXPECT_EQ(vb[3943], 7);
    EXPECT_EQ(MapViewOfFile(b, FILE_MAP_READ, 0, 0, 3945), nullptr) << "the existing size is kept";
    UnmapViewOfFile(va);
    UnmapViewOfFile(vb);
    CloseHandle(a);
    CloseHandle(b);
}

// Refused handles, addresses, sizes, offsets and access.
TEST_F(MappingTest, BadArguments) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(event, FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(reinterpret_cast<HANDLE>(0x7ffc), FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);
    int local = 0;
    SetLastError(0);
    EXPECT_FALSE(UnmapViewOfFile(&local));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    SetLastError(0);
    EXPECT_EQ(NewMapping(0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_WRITECOPY, 0, 4096, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbNoSuchMapping"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE m = NewMapping(4 * 65536, u"ZbBadArgs");
    ASSERT_NE(m, nullptr);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 4096, 4096), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
    auto* tail = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 65536, 0));
    ASSERT_NE(tail, nullptr) << "an aligned offset maps the rest";
    tail[3 * 65536 - 1] = 1;
    UnmapViewOfFile(tail);
    HANDLE ro = OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbBadArgs");
    ASSERT_NE(ro, nullptr);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(ro, FILE_MAP_WRITE, 0, 0, 0), nullptr) << "opened for reading only";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    auto* view = static_cast<unsigned char*>(MapViewOfFile(ro, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[4 * 65536 - 1], 1);
    UnmapViewOfFile(view);
    CloseHandle(ro);
    CloseHandle(m);
}

// Child modes write what they want the parent to know into files in the
// temporary root ("<file>|..." in the argument).

// Opens the named mapping, answers the parent's byte 0 with byte 1, holds on.
TEST_CHILD_MODE(shm_named_peer) {
    std::u16string name(arg.begin(), arg.end());
    HANDLE m = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name.c_str());
    if (m == nullptr) return 3;
    auto* v = static_cast<volatile unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    if (v == nullptr) return 4;
    if (!AwaitByte(v, 1)) return 5;
    v[1] = 2;
    for (;;) Sleep(1000);
}

// Two processes see each other's writes to a named mapping; when the last
// holder is killed the name is gone and a new mapping is fresh zeroes.
TEST_F(MappingTest, NamedMappingSharedAndFollowsHolders) {
    HANDLE m = NewMapping(3944, u"ZbShared");
    ASSERT_NE(m, nullptr);
    auto* v = static_cast<volatile unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    int pid = testsupport::SpawnChild("shm_named_peer", "ZbShared");
    ASSERT_GT(pid, 0);
    v[0] = 1;
    EXPECT_TRUE(AwaitByte(v + 1, 2)) << "the child's write shows here";
    UnmapViewOfFile(const_cast<unsigned char*>(v));
    CloseHandle(m);
    HANDLE still = OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbShared");
    EXPECT_NE(still, nullptr) << "the child holds it";
    CloseHandle(still);
    testsupport::KillChild(pid);
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbShared"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE fresh = NewMapping(3944, u"ZbShared");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    auto* fv = MapViewOfFile(fresh, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(fv, nullptr);
    EXPECT_TRUE(AllZero(fv, 3944));
    UnmapViewOfFile(fv);
    CloseHandle(fresh);
}

// Pulls a mapping from the parent by its value: arg "<pid> <value> <file>".
// Checks the parent's pattern over the whole size, writes the size it could
// map to <file>, answers in the last byte, then holds on.
TEST_CHILD_MODE(shm_pull_peer) {
    DWORD parent = 0, value = 0;
    char file[512] = {0};
    if (sscanf(arg.c_str(), "%u %u %511s", &parent, &value, file) != 3) return 2;
    HANDLE proc = OpenProcess(PROCESS_DUP_HANDLE, FALSE, parent);
    if (proc == nullptr) return 3;
    HANDLE m = nullptr;
    if (!DuplicateHandle(proc, ULongToHandle(value), GetCurrentProcess(), &m, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 4;
    CloseHandle(proc);
    auto* v = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    if (v == nullptr) return 5;
    DWORD size = 0;
    for (DWORD s = 1; s <= 8192; ++s) {
        void* probe = MapViewOfFile(m, FILE_MAP_READ, 0, 0, s);
        if (probe == nullptr) break;
        UnmapViewOfFile(probe);
        size = s;
    }
    for (DWORD i = 0; i + 1 < size; ++i)
        if (v[i] != static_cast<unsigned char>(i * 7)) return 6;
    testsupport::WriteText(file, std::to_string(size));
    v[size - 1] = 0xee;
    for (;;) Sleep(1000);
}

// An unnamed mapping pulled into a child is the same memory with the same size.
TEST_F(MappingTest, UnnamedMappingPulledIntoChild) {
    HANDLE m = NewMapping(3764);
    ASSERT_NE(m, nullptr);
    auto* v = static_cast<volatile unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    for (DWORD i = 0; i < 3764; ++i) v[i] = static_cast<unsigned char>(i * 7);
    std::string out = root_.path() + "-child-size";
    int pid = testsupport::SpawnChild("shm_pull_peer", std::to_string(GetCurrentProcessId()) + " " +
                                                          std::to_string(HandleToULong(m)) + " " + out);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(AwaitByte(v + 3763, 0xee)) << "the child wrote the last byte";
    EXPECT_EQ(testsupport::ReadText(out), "3764");
    testsupport::KillChild(pid);
    UnmapViewOfFile(const_cast<unsigned char*>(v));
    CloseHandle(m);
}

// A named mapping pulled into a child keeps its name alive after the
// creator lets go, until the child dies.
TEST_F(MappingTest, PulledNamedMappingHoldsTheName) {
    HANDLE m = NewMapping(3944, u"ZbPulled");
    ASSERT_NE(m, nullptr);
    auto* v = static_cast<volatile unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(v, nullptr);
    for (DWORD i = 0; i < 3944; ++i) v[i] = static_cast<unsigned char>(i * 7);
    std::string out = root_.path() + "-child-size";
    int pid = testsupport::SpawnChild("shm_pull_peer", std::to_string(GetCurrentProcessId()) + " " +
                                                          std::to_string(HandleToULong(m)) + " " + out);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(AwaitByte(v + 3943, 0xee));
    EXPECT_EQ(testsupport::ReadText(out), "3944");
    UnmapViewOfFile(const_cast<unsigned char*>(v));
    CloseHandle(m);
    HANDLE again = OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbPulled");
    EXPECT_NE(again, nullptr) << "the child's pulled handle holds the name";
    CloseHandle(again);
    testsupport::KillChild(pid);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZbPulled"), nullptr);
}

TEST_CHILD_MODE(idle_peer) {
    for (;;) Sleep(static_cast<DWORD>(arg.size()) + 1000);
}

// What cannot be pulled: values naming no handle or a descriptor that is no
// mapping or port, pushing into another process, closing the source over
// there, and a process handle without PROCESS_DUP_HANDLE.
TEST_F(MappingTest, PullRefusals) {
    int pid = testsupport::SpawnChild("idle_peer", "");
    ASSERT_GT(pid, 0);
    HANDLE proc = OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(proc, nullptr);
    HANDLE out = nullptr;
    // 4 and 8 name the child's stdin and stdout; 4000 names no descriptor.
    for (DWORD value : {0u, 5u, 4u, 8u, 4000u}) {
        SetLastError(0);
        EXPECT_FALSE(DuplicateHandle(proc, ULongToHandle(value), GetCurrentProcess(), &out, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS))
            << value;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << value;
    }
    HANDLE mine = NewMapping(4096);
    ASSERT_NE(mine, nullptr);
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), mine, proc, &out, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(proc, ULongToHandle(4), GetCurrentProcess(), &out, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    HANDLE weak = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(weak, nullptr);
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(weak, ULongToHandle(4), GetCurrentProcess(), &out, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // A real handle of this process duplicates in-process.
    HANDLE self = OpenProcess(PROCESS_DUP_HANDLE, FALSE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(DuplicateHandle(self, mine, GetCurrentProcess(), &out, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(CloseHandle(out));
    CloseHandle(self);
    CloseHandle(weak);
    CloseHandle(mine);
    CloseHandle(proc);
    testsupport::KillChild(pid);
}

}  // namespace
