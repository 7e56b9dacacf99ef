// System information and the version check.
#include <unistd.h>

#include <string>

#include "pal/error.h"
#include "pal/registry.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"

namespace pal {
// In process.cpp: the main thread's CPU mask of the process a handle names.
DWORD QueryProcessAffinity(HANDLE process, DWORD_PTR& mask);
}  // namespace pal

namespace {

DWORD_PTR OnlineMask() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n <= 0) n = 1;
    if (n >= 64) return ~static_cast<DWORD_PTR>(0);
    return (static_cast<DWORD_PTR>(1) << n) - 1;
}

// Suite bits from the ProductSuite value; 0 when it is missing or unreadable.
WORD ReadSuiteMask() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return 0;
    WCHAR buf[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(buf) - 2 * sizeof(WCHAR);
    LONG rc = RegQueryValueExW(key, u"ProductSuite", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ) return 0;
    WORD mask = 0;
    for (const WCHAR* p = buf; *p != 0; p += lstrlenW(p) + 1) {
        if (lstrcmpiW(p, u"DataCenter") == 0) mask |= VER_SUITE_DATACENTER;
        if (lstrcmpiW(p, u"Enterprise") == 0) mask |= VER_SUITE_ENTERPRISE;
    }
    return mask;
}

bool Compare(DWORD have, DWORD want, BYTE cond) {
    switch (cond) {
    case VER_EQUAL: return have == want;
    case VER_GREATER: return have > want;
    case VER_GREATER_EQUAL: return have >= want;
    case VER_LESS: return have < want;
    case VER_LESS_EQUAL: return have <= want;
    case VER_AND: return (have & want) == want;
    case VER_OR: return (have & want) != 0;
    default: return false;
    }
}

BYTE ConditionFor(ULONGLONG mask, DWORD type) {
    int index = 0;
    while (type > 1) { type >>= 1; ++index; }
    return static_cast<BYTE>((mask >> (index * 3)) & 7);
}

}  // namespace

void GetSystemInfo(LPSYSTEM_INFO info) {
    if (info == nullptr) return;
    *info = SYSTEM_INFO{};
#if defined(__x86_64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info->dwProcessorType = 8664;
#elif defined(__aarch64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
#else
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x7FFFFFFEFFFFull));
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = static_cast<DWORD>(n > 0 ? n : 1);
    info->dwActiveProcessorMask = OnlineMask();
    info->dwAllocationGranularity = 65536;
}

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* processMask, DWORD_PTR* systemMask) {
    if (processMask == nullptr || systemMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD_PTR mask = 0;
    DWORD err = pal::QueryProcessAffinity(process, mask);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    *processMask = mask;
    *systemMask = OnlineMask();
    return TRUE;
}

ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) {
    for (int index = 0; index < 8; ++index) {
        if ((typeMask & (1u << index)) == 0) continue;
        conditionMask &= ~(static_cast<ULONGLONG>(7) << (index * 3));
        conditionMask |= static_cast<ULONGLONG>(condition & 7) << (index * 3);
    }
    return conditionMask;
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, ULONGLONG conditionMask) {
    if (info == nullptr || typeMask == 0 || conditionMask == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD have[8] = {0, 5, 2195, VER_PLATFORM_WIN32_NT, 0, 0, ReadSuiteMask(), VER_NT_SERVER};
    const DWORD want[8] = {info->dwMinorVersion, info->dwMajorVersion,  info->dwBuildNumber,
                           info->dwPlatformId,   info->wServicePackMinor, info->wServicePackMajor,
                           info->wSuiteMask,     info->wProductType};
    for (int index = 0; index < 8; ++index) {
        DWORD type = 1u << index;
        if ((typeMask & type) == 0) continue;
        if (!Compare(have[index], want[index], ConditionFor(conditionMask, type))) {
            SetLastError(ERROR_OLD_WIN_VERSION);
            return FALSE;
        }
    }
    return TRUE;
}
