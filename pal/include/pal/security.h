// Security identifiers, access lists and descriptors, mapped to Unix owner,
// group and mode where objects live in the filesystem.
#pragma once
#include "pal/types.h"

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
using PSID_IDENTIFIER_AUTHORITY = SID_IDENTIFIER_AUTHORITY*;

constexpr BYTE SID_REVISION = 1;
constexpr BYTE SID_MAX_SUB_AUTHORITIES = 15;

struct SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[SID_MAX_SUB_AUTHORITIES];
};
using PSID = void*;

#define SECURITY_NULL_SID_AUTHORITY {{0, 0, 0, 0, 0, 0}}
#define SECURITY_WORLD_SID_AUTHORITY {{0, 0, 0, 0, 0, 1}}
#define SECURITY_NT_AUTHORITY {{0, 0, 0, 0, 0, 5}}
// Unix users and groups: S-1-22-1-<uid> and S-1-22-2-<gid>.
#define SECURITY_UNIX_AUTHORITY {{0, 0, 0, 0, 0, 22}}
constexpr DWORD SECURITY_WORLD_RID = 0;
constexpr DWORD SECURITY_LOCAL_SYSTEM_RID = 18;
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;
constexpr DWORD SECURITY_UNIX_USER_RID = 1;
constexpr DWORD SECURITY_UNIX_GROUP_RID = 2;

// An ACE as the layer keeps it: who, what, how inherited.
struct PAL_ACE {
    BYTE AceType;   // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
    BYTE AceFlags;  // inheritance flags
    ACCESS_MASK Mask;
    SID Sid;
};
constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr BYTE ACCESS_DENIED_ACE_TYPE = 1;

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
    PAL_ACE* Aces;  // Note: entries live in a separate array, freed with the ACL by LocalFree
};
using PACL = ACL*;

using SECURITY_DESCRIPTOR_CONTROL = WORD;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_PRESENT = 0x0004;
constexpr SECURITY_DESCRIPTOR_CONTROL SE_DACL_DEFAULTED = 0x0008;

struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
};
using PSECURITY_DESCRIPTOR = void*;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr size_t SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

enum ACCESS_MODE { NOT_USED_ACCESS = 0, GRANT_ACCESS, SET_ACCESS, DENY_ACCESS, REVOKE_ACCESS };
enum TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME };
enum TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN = 0,
    TRUSTEE_IS_USER,
    TRUSTEE_IS_GROUP,
    TRUSTEE_IS_DOMAIN,
    TRUSTEE_IS_ALIAS,
    TRUSTEE_IS_WELL_KNOWN_GROUP
};
enum MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE = 0 };
enum SID_NAME_USE { SidTypeUser = 1, SidTypeGroup, SidTypeDomain, SidTypeAlias, SidTypeWellKnownGroup };

struct TRUSTEE_W {
    TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;  // a name, or a PSID when TrusteeForm is TRUSTEE_IS_SID
};

struct EXPLICIT_ACCESS_W {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_W Trustee;
};
using PEXPLICIT_ACCESS_W = EXPLICIT_ACCESS_W*;

constexpr DWORD NO_INHERITANCE = 0x0;
constexpr DWORD OBJECT_INHERIT_ACE = 0x1;
constexpr DWORD CONTAINER_INHERIT_ACE = 0x2;
constexpr DWORD NO_PROPAGATE_INHERIT_ACE = 0x4;
constexpr DWORD INHERIT_ONLY_ACE = 0x8;
constexpr DWORD SUB_CONTAINERS_AND_OBJECTS_INHERIT = 0x3;
constexpr DWORD SUB_OBJECTS_ONLY_INHERIT = 0x1;

constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;

constexpr DWORD LMEM_FIXED = 0;
constexpr DWORD LMEM_ZEROINIT = 0x40;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Note: an ACL from SetEntriesInAcl frees its entry array too.
HLOCAL LocalFree(HLOCAL mem);

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                              DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid);
PVOID FreeSid(PSID sid);
BOOL IsValidSid(PSID sid);
BOOL EqualSid(PSID a, PSID b);
DWORD GetLengthSid(PSID sid);
// Note: SYSTEM is uid 0; Administrators (S-1-5-32-544) is the group "zembrik" when
// it exists, else gid 0; Everyone is S-1-1-0; other accounts are S-1-22-1-<uid>
// and S-1-22-2-<gid> named after /etc/passwd and /etc/group. The domain is
// "NT AUTHORITY", "BUILTIN" or the host name.
BOOL LookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameLen, LPWSTR domain, LPDWORD domainLen,
                       SID_NAME_USE* use);
BOOL LookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidLen, LPWSTR domain, LPDWORD domainLen,
                        SID_NAME_USE* use);

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted);
BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner, BOOL defaulted);
BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group, BOOL defaulted);
BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd);
// Note: names are resolved at once (not on use); old ACL entries are kept first.
DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);

namespace pal {
// The kind of object a descriptor is applied to: its own rights decide which
// of an ACE's rights read it and which write it.
enum class SecuredObject { Key, Event, Mapping, Pipe, Job };

// Owner, group and mode for an object made from these attributes. Without a
// descriptor: the caller's identity and the umask default (0755/0644). A null
// DACL: everyone everything (0777/0666). Otherwise each class gets the r and w
// its ACEs allow, read in order with denials, as an access check would: the
// owner with its own SID (SYSTEM for root), its groups and Everyone; the group
// (the first group an ACE grants, else the first one denied, else the
// caller's) with Everyone; other with Everyone alone. A directory adds x
// wherever r or w is given. A creator other than root, when it is the
// owner, keeps reading and writing (its handle needs them). Grants to further
// users and groups are not represented (they get less); a denial the mode
// cannot hold (one user or group within a class that keeps the right, SYSTEM,
// which root is) fails with ERROR_NOT_SUPPORTED. Root passes every mode check
// regardless.
struct UnixSecurity {
    bool explicitMode;  // false: use the defaults
    uint32_t uid;
    uint32_t gid;
    uint32_t mode;      // permission bits
};
DWORD MapSecurity(const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory, UnixSecurity& out);
// The gid that stands for BUILTIN\Administrators here.
uint32_t AdminGroupId();
}  // namespace pal
