// SIDs, ACLs and security descriptors, and their mapping to Unix identities.
// Known gaps: a DACL maps to owner/group/other permission bits, so grants to
// further individual users and groups are not represented, and denials only
// where a whole class loses the right; root passes every mode check.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <algorithm>

#include "internal/sys.h"
#include "pal/error.h"
#include "pal/job.h"
#include "pal/mapping.h"
#include "pal/registry.h"
#include "pal/security.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace pal {
namespace {

constexpr uint32_t kLocalMagic = 0x5A4C4D45;  // "ZLME"

struct LocalHeader {
    uint32_t magic;
    uint32_t pad;
    size_t size;
};

SID MakeSid(BYTE auth, std::initializer_list<DWORD> subs) {
    SID s{};
    s.Revision = SID_REVISION;
    s.IdentifierAuthority.Value[5] = auth;
    for (DWORD v : subs) s.SubAuthority[s.SubAuthorityCount++] = v;
    return s;
}

bool SidIs(const SID* s, BYTE auth, std::initializer_list<DWORD> subs) {
    SID o = MakeSid(auth, subs);
    return EqualSid(const_cast<SID*>(s), &o) != FALSE;
}

uint32_t ThreadFsUid() { return static_cast<uint32_t>(syscall(SYS_setfsuid, -1)); }
uint32_t ThreadFsGid() { return static_cast<uint32_t>(syscall(SYS_setfsgid, -1)); }

bool UserName(uint32_t uid, std::string& out) {
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof(buf), &res) != 0 || res == nullptr) return false;
    out = pw.pw_name;
    return true;
}

bool GroupName(uint32_t gid, std::string& out) {
    struct group gr, *res = nullptr;
    std::vector<char> buf(16384);
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &res) != 0 || res == nullptr) return false;
    out = gr.gr_name;
    return true;
}

bool FindUser(const std::string& name, uint32_t& uid) {
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (getpwnam_r(name.c_str(), &pw, buf, sizeof(buf), &res) != 0 || res == nullptr) return false;
    uid = pw.pw_uid;
    return true;
}

bool FindGroup(const std::string& name, uint32_t& gid) {
    struct group gr, *res = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &res) != 0 || res == nullptr) return false;
    gid = gr.gr_gid;
    return true;
}

std::string HostName() {
    char buf[256] = {};
    gethostname(buf, sizeof(buf) - 1);
    for (char* p = buf; *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    return buf;
}

DWORD CopyOut(const std::string& s, LPWSTR dst, LPDWORD len) {
    std::u16string w = ToUtf16(s);
    if (dst == nullptr || *len < w.size() + 1) {
        *len = static_cast<DWORD>(w.size() + 1);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    for (size_t i = 0; i < w.size(); ++i) dst[i] = w[i];
    dst[w.size()] = 0;
    *len = static_cast<DWORD>(w.size());
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t AdminGroupId() {
    uint32_t gid = 0;
    return FindGroup("zembrik", gid) ? gid : 0;
}

// Account name for a SID, or false when it maps to none.
static bool SidToName(const SID* s, std::string& name, std::string& domain, SID_NAME_USE& use) {
    if (SidIs(s, 5, {SECURITY_LOCAL_SYSTEM_RID})) {
        name = "SYSTEM"; domain = "NT AUTHORITY"; use = SidTypeWellKnownGroup;
        return true;
    }
    if (SidIs(s, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS})) {
        if (!GroupName(AdminGroupId(), name)) return false;
        domain = "BUILTIN"; use = SidTypeAlias;
        return true;
    }
    if (SidIs(s, 1, {SECURITY_WORLD_RID})) {
        name = "Everyone"; domain = ""; use = SidTypeWellKnownGroup;
        return true;
    }
    if (s->IdentifierAuthority.Value[5] == 22 && s->SubAuthorityCount == 2) {
        domain = HostName();
        if (s->SubAuthority[0] == SECURITY_UNIX_USER_RID && UserName(s->SubAuthority[1], name)) {
            use = SidTypeUser;
            return true;
        }
        if (s->SubAuthority[0] == SECURITY_UNIX_GROUP_RID && GroupName(s->SubAuthority[1], name)) {
            use = SidTypeGroup;
            return true;
        }
    }
    return false;
}

// A name that is both a user and a group (such as "root") is taken as the
// kind the trustee type asks for.
static bool NameToSid(std::string name, SID& sid, bool preferGroup = true) {
    size_t bs = name.find('\\');
    if (bs != std::string::npos) name = name.substr(bs + 1);
    uint32_t id = 0;
    if (name == "SYSTEM") { sid = MakeSid(5, {SECURITY_LOCAL_SYSTEM_RID}); return true; }
    if (name == "Everyone") { sid = MakeSid(1, {SECURITY_WORLD_RID}); return true; }
    if (name == "Administrators") { sid = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}); return true; }
    if (!preferGroup && FindUser(name, id)) { sid = MakeSid(22, {SECURITY_UNIX_USER_RID, id}); return true; }
    std::string admin;
    if (GroupName(AdminGroupId(), admin) && name == admin) {
        sid = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
        return true;
    }
    if (FindUser(name, id)) { sid = MakeSid(22, {SECURITY_UNIX_USER_RID, id}); return true; }
    if (FindGroup(name, id)) { sid = MakeSid(22, {SECURITY_UNIX_GROUP_RID, id}); return true; }
    return false;
}

namespace {

// Whom an ACE names, as the mode sees it. SIDs of no account here match no one.
struct Trustee {
    enum Kind { kNoOne, kUser, kGroup, kWorld } kind;
    uint32_t id;
};

Trustee TrusteeOf(const SID* s) {
    if (SidIs(s, 5, {SECURITY_LOCAL_SYSTEM_RID})) return {Trustee::kUser, 0};
    if (SidIs(s, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS})) return {Trustee::kGroup, AdminGroupId()};
    if (SidIs(s, 1, {SECURITY_WORLD_RID})) return {Trustee::kWorld, 0};
    if (s->IdentifierAuthority.Value[5] == 22 && s->SubAuthorityCount == 2) {
        if (s->SubAuthority[0] == SECURITY_UNIX_USER_RID) return {Trustee::kUser, s->SubAuthority[1]};
        if (s->SubAuthority[0] == SECURITY_UNIX_GROUP_RID) return {Trustee::kGroup, s->SubAuthority[1]};
    }
    return {Trustee::kNoOne, 0};
}

constexpr uint32_t kR = 4;
constexpr uint32_t kW = 2;

// Rights of files and pipes, and of events, the layer has no names for.
constexpr ACCESS_MASK kFileReadData = 0x0001;
constexpr ACCESS_MASK kFileWriteData = 0x0002;
constexpr ACCESS_MASK kFileAppendData = 0x0004;
constexpr ACCESS_MASK kEventQueryState = 0x0001;

// The specific and standard rights that read and that write each kind of
// object, and what its GENERIC_EXECUTE amounts to. Rights about the
// descriptor itself (READ_CONTROL, WRITE_DAC, ...) give no bits.
struct ObjectRights {
    ACCESS_MASK read;
    ACCESS_MASK write;
    uint32_t execute;
};

ObjectRights RightsOf(SecuredObject object) {
    switch (object) {
    case SecuredObject::Key:  // KEY_EXECUTE is KEY_READ
        return {KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY, KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK,
                kR};
    case SecuredObject::Event:  // waiting reads the signal
        return {SYNCHRONIZE | kEventQueryState, EVENT_MODIFY_STATE, kR};
    case SecuredObject::Mapping:  // views are never executable here
        return {FILE_MAP_READ | FILE_MAP_COPY, FILE_MAP_WRITE, 0};
    case SecuredObject::Pipe:
        return {kFileReadData, kFileWriteData | kFileAppendData, 0};
    case SecuredObject::Job:
        return {JOB_OBJECT_QUERY | SYNCHRONIZE,
                JOB_OBJECT_ASSIGN_PROCESS | JOB_OBJECT_SET_ATTRIBUTES | JOB_OBJECT_TERMINATE |
                    JOB_OBJECT_SET_SECURITY_ATTRIBUTES,
                kR};
    }
    return {0, 0, 0};
}

// The r and w bits an access mask gives on this kind of object.
uint32_t ModeBits(ACCESS_MASK mask, const ObjectRights& rights) {
    uint32_t bits = 0;
    if ((mask & (GENERIC_ALL | GENERIC_READ | rights.read)) != 0) bits |= kR;
    if ((mask & (GENERIC_ALL | GENERIC_WRITE | rights.write)) != 0) bits |= kW;
    if ((mask & GENERIC_EXECUTE) != 0) bits |= rights.execute;
    return bits;
}

// The identities a principal holds: its uid (if a user) and its groups.
struct Holder {
    bool isUser;
    uint32_t uid;
    std::vector<uint32_t> groups;
    bool Holds(const Trustee& t) const {
        if (t.kind == Trustee::kWorld) return true;
        if (t.kind == Trustee::kUser) return isUser && t.id == uid;
        if (t.kind == Trustee::kGroup) return std::find(groups.begin(), groups.end(), t.id) != groups.end();
        return false;
    }
};

// A user's primary and supplementary groups; none when the user is unknown.
std::vector<uint32_t> GroupsOf(uint32_t uid) {
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof(buf), &res) != 0 || res == nullptr) return {};
    std::vector<gid_t> list(32);
    int n = static_cast<int>(list.size());
    while (getgrouplist(pw.pw_name, pw.pw_gid, list.data(), &n) < 0) {
        if (n <= static_cast<int>(list.size())) n = static_cast<int>(list.size()) * 2;
        list.resize(static_cast<size_t>(n));
    }
    return std::vector<uint32_t>(list.begin(), list.begin() + n);
}

// A DACL read as an access check reads it: ACEs in order, the first one to
// speak of a bit decides it. Inherit-only ACEs do not apply to the object.
class DaclReader {
public:
    struct Entry {
        Trustee who;
        uint32_t bits;  // 0 for an entry that does not apply
        bool allows;
    };
    DaclReader(const ACL& acl, SecuredObject object) {
        ObjectRights rights = RightsOf(object);
        for (WORD i = 0; i < acl.AceCount; ++i) {
            const PAL_ACE& ace = acl.Aces[i];
            bool applies = (ace.AceFlags & INHERIT_ONLY_ACE) == 0 &&
                           (ace.AceType == ACCESS_ALLOWED_ACE_TYPE || ace.AceType == ACCESS_DENIED_ACE_TYPE);
            entries_.push_back({TrusteeOf(&ace.Sid), applies ? ModeBits(ace.Mask, rights) : 0u,
                                ace.AceType == ACCESS_ALLOWED_ACE_TYPE});
        }
    }
    const std::vector<Entry>& Entries() const { return entries_; }
    // The bits the holder gets.
    uint32_t Effective(const Holder& h) const {
        uint32_t allowed = 0, decided = 0;
        for (const Entry& e : entries_) {
            if (e.bits == 0 || !h.Holds(e.who)) continue;
            if (e.allows) allowed |= e.bits & ~decided;
            decided |= e.bits;
        }
        return allowed;
    }

private:
    std::vector<Entry> entries_;
};

// The group class: the first group granted something, else the first denied.
void ChooseGroup(const DaclReader& dacl, uint32_t& gid) {
    for (bool allows : {true, false}) {
        for (const DaclReader::Entry& e : dacl.Entries()) {
            if (e.allows == allows && e.bits != 0 && e.who.kind == Trustee::kGroup) {
                gid = e.who.id;
                return;
            }
        }
    }
}

// The owner, group and other bits (r and w) of a DACL. The owner's and the
// whole classes' bits are exact; a denial aimed at part of a class holds only
// if that class is not given the denied bits anyway. A creator other than
// root keeps reading and writing as owner: Windows gives the creator's handle
// what it asks for, whatever the DACL says, and here that handle works
// through the owner bits.
DWORD DaclMode(const ACL& acl, SecuredObject object, uint32_t uid, uint32_t& gid, uint32_t& mode) {
    DaclReader dacl(acl, object);
    ChooseGroup(dacl, gid);
    uint32_t creator = ThreadFsUid();
    uint32_t owner = uid == creator && creator != 0 ? kR | kW : dacl.Effective({true, uid, GroupsOf(uid)});
    uint32_t group = dacl.Effective({false, 0, {gid}});
    uint32_t other = dacl.Effective({false, 0, {}});
    for (const DaclReader::Entry& e : dacl.Entries()) {
        if (e.allows || e.bits == 0) continue;
        bool holds = true;
        if (e.who.kind == Trustee::kUser && e.who.id == 0) {
            // Root passes every mode check: a denial naming it cannot hold.
            holds = dacl.Effective({true, 0, GroupsOf(0)}) == (kR | kW);
        } else if (e.who.kind == Trustee::kUser && e.who.id != uid) {
            std::vector<uint32_t> groups = GroupsOf(e.who.id);
            bool inGroup = std::find(groups.begin(), groups.end(), gid) != groups.end();
            uint32_t given = inGroup ? group : other;
            holds = (given & ~dacl.Effective({true, e.who.id, groups})) == 0;
        } else if (e.who.kind == Trustee::kGroup && e.who.id != gid) {
            // Its members may be in the group class or among the others.
            holds = (other & ~dacl.Effective({false, 0, {e.who.id}})) == 0 &&
                    (group & ~dacl.Effective({false, 0, {e.who.id, gid}})) == 0;
        }
        // ERROR_NOT_SUPPORTED rather than ERROR_INVALID_SECURITY_DESCR: the
        // descriptor is sound, the mode just cannot hold it.
        if (!holds) return ERROR_NOT_SUPPORTED;
    }
    mode = owner << 6 | group << 3 | other;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD MapSecurity(const SECURITY_ATTRIBUTES* sa, SecuredObject object, bool directory, UnixSecurity& us) {
    us = {false, ThreadFsUid(), ThreadFsGid(), directory ? 0755u : 0644u};
    if (sa == nullptr || sa->lpSecurityDescriptor == nullptr) return ERROR_SUCCESS;
    auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor);
    if ((sd->Control & SE_DACL_PRESENT) == 0) return ERROR_SUCCESS;
    us.explicitMode = true;
    if (sd->Owner != nullptr) {
        Trustee o = TrusteeOf(static_cast<const SID*>(sd->Owner));
        if (o.kind == Trustee::kUser) us.uid = o.id;
    }
    if (sd->Dacl == nullptr) {
        // No restriction among those who may reach the object. A directory
        // stays the owner's to make entries in: a world-writable one would
        // let anyone plant names, links or locks inside it.
        us.mode = directory ? 0755u : 0666u;
        return ERROR_SUCCESS;
    }
    uint32_t mode = 0;
    DWORD rc = DaclMode(*sd->Dacl, object, us.uid, us.gid, mode);
    if (rc != ERROR_SUCCESS) return rc;
    // A directory is searched by whoever may read or write in it.
    if (directory)
        for (uint32_t shift : {6u, 3u, 0u})
            if (((mode >> shift) & 7u) != 0) mode |= 1u << shift;
    us.mode = mode;
    return ERROR_SUCCESS;
}

}  // namespace pal

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    auto* h = static_cast<pal::LocalHeader*>(malloc(sizeof(pal::LocalHeader) + bytes));
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    h->magic = pal::kLocalMagic;
    h->size = bytes;
    if ((flags & LMEM_ZEROINIT) != 0) memset(h + 1, 0, bytes);
    return h + 1;
}

HLOCAL LocalFree(HLOCAL mem) {
    if (mem == nullptr) return nullptr;
    auto* h = static_cast<pal::LocalHeader*>(mem) - 1;
    if (h->magic != pal::kLocalMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return mem;
    }
    h->magic = 0;
    free(h);
    return nullptr;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                              DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
    if (authority == nullptr || sid == nullptr || count > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SID* s = new SID{};
    s->Revision = SID_REVISION;
    s->SubAuthorityCount = count;
    s->IdentifierAuthority = *authority;
    const DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    for (BYTE i = 0; i < count; ++i) s->SubAuthority[i] = subs[i];
    *sid = s;
    return TRUE;
}

PVOID FreeSid(PSID sid) {
    delete static_cast<SID*>(sid);
    return nullptr;
}

BOOL IsValidSid(PSID sid) {
    auto* s = static_cast<SID*>(sid);
    return s != nullptr && s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

BOOL EqualSid(PSID a, PSID b) {
    if (!IsValidSid(a) || !IsValidSid(b)) return FALSE;
    auto* x = static_cast<SID*>(a);
    auto* y = static_cast<SID*>(b);
    if (x->SubAuthorityCount != y->SubAuthorityCount ||
        memcmp(&x->IdentifierAuthority, &y->IdentifierAuthority, sizeof(x->IdentifierAuthority)) != 0)
        return FALSE;
    for (BYTE i = 0; i < x->SubAuthorityCount; ++i)
        if (x->SubAuthority[i] != y->SubAuthority[i]) return FALSE;
    return TRUE;
}

DWORD GetLengthSid(PSID sid) {
    return IsValidSid(sid) ? 8u + 4u * static_cast<SID*>(sid)->SubAuthorityCount : 0u;
}

BOOL LookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameLen, LPWSTR domain, LPDWORD domainLen,
                       SID_NAME_USE* use) {
    if (system != nullptr && system[0] != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!IsValidSid(sid) || nameLen == nullptr || domainLen == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string n, d;
    SID_NAME_USE u = SidTypeUser;
    if (!pal::SidToName(static_cast<SID*>(sid), n, d, u)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    DWORD r1 = pal::CopyOut(n, name, nameLen);
    DWORD r2 = pal::CopyOut(d, domain, domainLen);
    if (r1 != ERROR_SUCCESS || r2 != ERROR_SUCCESS) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (use != nullptr) *use = u;
    return TRUE;
}

BOOL LookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidLen, LPWSTR domain, LPDWORD domainLen,
                        SID_NAME_USE* use) {
    if (system != nullptr && system[0] != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (name == nullptr || sidLen == nullptr || domainLen == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SID s{};
    if (!pal::NameToSid(pal::ToUtf8(name), s)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    std::string n, d;
    SID_NAME_USE u = SidTypeUser;
    pal::SidToName(&s, n, d, u);
    DWORD need = GetLengthSid(&s);
    bool small = sid == nullptr || *sidLen < need;
    *sidLen = need;
    DWORD r2 = pal::CopyOut(d, domain, domainLen);
    if (small || r2 != ERROR_SUCCESS) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(sid, &s, need);
    if (use != nullptr) *use = u;
    return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) {
    if (sd == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(sd == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(sd)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd) {
    return sd != nullptr && static_cast<SECURITY_DESCRIPTOR*>(sd)->Revision == SECURITY_DESCRIPTOR_REVISION;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted) {
    if (!IsValidSecurityDescriptor(sd)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    auto* d = static_cast<SECURITY_DESCRIPTOR*>(sd);
    d->Control = static_cast<WORD>(d->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (present) {
        d->Control |= SE_DACL_PRESENT;
        if (defaulted) d->Control |= SE_DACL_DEFAULTED;
        d->Dacl = dacl;
    } else {
        d->Dacl = nullptr;
    }
    return TRUE;
}

BOOL SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR sd, PSID owner, BOOL) {
    if (!IsValidSecurityDescriptor(sd)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    static_cast<SECURITY_DESCRIPTOR*>(sd)->Owner = owner;
    return TRUE;
}

BOOL SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR sd, PSID group, BOOL) {
    if (!IsValidSecurityDescriptor(sd)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    static_cast<SECURITY_DESCRIPTOR*>(sd)->Group = group;
    return TRUE;
}

DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl) {
    if (newAcl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
    std::vector<PAL_ACE> aces;
    if (oldAcl != nullptr)
        for (WORD i = 0; i < oldAcl->AceCount; ++i) aces.push_back(oldAcl->Aces[i]);
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_W& e = entries[i];
        PAL_ACE ace{};
        if (e.Trustee.TrusteeForm == TRUSTEE_IS_SID) {
            if (!IsValidSid(e.Trustee.ptstrName)) return ERROR_INVALID_SID;
            ace.Sid = *reinterpret_cast<SID*>(e.Trustee.ptstrName);
        } else if (e.Trustee.TrusteeForm == TRUSTEE_IS_NAME) {
            bool group = e.Trustee.TrusteeType != TRUSTEE_IS_USER;
            if (e.Trustee.ptstrName == nullptr || !pal::NameToSid(pal::ToUtf8(e.Trustee.ptstrName), ace.Sid, group))
                return ERROR_NONE_MAPPED;
        } else {
            return ERROR_INVALID_PARAMETER;
        }
        ace.Mask = e.grfAccessPermissions;
        ace.AceFlags = static_cast<BYTE>(e.grfInheritance);
        if (e.grfAccessMode == SET_ACCESS || e.grfAccessMode == REVOKE_ACCESS) {
            // SET_ACCESS replaces all the trustee had; REVOKE_ACCESS only its grants.
            bool grantsOnly = e.grfAccessMode == REVOKE_ACCESS;
            for (size_t j = 0; j < aces.size();) {
                if (EqualSid(&aces[j].Sid, &ace.Sid) && (!grantsOnly || aces[j].AceType == ACCESS_ALLOWED_ACE_TYPE))
                    aces.erase(aces.begin() + static_cast<long>(j));
                else
                    ++j;
            }
        }
        if (e.grfAccessMode == GRANT_ACCESS || e.grfAccessMode == SET_ACCESS) {
            ace.AceType = ACCESS_ALLOWED_ACE_TYPE;
            aces.push_back(ace);
        } else if (e.grfAccessMode == DENY_ACCESS) {
            ace.AceType = ACCESS_DENIED_ACE_TYPE;
            aces.insert(aces.begin(), ace);
        }
    }
    // One block: the ACL header, then its entries.
    size_t bytes = sizeof(ACL) + aces.size() * sizeof(PAL_ACE);
    auto* acl = static_cast<ACL*>(LocalAlloc(LMEM_ZEROINIT, bytes));
    if (acl == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    acl->AclRevision = 2;
    acl->AclSize = static_cast<WORD>(bytes > 0xFFFF ? 0xFFFF : bytes);
    acl->AceCount = static_cast<WORD>(aces.size());
    acl->Aces = reinterpret_cast<PAL_ACE*>(acl + 1);
    for (size_t j = 0; j < aces.size(); ++j) acl->Aces[j] = aces[j];
    *newAcl = acl;
    return ERROR_SUCCESS;
}
