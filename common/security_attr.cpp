#include "common/security_attr.h"

#include <new>

#include "common/event_log.h"
#include "pal/error.h"

namespace {

// Allocates the descriptor; logs and returns null when memory runs out.
SECURITY_DESCRIPTOR* AllocDescriptor(SECURITY_ATTRIBUTES* sa, BOOL inherit) {
    sa->nLength = sizeof(SECURITY_ATTRIBUTES);
    sa->bInheritHandle = inherit;
    sa->lpSecurityDescriptor = nullptr;
    auto* sd = new (std::nothrow) SECURITY_DESCRIPTOR;
    if (sd == nullptr) LogAllocError(u"AllocSecurityDesc", SECURITY_DESCRIPTOR_MIN_LENGTH);
    return sd;
}

}  // namespace

namespace {

// Full access for SYSTEM and, with `admins`, the local Administrators group;
// `label` names the failing step's operand.
BOOL BuildGrantingSecAttr(SECURITY_ATTRIBUTES* sa, bool admins, LPCWSTR label) {
    SECURITY_DESCRIPTOR* sd = AllocDescriptor(sa, FALSE);
    if (sd == nullptr) return FALSE;
    PACL acl = nullptr;
    bool ok = false;
    do {
        if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION)) {
            LogApiError(label, u"InitializeSecurityDescriptor");
            break;
        }
        WCHAR groupName[256];
        if (admins) {
            SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
            PSID adminSid = nullptr;
            if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                          0, &adminSid)) {
                LogApiError(label, u"AllocateAdminSid");
                break;
            }
            WCHAR domain[256];
            DWORD nameLen = 256;
            DWORD domainLen = 256;
            SID_NAME_USE use;
            BOOL looked = LookupAccountSidW(nullptr, adminSid, groupName, &nameLen, domain, &domainLen, &use);
            DWORD lookupError = GetLastError();
            FreeSid(adminSid);
            if (!looked) {
                SetLastError(lookupError);
                LogApiError(label, u"LookupAdminSid");
                break;
            }
        }
        EXPLICIT_ACCESS_W entries[2] = {};
        LPWSTR names[2] = {const_cast<LPWSTR>(u"SYSTEM"), groupName};
        ULONG count = admins ? 2 : 1;
        for (ULONG i = 0; i < count; ++i) {
            entries[i].grfAccessPermissions = 0x1FFFFF;
            entries[i].grfAccessMode = GRANT_ACCESS;
            entries[i].grfInheritance = SUB_OBJECTS_ONLY_INHERIT;
            entries[i].Trustee.TrusteeForm = TRUSTEE_IS_NAME;
            entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_USER : TRUSTEE_IS_GROUP;
            entries[i].Trustee.ptstrName = names[i];
        }
        DWORD rc = SetEntriesInAclW(count, entries, nullptr, &acl);
        if (rc != ERROR_SUCCESS) {
            SetLastError(rc);
            LogApiError(label, u"SetEntriesInAcl");
            break;
        }
        if (!SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE)) {
            LogApiError(label, u"SetSecurityDescriptorDacl");
            break;
        }
        ok = true;
    } while (false);
    if (!ok) {
        if (acl != nullptr) LocalFree(acl);
        delete sd;
        return FALSE;
    }
    sa->lpSecurityDescriptor = sd;
    return TRUE;
}

}  // namespace

BOOL BuildAdminSecAttr(SECURITY_ATTRIBUTES* sa) { return BuildGrantingSecAttr(sa, true, u"AdminAttr"); }

BOOL BuildServiceSecAttr(SECURITY_ATTRIBUTES* sa) { return BuildGrantingSecAttr(sa, false, u"ServiceAttr"); }

BOOL BuildNullSecAttr(SECURITY_ATTRIBUTES* sa) {
    SECURITY_DESCRIPTOR* sd = AllocDescriptor(sa, TRUE);
    if (sd == nullptr) return FALSE;
    if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION)) {
        LogApiError(u"NullAttr", u"InitializeSecurityDescriptor");
        delete sd;
        return FALSE;
    }
    if (!SetSecurityDescriptorDacl(sd, TRUE, nullptr, FALSE)) {
        LogApiError(u"NullAttr", u"SetSecurityDescriptorDacl");
        delete sd;
        return FALSE;
    }
    sa->lpSecurityDescriptor = sd;
    return TRUE;
}

void FreeSecAttr(SECURITY_ATTRIBUTES* sa) {
    if (sa == nullptr || sa->lpSecurityDescriptor == nullptr) return;
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor);
    if (sd->Dacl != nullptr) LocalFree(sd->Dacl);
    delete sd;
    sa->lpSecurityDescriptor = nullptr;
}
