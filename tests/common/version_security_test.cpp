// Version texts, the service-information record and the security attributes.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include "common/messages.h"
#include "common/module_version.h"
#include "common/security_attr.h"
#include "common/service_info.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/resource.h"
#include "pal/security.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "support/test_support.h"

namespace {

const PAL_STRING_RESOURCE kStrings[] = {{100, u"Patched"}, {101, u"Debug"}, {102, u"BETA"}};

// Installs a version resource with these flags (and length) for one test.
struct FakeVersion {
    VS_FIXEDFILEINFO info{};
    PAL_MODULE_RESOURCES res{};
    FakeVersion(DWORD flags, DWORD length, DWORD mask = 0x3F) {
        info.dwSignature = VS_FFI_SIGNATURE;
        info.dwFileVersionMS = (1u << 16) | 2u;
        info.dwFileVersionLS = (3u << 16) | 65535u;
        info.dwProductVersionMS = (5u << 16) | 6u;
        info.dwProductVersionLS = (7u << 16) | 8u;
        info.dwFileFlagsMask = mask;
        info.dwFileFlags = flags;
        res = {kStrings, 3, nullptr, 0, &info, length};
        PalSetModuleResources(&res);
    }
    ~FakeVersion() { RegisterProgramResources(); }
};

}  // namespace

TEST(ModuleVersionTest, TextsFromTheVersionResource) {
    FakeVersion fake(0, 52);
    ModuleVersion v(GetModuleHandleW(nullptr));
    EXPECT_EQ(v.valid, 1u);
    EXPECT_EQ(std::u16string(v.fileVersionText), u"1.2.3.65535");
    EXPECT_EQ(std::u16string(v.productVersionText), u"5.6.7.8");
    EXPECT_EQ(std::u16string(v.flagText), u"") << "a release build has no flag words";
}

// Each word is preceded by one space, in the order Patched, Debug, BETA.
TEST(ModuleVersionTest, FlagWordsInTableOrder) {
    FakeVersion fake(VS_FF_DEBUG | VS_FF_PATCHED, 52);
    ModuleVersion v(GetModuleHandleW(nullptr));
    EXPECT_EQ(std::u16string(v.flagText), u" Patched Debug");
    EXPECT_EQ(v.isDebug, 1u);
    EXPECT_EQ(v.isPatched, 1u);
    EXPECT_EQ(v.isPrerelease, 0u);
    FakeVersion all(VS_FF_DEBUG | VS_FF_PATCHED | VS_FF_PRERELEASE | VS_FF_PRIVATEBUILD, 52);
    ModuleVersion w(GetModuleHandleW(nullptr));
    EXPECT_EQ(std::u16string(w.flagText), u" Patched Debug BETA");
    EXPECT_EQ(w.isPrivateBuild, 1u);
    // A flag outside the mask does not count.
    FakeVersion masked(VS_FF_DEBUG, 52, VS_FF_PATCHED);
    ModuleVersion m(GetModuleHandleW(nullptr));
    EXPECT_EQ(std::u16string(m.flagText), u"");
    EXPECT_EQ(m.isDebug, 0u);
}

// A fixed-info length other than 52 gives empty texts and valid 0.
TEST(ModuleVersionTest, WrongFixedInfoLength) {
    FakeVersion fake(VS_FF_DEBUG, 48);
    ModuleVersion v(GetModuleHandleW(nullptr));
    EXPECT_EQ(v.valid, 0u);
    EXPECT_EQ(v.fixedInfoLength, 48u);
    EXPECT_EQ(v.fileVersionText[0], 0);
    EXPECT_EQ(v.flagText[0], 0);
    EXPECT_EQ(v.fixedInfo.dwFileVersionMS, (1u << 16) | 2u) << "the fixed info is still copied";
}

TEST(ModuleVersionTest, NoVersionResource) {
    PAL_MODULE_RESOURCES none{};
    PalSetModuleResources(&none);
    ModuleVersion v(GetModuleHandleW(nullptr));
    EXPECT_EQ(v.valid, 0u);
    EXPECT_EQ(v.fixedInfoLength, 0u);
    RegisterProgramResources();
}

TEST(ModuleVersionTest, ProgramVersionComesFromTheBuild) {
    RegisterProgramResources();
    ModuleVersion v(GetModuleHandleW(nullptr));
    EXPECT_EQ(v.valid, 1u);
    EXPECT_EQ(std::u16string(v.fileVersionText), std::u16string(v.productVersionText));
    EXPECT_EQ(v.fixedInfo.dwSignature, VS_FFI_SIGNATURE);
}

class SecurityAttrTest : public testsupport::RootTest {};

// Admin attributes: SYSTEM and the administrators group only; objects made
// with them belong to root and that group with no access for others.
TEST_F(SecurityAttrTest, AdminAttributesMapToOwnerAndGroupOnly) {
    RegisterProgramResources();
    SECURITY_ATTRIBUTES sa{};
    ASSERT_TRUE(BuildAdminSecAttr(&sa));
    ASSERT_NE(sa.lpSecurityDescriptor, nullptr);
    EXPECT_EQ(sa.nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(sa.bInheritHandle);
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(sa.lpSecurityDescriptor);
    ASSERT_NE(sd->Dacl, nullptr);
    ASSERT_EQ(sd->Dacl->AceCount, 2);
    EXPECT_EQ(sd->Dacl->Aces[0].Mask, 0x1FFFFFu);
    EXPECT_EQ(sd->Dacl->Aces[0].AceFlags, SUB_OBJECTS_ONLY_INHERIT);
    pal::UnixSecurity us = pal::MapSecurity(&sa, true);
    EXPECT_TRUE(us.explicitMode);
    EXPECT_EQ(us.mode, 0770u);
    EXPECT_EQ(us.gid, pal::AdminGroupId());
    EXPECT_EQ(pal::MapSecurity(&sa, false).mode, 0660u);

    HANDLE ev = CreateEventW(&sa, TRUE, FALSE, u"ZbAdminOnly");
    ASSERT_NE(ev, nullptr);
    struct stat st;
    ASSERT_EQ(stat((root_.path() + "/run/objects/ZbAdminOnly/holder").c_str(), &st), 0);
    if (testsupport::IsRoot()) {
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, pal::AdminGroupId());
    } else {
        EXPECT_EQ(st.st_mode & 0077, 0u) << "without the right to give the file away, only the owner has access";
    }
    CloseHandle(ev);
    FreeSecAttr(&sa);
    EXPECT_EQ(sa.lpSecurityDescriptor, nullptr);
    FreeSecAttr(&sa);  // harmless twice
}

TEST_F(SecurityAttrTest, NullDaclAttributesOpenToEveryone) {
    SECURITY_ATTRIBUTES sa{};
    ASSERT_TRUE(BuildNullSecAttr(&sa));
    EXPECT_TRUE(sa.bInheritHandle);
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(sa.lpSecurityDescriptor);
    EXPECT_NE(sd->Control & SE_DACL_PRESENT, 0);
    EXPECT_EQ(sd->Dacl, nullptr);
    EXPECT_EQ(pal::MapSecurity(&sa, true).mode, 0777u);
    FreeSecAttr(&sa);
}

TEST(AccountTest, WellKnownSidsHaveNames) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sys = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &sys));
    WCHAR name[256], domain[256];
    DWORD n = 256, d = 256;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(nullptr, sys, name, &n, domain, &d, &use));
    EXPECT_EQ(std::u16string(name), u"SYSTEM");
    EXPECT_EQ(std::u16string(domain), u"NT AUTHORITY");
    // Too small a buffer gives the needed sizes.
    n = 3;
    d = 256;
    EXPECT_FALSE(LookupAccountSidW(nullptr, sys, name, &n, domain, &d, &use));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(n, 7u);
    FreeSid(sys);

    PSID admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                         0, &admins));
    n = 256;
    d = 256;
    ASSERT_TRUE(LookupAccountSidW(nullptr, admins, name, &n, domain, &d, &use));
    EXPECT_EQ(std::u16string(domain), u"BUILTIN");
    EXPECT_TRUE(pal::ToUtf8(name) == "zembrik" || pal::AdminGroupId() == 0);
    FreeSid(admins);

    SID_IDENTIFIER_AUTHORITY unix = SECURITY_UNIX_AUTHORITY;
    PSID unknown = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&unix, 2, SECURITY_UNIX_USER_RID, 3999999, 0, 0, 0, 0, 0, 0, &unknown));
    n = 256;
    d = 256;
    EXPECT_FALSE(LookupAccountSidW(nullptr, unknown, name, &n, domain, &d, &use));
    EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
    FreeSid(unknown);
}

TEST(AccountTest, SetEntriesInAclRefusesUnknownNames) {
    EXPLICIT_ACCESS_W e{};
    e.grfAccessPermissions = GENERIC_ALL;
    e.grfAccessMode = GRANT_ACCESS;
    e.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    e.Trustee.ptstrName = const_cast<LPWSTR>(u"no-such-account-zb");
    PACL acl = nullptr;
    EXPECT_EQ(SetEntriesInAclW(1, &e, nullptr, &acl), ERROR_NONE_MAPPED);
    // "root" is a user and a group: the trustee type decides.
    e.Trustee.ptstrName = const_cast<LPWSTR>(u"root");
    e.Trustee.TrusteeType = TRUSTEE_IS_USER;
    ASSERT_EQ(SetEntriesInAclW(1, &e, nullptr, &acl), ERROR_SUCCESS);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(acl->Aces[0].Sid.IdentifierAuthority.Value[5], 22);
    EXPECT_EQ(LocalFree(acl), nullptr);
}

TEST(ServiceInfoTest, LayoutIsTheWireFormat) {
    ServiceInfo info;
    memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(sizeof(info), 552u);
    EXPECT_EQ(reinterpret_cast<BYTE*>(&info.systemAffinity) - reinterpret_cast<BYTE*>(&info), 480);
}
