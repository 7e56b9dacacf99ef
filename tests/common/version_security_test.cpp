// Version texts, the service-information record and the security attributes.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/module_version.h"
#include "common/security_attr.h"
#include "wire/service_info.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/mapping.h"
#include "pal/registry.h"
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
    pal::UnixSecurity us{};
    ASSERT_EQ(pal::MapSecurity(&sa, pal::SecuredObject::Key, true, us), ERROR_SUCCESS);
    EXPECT_TRUE(us.explicitMode);
    EXPECT_EQ(us.mode, 0770u);
    EXPECT_EQ(us.gid, pal::AdminGroupId());
    ASSERT_EQ(pal::MapSecurity(&sa, pal::SecuredObject::Event, false, us), ERROR_SUCCESS);
    EXPECT_EQ(us.mode, 0660u);

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
    pal::UnixSecurity us{};
    ASSERT_EQ(pal::MapSecurity(&sa, pal::SecuredObject::Key, true, us), ERROR_SUCCESS);
    EXPECT_EQ(us.mode, 0755u) << "everyone may use it; only its owner may make entries in it";
    ASSERT_EQ(pal::MapSecurity(&sa, pal::SecuredObject::Pipe, false, us), ERROR_SUCCESS);
    EXPECT_EQ(us.mode, 0666u);
    FreeSecAttr(&sa);
}

namespace {

SID MakeSid(BYTE authority, std::initializer_list<DWORD> subs) {
    SID s{};
    s.Revision = SID_REVISION;
    s.IdentifierAuthority.Value[5] = authority;
    for (DWORD v : subs) s.SubAuthority[s.SubAuthorityCount++] = v;
    return s;
}

SID kSystem = MakeSid(5, {SECURITY_LOCAL_SYSTEM_RID});
SID kEveryone = MakeSid(1, {SECURITY_WORLD_RID});
SID kNobody = MakeSid(22, {SECURITY_UNIX_USER_RID, 65534});
SID kNogroup = MakeSid(22, {SECURITY_UNIX_GROUP_RID, 65534});
SID kRootGroup = MakeSid(22, {SECURITY_UNIX_GROUP_RID, 0});

struct Ace {
    ACCESS_MODE mode;
    SID* sid;
    ACCESS_MASK mask;
};

// Attributes whose DACL is made from these entries, as callers make theirs.
struct DaclAttributes {
    SECURITY_DESCRIPTOR sd{};
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), &sd, FALSE};
    PACL acl = nullptr;
    DaclAttributes(std::initializer_list<Ace> aces, SID* owner = nullptr) {
        std::vector<EXPLICIT_ACCESS_W> entries;
        for (const Ace& a : aces) {
            EXPLICIT_ACCESS_W e{};
            e.grfAccessPermissions = a.mask;
            e.grfAccessMode = a.mode;
            e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
            e.Trustee.ptstrName = reinterpret_cast<LPWSTR>(a.sid);
            entries.push_back(e);
        }
        EXPECT_EQ(SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &acl), ERROR_SUCCESS);
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
        if (owner != nullptr) {
            EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, owner, FALSE));
        }
    }
    ~DaclAttributes() { LocalFree(acl); }
};

// Creates the key HKLM\<name> with the attributes; the error, and the
// directory's mode, uid and gid when made.
LONG MakeKey(const std::string& root, const std::u16string& name, DaclAttributes& attrs, struct stat& st) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_READ, &attrs.sa, &key, nullptr);
    if (key != nullptr) RegCloseKey(key);
    std::string dir = root + "/registry/HKLM/" + pal::ToUtf8(name.c_str());
    if (stat(dir.c_str(), &st) != 0) st = {};
    return rc;
}

}  // namespace

// An ACE gives the class it names the bits its mask allows, read in order
// with denials; a denial the mode cannot hold refuses the object.
TEST_F(SecurityAttrTest, DaclMasksAndDenialsBecomeModes) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "giving objects to other owners and groups needs root";
    struct stat st;
    {   // A read-only grant stays read-only, for the group as well (its members are Everyone).
        DaclAttributes a({{GRANT_ACCESS, &kSystem, KEY_ALL_ACCESS}, {GRANT_ACCESS, &kEveryone, KEY_READ}});
        ASSERT_EQ(MakeKey(root_.path(), u"ReadOnly", a, st), ERROR_SUCCESS);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(st.st_uid, 0u);
    }
    {   // A group given writing only; the owner, named by no ACE, gets nothing.
        DaclAttributes a({{GRANT_ACCESS, &kNogroup, KEY_WRITE}});
        ASSERT_EQ(MakeKey(root_.path(), u"WriteOnly", a, st), ERROR_SUCCESS);
        EXPECT_EQ(st.st_mode & 07777, 0030u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    {   // A denial to Everyone takes the bits from every class, the owner's too.
        DaclAttributes a({{GRANT_ACCESS, &kEveryone, GENERIC_ALL}, {DENY_ACCESS, &kEveryone, KEY_SET_VALUE}});
        ASSERT_EQ(MakeKey(root_.path(), u"NoWriting", a, st), ERROR_SUCCESS);
        EXPECT_EQ(st.st_mode & 07777, 0555u);
    }
    {   // Denying the owner what the group keeps: the owner's class holds it.
        DaclAttributes a({{DENY_ACCESS, &kNobody, KEY_SET_VALUE},
                          {GRANT_ACCESS, &kRootGroup, KEY_ALL_ACCESS},
                          {GRANT_ACCESS, &kEveryone, KEY_READ}},
                         &kNobody);
        ASSERT_EQ(MakeKey(root_.path(), u"OwnerDenied", a, st), ERROR_SUCCESS);
        EXPECT_EQ(st.st_mode & 07777, 0575u);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 0u);
    }
    {   // Denying one user what the others keep cannot be a mode: refused, nothing made.
        DaclAttributes a({{GRANT_ACCESS, &kEveryone, KEY_READ}, {DENY_ACCESS, &kNobody, KEY_QUERY_VALUE}});
        EXPECT_EQ(MakeKey(root_.path(), u"OneDenied", a, st), ERROR_NOT_SUPPORTED);
        EXPECT_EQ(st.st_nlink, 0u) << "no key left behind";
        // The same user denied what no one gets is no loss.
        DaclAttributes b({{GRANT_ACCESS, &kEveryone, KEY_READ}, {DENY_ACCESS, &kNobody, KEY_SET_VALUE}});
        ASSERT_EQ(MakeKey(root_.path(), u"OneDeniedNothing", b, st), ERROR_SUCCESS);
        EXPECT_EQ(st.st_mode & 07777, 0555u);
    }
    {   // Root passes every mode check, so a denial to SYSTEM cannot hold.
        DaclAttributes a({{GRANT_ACCESS, &kEveryone, KEY_READ}, {DENY_ACCESS, &kSystem, KEY_READ}});
        EXPECT_EQ(MakeKey(root_.path(), u"SystemDenied", a, st), ERROR_NOT_SUPPORTED);
    }
    {   // Events: waiting reads, setting writes; a denied group becomes the group class.
        DaclAttributes a({{GRANT_ACCESS, &kSystem, EVENT_ALL_ACCESS}, {GRANT_ACCESS, &kEveryone, SYNCHRONIZE}});
        HANDLE ev = CreateEventW(&a.sa, TRUE, FALSE, u"ZbWaitOnly");
        ASSERT_NE(ev, nullptr);
        std::string dir = root_.path() + "/run/objects/ZbWaitOnly";
        for (const char* f : {"/holder", "/signal"}) {
            ASSERT_EQ(stat((dir + f).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0644u) << f;
        }
        ASSERT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        CloseHandle(ev);
        DaclAttributes b({{GRANT_ACCESS, &kEveryone, EVENT_ALL_ACCESS}, {DENY_ACCESS, &kNogroup, EVENT_MODIFY_STATE}});
        ev = CreateEventW(&b.sa, TRUE, FALSE, u"ZbNoSetting");
        ASSERT_NE(ev, nullptr);
        ASSERT_EQ(stat((root_.path() + "/run/objects/ZbNoSetting/signal").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0646u);
        EXPECT_EQ(st.st_gid, 65534u);
        CloseHandle(ev);
    }
    {   // Mappings: a read-only view right gives reading only.
        DaclAttributes a({{GRANT_ACCESS, &kSystem, FILE_MAP_ALL_ACCESS}, {GRANT_ACCESS, &kEveryone, FILE_MAP_READ}});
        HANDLE m = CreateFileMappingW(INVALID_HANDLE_VALUE, &a.sa, PAGE_READWRITE, 0, 4096, u"ZbReadMap");
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(stat((root_.path() + "/run/shm/ZbReadMap/memory").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        CloseHandle(m);
    }
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

// A denial goes first; REVOKE_ACCESS takes the trustee's grants only, and
// SET_ACCESS replaces everything it had.
TEST(AccountTest, SetEntriesInAclKeepsDenialsOnRevoke) {
    EXPLICIT_ACCESS_W e[2] = {};
    for (auto& x : e) {
        x.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        x.Trustee.ptstrName = reinterpret_cast<LPWSTR>(&kEveryone);
        x.grfAccessPermissions = GENERIC_READ;
    }
    e[0].grfAccessMode = GRANT_ACCESS;
    e[1].grfAccessMode = DENY_ACCESS;
    PACL both = nullptr, revoked = nullptr, set = nullptr;
    ASSERT_EQ(SetEntriesInAclW(2, e, nullptr, &both), ERROR_SUCCESS);
    ASSERT_EQ(both->AceCount, 2);
    EXPECT_EQ(both->Aces[0].AceType, ACCESS_DENIED_ACE_TYPE);
    e[0].grfAccessMode = REVOKE_ACCESS;
    ASSERT_EQ(SetEntriesInAclW(1, e, both, &revoked), ERROR_SUCCESS);
    ASSERT_EQ(revoked->AceCount, 1);
    EXPECT_EQ(revoked->Aces[0].AceType, ACCESS_DENIED_ACE_TYPE);
    e[0].grfAccessMode = SET_ACCESS;
    ASSERT_EQ(SetEntriesInAclW(1, e, both, &set), ERROR_SUCCESS);
    ASSERT_EQ(set->AceCount, 1);
    EXPECT_EQ(set->Aces[0].AceType, ACCESS_ALLOWED_ACE_TYPE);
    LocalFree(both);
    LocalFree(revoked);
    LocalFree(set);
}

TEST(ServiceInfoTest, LayoutIsTheWireFormat) {
    ServiceInfo info;
    memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(sizeof(info), 552u);
    EXPECT_EQ(reinterpret_cast<BYTE*>(&info.systemAffinity) - reinterpret_cast<BYTE*>(&info), 480);
}
