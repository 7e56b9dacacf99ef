// The rights guarded by the access-control keys.
#include "db/zembrik_db.h"

#include "pal/error.h"
#include "pal/registry.h"

// A right is held when the calling thread's identity may open its key for
// reading; nothing is cached, so a changed key applies to the next request.
DWORD ZembrikDb::CheckAccess(LPCWSTR key) {
    HKEY opened = nullptr;
    if (parametersKey_ != nullptr &&
        RegOpenKeyExW(parametersKey_, key, 0, KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS) {
        RegCloseKey(opened);
        return ERROR_SUCCESS;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return ERROR_ACCESS_DENIED;
}
