#include "common/registry_tree.h"

#include "common/event_log.h"
#include "pal/error.h"
#include "pal/registry.h"

namespace {

DWORD LogTreeError(LPCWSTR path, LPCWSTR operation, DWORD error) {
    SetLastError(error);
    LogApiError(path, operation);
    return error;
}

}  // namespace

DWORD DeleteRegTree(HKEY parent, LPCWSTR subKey) {
    HKEY key = nullptr;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExW(parent, subKey, 0, 0x4001F, &key));
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return LogTreeError(subKey, u"RegOpenKeyEx", rc);
    DWORD subKeys = 0;
    rc = static_cast<DWORD>(
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr));
    if (rc != ERROR_SUCCESS) LogTreeError(subKey, u"RegQueryInfoKey", rc);
    for (DWORD i = 0; rc == ERROR_SUCCESS && i < subKeys; ++i) {
        WCHAR name[260];
        DWORD length = 260;
        rc = static_cast<DWORD>(RegEnumKeyExW(key, subKeys - i - 1, name, &length, nullptr, nullptr, nullptr, nullptr));
        if (rc == ERROR_NO_MORE_ITEMS) {
            rc = ERROR_SUCCESS;
            break;
        }
        if (rc != ERROR_SUCCESS) {
            LogTreeError(subKey, u"RegEnumKeyEx", rc);
            break;
        }
        rc = DeleteRegTree(key, name);
    }
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) rc = static_cast<DWORD>(RegDeleteKeyW(parent, subKey));
    return rc == ERROR_KEY_DELETED ? ERROR_SUCCESS : rc;
}
