// Per-thread identity against the real kernel: what the thread's access
// checks see, what /proc shows, and that RevertToSelf puts back exactly what
// was there.
#include <gtest/gtest.h>

#include <barrier>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <linux/capability.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "pal/error.h"
#include "pal/registry.h"
#include "pal/security.h"
#include "pal/sync.h"
#include "pal/token.h"
#include "support/test_support.h"

using testsupport::RootTest;

namespace {

constexpr DWORD kNobody = 65534;
constexpr const char kNeedsRoot[] = "needs root (CAP_SETUID, CAP_SETGID) to change a thread's identity";

// The identity parts of /proc/self/task/<tid>/status for the calling thread.
struct ProcIds {
    std::vector<std::string> uid;  // real, effective, saved, filesystem
    std::vector<std::string> gid;
    std::vector<std::string> groups;
};

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

ProcIds ThreadStatus(pid_t tid) {
    std::string text = testsupport::ReadText("/proc/self/task/" + std::to_string(tid) + "/status");
    ProcIds ids;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> w = Words(line);
        if (w.empty()) continue;
        w.erase(w.begin());
        if (line.rfind("Uid:", 0) == 0) ids.uid = w;
        else if (line.rfind("Gid:", 0) == 0) ids.gid = w;
        else if (line.rfind("Groups:", 0) == 0) ids.groups = w;
    }
    return ids;
}

// Runs fn on a thread of its own, so the test's main thread never changes identity.
void OnThread(const std::function<void()>& fn) {
    std::thread t(fn);
    t.join();
}

// The admin-only attributes the service gives its keys: SYSTEM and the
// administrators' group, nobody else.
struct AdminAttributes {
    SECURITY_DESCRIPTOR sd{};
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), &sd, FALSE};
    PACL acl = nullptr;
    AdminAttributes() {
        WCHAR admins[256];
        WCHAR domain[256];
        DWORD nameLen = 256, domainLen = 256;
        SID_NAME_USE use;
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                             0, 0, &sid));
        EXPECT_TRUE(LookupAccountSidW(nullptr, sid, admins, &nameLen, domain, &domainLen, &use));
        FreeSid(sid);
        EXPLICIT_ACCESS_W entries[2] = {};
        LPWSTR names[2] = {const_cast<LPWSTR>(u"SYSTEM"), admins};
        for (int i = 0; i < 2; ++i) {
            entries[i].grfAccessPermissions = 0x1FFFFF;
            entries[i].grfAccessMode = GRANT_ACCESS;
            entries[i].grfInheritance = SUB_OBJECTS_ONLY_INHERIT;
            entries[i].Trustee.TrusteeForm = TRUSTEE_IS_NAME;
            entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_USER : TRUSTEE_IS_GROUP;
            entries[i].Trustee.ptstrName = names[i];
        }
        EXPECT_EQ(SetEntriesInAclW(2, entries, nullptr, &acl), ERROR_SUCCESS);
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    }
    ~AdminAttributes() { LocalFree(acl); }
};

class TokenTest : public RootTest {
protected:
    // The folder that holds the state root; opened to others for traversal
    // so that an impersonated thread reaches what it is allowed to.
    std::string Top() const { return root_.path().substr(0, root_.path().size() - 5); }
    void OpenTopForTraversal() { ASSERT_EQ(chmod(Top().c_str(), 0711), 0); }
};

}  // namespace

// Only the impersonating thread is refused a 0700 root directory; another
// thread at the same moment is let in, and the first is let in after reverting.
TEST_F(TokenTest, ImpersonationIsPerThread) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    OpenTopForTraversal();
    std::string secret = Top() + "/secret";
    ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
    testsupport::WriteText(secret + "/f", "x");
    ASSERT_EQ(chmod((secret + "/f").c_str(), 0600), 0);

    std::barrier sync(2);
    BOOL impersonated = FALSE, reverted = FALSE;
    int openA = -2, errA = 0, dirErrA = 0, openAfter = -2, openB = -2;
    std::thread a([&] {
        const DWORD groups[] = {kNobody};
        impersonated = PalImpersonateUser(kNobody, kNobody, groups, 1);
        sync.arrive_and_wait();
        openA = open((secret + "/f").c_str(), O_RDONLY | O_CLOEXEC);
        errA = errno;
        DIR* d = opendir(secret.c_str());
        dirErrA = d == nullptr ? errno : 0;
        if (d != nullptr) closedir(d);
        sync.arrive_and_wait();
        reverted = RevertToSelf();
        openAfter = open((secret + "/f").c_str(), O_RDONLY | O_CLOEXEC);
    });
    std::thread b([&] {
        sync.arrive_and_wait();
        openB = open((secret + "/f").c_str(), O_RDONLY | O_CLOEXEC);
        sync.arrive_and_wait();
    });
    a.join();
    b.join();
    for (int fd : {openA, openB, openAfter})
        if (fd >= 0) close(fd);
    ASSERT_TRUE(impersonated);
    EXPECT_EQ(openA, -1);
    EXPECT_EQ(errA, EACCES);
    EXPECT_EQ(dirErrA, EACCES);
    EXPECT_GE(openB, 0) << "the other thread kept the process's identity";
    EXPECT_TRUE(reverted);
    EXPECT_GE(openAfter, 0);
}

// An admin-only key is refused to an ordinary user, opens again after
// RevertToSelf, and opens for a user in the administrators' group.
TEST_F(TokenTest, RegistryChecksFollowImpersonation) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    OpenTopForTraversal();
    AdminAttributes admin;
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Zembrik\\Secret", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, &admin.sa, &created, nullptr),
              ERROR_SUCCESS);
    const DWORD one = 60;
    EXPECT_EQ(RegSetValueExW(created, u"Limit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one)),
              ERROR_SUCCESS);
    RegCloseKey(created);
    struct stat st{};
    ASSERT_EQ(stat((root_.path() + "/registry/HKLM/SOFTWARE/Zembrik/Secret").c_str(), &st), 0);
    ASSERT_EQ(st.st_mode & 0777, 0770u);
    ASSERT_EQ(st.st_gid, pal::AdminGroupId());

    auto openAs = [](HKEY* k) { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Zembrik\\Secret", 0, KEY_READ, k); };
    LONG asUser = -1, afterRevert = -1, asAdmin = -1, queryAsAdmin = -1;
    DWORD readBack = 0;
    OnThread([&] {
        const DWORD plain[] = {kNobody};
        HKEY k = nullptr;
        if (!PalImpersonateUser(kNobody, kNobody, plain, 1)) return;
        asUser = openAs(&k);
        if (k != nullptr) RegCloseKey(k);
        k = nullptr;
        if (!RevertToSelf()) return;
        afterRevert = openAs(&k);
        if (k != nullptr) RegCloseKey(k);
        k = nullptr;
        const DWORD withAdmins[] = {kNobody, pal::AdminGroupId()};
        if (!PalImpersonateUser(kNobody, kNobody, withAdmins, 2)) return;
        asAdmin = openAs(&k);
        DWORD size = sizeof(readBack);
        if (k != nullptr) {
            queryAsAdmin = RegQueryValueExW(k, u"Limit", nullptr, nullptr, reinterpret_cast<BYTE*>(&readBack), &size);
            RegCloseKey(k);
        }
        RevertToSelf();
    });
    EXPECT_EQ(asUser, ERROR_ACCESS_DENIED);
    EXPECT_EQ(afterRevert, ERROR_SUCCESS);
    EXPECT_EQ(asAdmin, ERROR_SUCCESS);
    EXPECT_EQ(queryAsAdmin, ERROR_SUCCESS);
    EXPECT_EQ(readBack, 60u);
}

// /proc shows the filesystem ids and groups of the impersonating thread only,
// and after RevertToSelf exactly the lines it showed before, groups included.
TEST_F(TokenTest, ProcShowsThreadIdentityAndRevertRestoresIt) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    pid_t mainTid = gettid();
    ProcIds mainBefore = ThreadStatus(mainTid);
    ProcIds before, during, after, mainDuring;
    DWORD uid = 0, gid = 0;
    BOOL ok = FALSE;
    pal::UnixSecurity defaults{};
    OnThread([&] {
        // A thread identity that is not the process's, so "exactly" means something.
        const gid_t own[] = {7, 8};
        if (syscall(SYS_setgroups, 2, own) != 0) return;
        pid_t tid = gettid();
        before = ThreadStatus(tid);
        const DWORD groups[] = {4567, 3456};
        ok = PalImpersonateUser(1234, 2345, groups, 2);
        during = ThreadStatus(tid);
        mainDuring = ThreadStatus(mainTid);
        PalGetThreadIdentity(&uid, &gid);
        pal::MapSecurity(nullptr, pal::SecuredObject::Key, true, defaults);
        RevertToSelf();
        after = ThreadStatus(tid);
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(before.groups, (std::vector<std::string>{"7", "8"}));
    EXPECT_EQ(during.uid, (std::vector<std::string>{before.uid[0], before.uid[1], before.uid[2], "1234"}));
    EXPECT_EQ(during.gid, (std::vector<std::string>{before.gid[0], before.gid[1], before.gid[2], "2345"}));
    EXPECT_EQ(during.groups, (std::vector<std::string>{"3456", "4567"}));
    EXPECT_EQ(uid, 1234u);
    EXPECT_EQ(gid, 2345u);
    EXPECT_EQ(defaults.uid, 1234u) << "new objects default to the thread's identity";
    EXPECT_EQ(defaults.gid, 2345u);
    EXPECT_EQ(mainDuring.uid, mainBefore.uid);
    EXPECT_EQ(mainDuring.gid, mainBefore.gid);
    EXPECT_EQ(mainDuring.groups, mainBefore.groups);
    EXPECT_EQ(after.uid, before.uid);
    EXPECT_EQ(after.gid, before.gid);
    EXPECT_EQ(after.groups, before.groups);
}

// A second impersonation replaces the first and RevertToSelf goes back to the
// identity from before both; RevertToSelf without impersonation does nothing.
TEST_F(TokenTest, NestedImpersonationAndIdleRevert) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    DWORD u0 = 9, g0 = 9, u1 = 0, g1 = 0, u2 = 0, g2 = 0, u3 = 9, g3 = 9;
    BOOL first = FALSE, second = FALSE, revert = FALSE, idle = FALSE;
    DWORD idleError = 0;
    std::vector<std::string> groupsBefore, groupsAfter;
    OnThread([&] {
        PalGetThreadIdentity(&u0, &g0);
        groupsBefore = ThreadStatus(gettid()).groups;
        first = PalImpersonateUser(1001, 1002, nullptr, 0);
        PalGetThreadIdentity(&u1, &g1);
        const DWORD g[] = {1005};
        second = PalImpersonateUser(1003, 1004, g, 1);
        PalGetThreadIdentity(&u2, &g2);
        revert = RevertToSelf();
        PalGetThreadIdentity(&u3, &g3);
        groupsAfter = ThreadStatus(gettid()).groups;
        SetLastError(0xdeadbeef);
        idle = RevertToSelf();
        idleError = GetLastError();
    });
    EXPECT_TRUE(first);
    EXPECT_EQ(u1, 1001u);
    EXPECT_EQ(g1, 1002u);
    EXPECT_TRUE(second);
    EXPECT_EQ(u2, 1003u);
    EXPECT_EQ(g2, 1004u);
    EXPECT_TRUE(revert);
    EXPECT_EQ(u3, u0);
    EXPECT_EQ(g3, g0);
    EXPECT_EQ(groupsAfter, groupsBefore);
    EXPECT_TRUE(idle);
    EXPECT_EQ(idleError, 0xdeadbeefu) << "an idle RevertToSelf leaves the last error alone";
}

// Bad arguments are refused before anything changes.
TEST(TokenArgumentsTest, InvalidArgumentsChangeNothing) {
    DWORD u0 = 0, g0 = 0, u1 = 1, g1 = 1;
    ASSERT_TRUE(PalGetThreadIdentity(&u0, &g0));
    const DWORD bad[] = {5, 0xFFFFFFFF};
    struct Case {
        DWORD uid, gid;
        const DWORD* groups;
        DWORD count;
    };
    const Case cases[] = {
        {0xFFFFFFFF, 0, nullptr, 0}, {0, 0xFFFFFFFF, nullptr, 0}, {0, 0, nullptr, 1}, {0, 0, bad, 2},
        {0, 0, bad, 65537},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(PalImpersonateUser(c.uid, c.gid, c.groups, c.count));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    ASSERT_TRUE(PalGetThreadIdentity(&u1, &g1));
    EXPECT_EQ(u1, u0);
    EXPECT_EQ(g1, g0);
    SetLastError(0);
    EXPECT_FALSE(PalGetThreadIdentity(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD only = 7;
    EXPECT_TRUE(PalGetThreadIdentity(&only, nullptr));
    EXPECT_EQ(only, u0);
}

namespace {

// Drops CAP_SETUID from the calling thread's effective set, keeping CAP_SETGID.
bool DropSetuidCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective &= ~(1u << CAP_SETUID);
    return syscall(SYS_capset, &header, data) == 0;
}

// Compares the thread's ids and groups with what it had at the start.
struct Snapshot {
    DWORD uid = 0, gid = 0;
    std::vector<std::string> groups;
    static Snapshot Take() {
        Snapshot s;
        PalGetThreadIdentity(&s.uid, &s.gid);
        s.groups = ThreadStatus(gettid()).groups;
        return s;
    }
    bool operator==(const Snapshot& o) const { return uid == o.uid && gid == o.gid && groups == o.groups; }
};

}  // namespace

// arg "unprivileged": the whole process is nobody; "half": root without CAP_SETUID.
TEST_CHILD_MODE(token_refused) {
    if (arg == "unprivileged") {
        if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 90;
    } else if (!DropSetuidCapability()) {
        return 91;
    }
    Snapshot start = Snapshot::Take();
    const DWORD groups[] = {4242};
    // "half" gets as far as the groups and the gid before the uid is refused.
    SetLastError(0);
    if (PalImpersonateUser(4243, 4244, groups, 1)) return 1;
    if (GetLastError() != ERROR_ACCESS_DENIED) return 2;
    if (!(Snapshot::Take() == start)) return 3;
    if (arg == "unprivileged" && PalImpersonateUser(0, 0, nullptr, 0)) return 4;
    if (!(Snapshot::Take() == start)) return 5;
    if (!RevertToSelf()) return 6;  // nothing to revert
    if (arg == "unprivileged") {
        // Taking on one's own identity needs no privilege.
        std::vector<DWORD> own;
        for (const std::string& g : start.groups) own.push_back(static_cast<DWORD>(std::stoul(g)));
        if (!PalImpersonateUser(start.uid, start.gid, own.data(), static_cast<DWORD>(own.size()))) return 7;
        if (!RevertToSelf()) return 8;
        if (!(Snapshot::Take() == start)) return 9;
    }
    return 0;
}

// When the kernel refuses any part, the call fails with ERROR_ACCESS_DENIED
// and the thread keeps its ids and groups, also when groups were already set.
TEST_F(TokenTest, RefusedImpersonationLeavesThreadUnchanged) {
    for (const char* mode : {"unprivileged", "half"}) {
        if (std::string(mode) == "half" && !testsupport::IsRoot()) continue;
        int pid = testsupport::SpawnChild("token_refused", mode);
        ASSERT_GT(pid, 0);
        int status = testsupport::WaitChild(pid, 30000);
        if (status == -1) testsupport::KillChild(pid);
        ASSERT_TRUE(WIFEXITED(status)) << mode;
        EXPECT_EQ(WEXITSTATUS(status), 0) << mode << ": first failing check number";
    }
}

// As on Windows, a thread created by an impersonating thread runs as the
// process, and RevertToSelf there has nothing to undo.
TEST_F(TokenTest, NewThreadRunsAsTheProcess) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << kNeedsRoot;
    struct Seen {
        DWORD uid = 0;
        DWORD uidAfterRevert = 0;
    } seen;
    OnThread([&] {
        if (!PalImpersonateUser(kNobody, kNobody, nullptr, 0)) return;
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto* s = static_cast<Seen*>(p);
                PalGetThreadIdentity(&s->uid, nullptr);
                RevertToSelf();
                PalGetThreadIdentity(&s->uidAfterRevert, nullptr);
                return 0;
            },
            &seen, 0, nullptr);
        if (t != nullptr) {
            WaitForSingleObject(t, 10000);
            CloseHandle(t);
        }
        RevertToSelf();
    });
    EXPECT_EQ(seen.uid, 0u);
    EXPECT_EQ(seen.uidAfterRevert, 0u);
}
