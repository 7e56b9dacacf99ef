#include "db/zembrik_db.h"

#include "common/event_log.h"
#include "common/messages.h"
#include "common/security_attr.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "pal/sync.h"

ZembrikDb::ZembrikDb() {
    if (!BuildAdminSecAttr(&securityAttributes_)) return;
    DWORD disposition = 0;
    lastRegResult_ = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, nullptr,
                                                        REG_OPTION_NON_VOLATILE, 0x4001F, &securityAttributes_,
                                                        &parametersKey_, &disposition));
    if (lastRegResult_ != ERROR_SUCCESS) {
        parametersKey_ = nullptr;
        LogRegError(u"RegCreateKeyEx", kParametersKeyPath, nullptr);
        WCHAR text[1024];
        LPCWSTR strings[2] = {u"CreateParmKey", ErrorText(lastRegResult_, text, 1024)};
        LogEvent(MSG_DB_INIT_FAILED, EVENTLOG_ERROR_TYPE, 2, strings, sizeof(lastRegResult_), &lastRegResult_);
        return;
    }
    changeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (changeEvent_ == nullptr) LogApiError(u"DBEvent", u"CreateEvent");
}

ZembrikDb::~ZembrikDb() {
    if (parametersKey_ != nullptr) RegCloseKey(parametersKey_);
    if (changeEvent_ != nullptr) CloseHandle(changeEvent_);
    FreeSecAttr(&securityAttributes_);
}

bool ZembrikDb::IsReady() const {
    return parametersKey_ != nullptr && changeEvent_ != nullptr && securityAttributes_.lpSecurityDescriptor != nullptr;
}

DWORD ZembrikDb::LogRegError(LPCWSTR operation, LPCWSTR operand, LPCWSTR suffix) {
    WCHAR target[512];
    StringCchCopyW(target, 512, operand != nullptr ? operand : u"");
    if (suffix != nullptr) StringCchCatW(target, 512, suffix);
    WCHAR text[1024];
    LPCWSTR strings[3] = {operation, target, ErrorText(lastRegResult_, text, 1024)};
    DWORD error = lastRegResult_;
    LogEvent(MSG_REGISTRY_ERROR, EVENTLOG_ERROR_TYPE, 3, strings, sizeof(error), &error);
    return lastRegResult_;
}
