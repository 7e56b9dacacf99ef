// The rule database. For now it opens its Parameters key, keeps the poll
// interval and the change event; the rules themselves come with the rule store.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

class ZembrikMgr;

class ZembrikDb {
public:
    ZembrikDb();
    ~ZembrikDb();
    ZembrikDb(const ZembrikDb&) = delete;
    ZembrikDb& operator=(const ZembrikDb&) = delete;

    bool IsReady() const;
    DWORD PollMilliseconds() const { return pollMilliseconds_; }
    HANDLE ChangeEvent() const { return changeEvent_; }
    void SetManager(ZembrikMgr* manager) { manager_ = manager; }
    ZembrikMgr* Manager() const { return manager_; }
    // Logs the registry-error event with the last registry result; returns it.
    DWORD LogRegError(LPCWSTR operation, LPCWSTR operand, LPCWSTR suffix);

private:
    ZembrikMgr* manager_ = nullptr;
    DWORD lastRegResult_ = 0;
    DWORD pollMilliseconds_ = 60000;
    HKEY parametersKey_ = nullptr;
    HANDLE changeEvent_ = nullptr;
    SECURITY_ATTRIBUTES securityAttributes_{};
};

// Registry path of the service's Parameters key under HKEY_LOCAL_MACHINE.
inline constexpr const WCHAR* kParametersKeyPath = u"SYSTEM\\CurrentControlSet\\Services\\Zembrik\\Parameters";
