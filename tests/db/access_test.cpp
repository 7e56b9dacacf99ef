// The rights guarded by the access-control keys, checked under the calling
// thread's identity as a client session's impersonation makes it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

#include "common/security_attr.h"
#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/registry.h"
#include "pal/security.h"
#include "pal/token.h"
#include "wire/result_codes.h"
#include "tests/db/db_test_support.h"

using namespace dbtest;

namespace {

// Creates the five keys with the administrators-only attributes, as
// installation does.
void InstallAccessKeys() {
    SECURITY_ATTRIBUTES sa{};
    ASSERT_TRUE(BuildAdminSecAttr(&sa));
    for (const WCHAR* k : kAccessKeys) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParamPath(k).c_str(), 0, nullptr, 0, KEY_WRITE, &sa, &h, nullptr),
                  0);
        RegCloseKey(h);
    }
    FreeSecAttr(&sa);
}

// Runs fn on a thread of its own that impersonates uid/gid (and groups).
template <typename F>
void AsUser(DWORD uid, DWORD gid, std::vector<DWORD> groups, F fn) {
    std::thread t([&] {
        ASSERT_TRUE(PalImpersonateUser(uid, gid, groups.data(), static_cast<DWORD>(groups.size())));
        fn();
        RevertToSelf();
    });
    t.join();
}

class AccessTest : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        if (!testsupport::IsRoot()) GTEST_SKIP() << "identity switches need root";
        // The temporary folder is private; a state root is open to all, as
        // /var/lib/zembrik is.
        std::string parent = root_.path().substr(0, root_.path().rfind('/'));
        ASSERT_EQ(chmod(parent.c_str(), 0755), 0);
    }
};

}  // namespace

// After installation root holds every right and an ordinary user none; a
// member of the administrators group holds them too.
TEST_F(AccessTest, OrdinaryUserIsRefusedAdministratorsAdmitted) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    InstallAccessKeys();
    for (const WCHAR* k : kAccessKeys) EXPECT_EQ(db.CheckAccess(k), 0u);
    AsUser(65534, 65534, {}, [&] {
        for (const WCHAR* k : kAccessKeys) {
            SetLastError(0);
            EXPECT_EQ(db.CheckAccess(k), static_cast<DWORD>(ERROR_ACCESS_DENIED));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
        // The right is checked before the value.
        EXPECT_EQ(db.SetPollSeconds(5000), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    AsUser(65534, 65534, {pal::AdminGroupId()}, [&] {
        EXPECT_EQ(db.CheckAccess(kAccessKillGroup), 0u);
    });
    EXPECT_EQ(db.PollMilliseconds(), 60000u);
}

// A realtime rule needs its right; other priorities need none.
TEST_F(AccessTest, RealtimePriorityNeedsItsRight) {
    ZembrikDb db;
    ASSERT_EQ(db.LoadRules(7), 0u);
    InstallAccessKeys();
    // Let the ordinary user write rules (the rule keys are the administrators');
    // the access-control keys stay as installed.
    std::string services = root_.path() + "/registry/HKLM/SYSTEM/CurrentControlSet/Services";
    for (const char* dir : {"", "/Zembrik", "/Zembrik/Parameters", "/Zembrik/Parameters/ProcessRules",
                            "/Zembrik/Parameters/GroupRules"})
        ASSERT_EQ(chmod((services + dir).c_str(), 0777), 0);
    AsUser(65534, 65534, {}, [&] {
        EXPECT_EQ(db.AddProcRule(MakeProc(u"Plain", ApplyPriority, 13).get()), 0u);
        EXPECT_EQ(db.AddProcRule(MakeProc(u"Urgent", ApplyPriority, 24).get()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    });
    EXPECT_EQ(db.AddGroupRule(MakeJob(u"Hot", ApplyPriority, 0).get()), 0u);
    JobBuffer hot = MakeJob(u"Hot", ApplyPriority, 0);
    hot->summary.mgmt.priority = 16;
    EXPECT_EQ(db.ReplaceGroupRule(hot.get(), db.GroupStamp()), 0u) << "root holds the right";
    // Withdrawing the right by removing the key applies to the next request.
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, ParamPath(kAccessSetRealTime).c_str()), 0);
    EXPECT_EQ(db.ReplaceGroupRule(hot.get(), db.GroupStamp()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}
