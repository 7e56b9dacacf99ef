// Building rule records for the database tests.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/texts.h"
#include "wire/rule_records.h"
#include "db/zembrik_db.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "support/test_support.h"

namespace dbtest {

// A detail record with room for its variable data.
template <typename Detail, size_t Fixed>
struct DetailBuffer {
    std::vector<BYTE> bytes;
    explicit DetailBuffer(size_t room = 0) : bytes(Fixed + (room > 0 ? room : 1), 0) {}
    Detail* operator->() { return reinterpret_cast<Detail*>(bytes.data()); }
    Detail* get() { return reinterpret_cast<Detail*>(bytes.data()); }
};
using ProcBuffer = DetailBuffer<ProcDetail, kProcDetailFixedSize>;
using JobBuffer = DetailBuffer<JobDetail, kJobDetailFixedSize>;

inline ProcBuffer MakeProc(const char16_t* name, DWORD flags = ApplyPriority, DWORD priority = 13,
                           const char16_t* memberOf = u"", const std::string& varData = "") {
    ProcBuffer b(varData.size());
    lstrcpynW(b->summary.name, name, 64);
    lstrcpynW(b->summary.memberOf, memberOf, 64);
    b->summary.mgmt.mgmtFlags = flags;
    b->summary.mgmt.priority = priority;
    b->varDataLength = static_cast<SHORT>(varData.size());
    if (!varData.empty()) memcpy(b->varData, varData.data(), varData.size());
    return b;
}

inline JobBuffer MakeJob(const char16_t* name, DWORD flags = LimitProcessCount, DWORD processCount = 3) {
    JobBuffer b;
    lstrcpynW(b->summary.name, name, 64);
    b->summary.mgmt.mgmtFlags = flags;
    b->summary.mgmt.processCount = processCount;
    return b;
}

inline NameRule MakeAlias(WCHAR type, const char16_t* match, const char16_t* name, const char16_t* description = u"") {
    NameRule r{};
    r.matchType = type;
    lstrcpynW(r.match, match, 64);
    lstrcpynW(r.name, name, 64);
    lstrcpynW(r.description, description, 64);
    return r;
}

inline std::u16string ParamPath(const char16_t* sub = nullptr) {
    std::u16string p = kParametersKeyPath;
    if (sub != nullptr) p += std::u16string(u"\\") + sub;
    return p;
}

// Writes a registry value by hand, as an administrator with an editor would.
inline LONG SetValue(const std::u16string& key, const char16_t* name, DWORD type, const void* data, DWORD size) {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (rc != 0) return rc;
    rc = RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(k);
    return rc;
}

inline LONG SetString(const std::u16string& key, const char16_t* name, const std::u16string& text) {
    return SetValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

// A multi-string from its strings.
inline LONG SetMulti(const std::u16string& key, const char16_t* name, const std::vector<std::u16string>& items) {
    std::u16string all;
    for (auto& s : items) all += s + u'\0';
    all += u'\0';
    if (items.empty()) all += u'\0';
    return SetValue(key, name, REG_MULTI_SZ, all.data(), static_cast<DWORD>(all.size() * 2));
}

inline bool GetValue(const std::u16string& key, const char16_t* name, DWORD& type, std::vector<BYTE>& data) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != 0) return false;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(k, name, nullptr, &type, nullptr, &size);
    data.resize(size);
    if (rc == 0 && size > 0) rc = RegQueryValueExW(k, name, nullptr, &type, data.data(), &size);
    RegCloseKey(k);
    return rc == 0;
}

// Fixture: a fresh root with the program's texts loaded.
class DbTest : public testsupport::RootTest {
protected:
    void SetUp() override {
        RegisterProgramResources();
        LoadTexts();
    }
    // Creates the access-control keys as installation does.
    void GrantAllRights() {
        for (const WCHAR* k : kAccessKeys) {
            HKEY h = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParamPath(k).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                                      nullptr),
                      0);
            RegCloseKey(h);
        }
    }
};

}  // namespace dbtest
