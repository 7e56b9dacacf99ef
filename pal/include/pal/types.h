// Win32 base types on Linux. WCHAR is UTF-16; handles are small table values.
#pragma once
#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using BOOLEAN = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using SHORT = int16_t;
using USHORT = uint16_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORD64 = uint64_t;
using DWORD_PTR = uintptr_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using WCHAR = char16_t;
using CHAR = char;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;
using LPBOOL = BOOL*;
using PLONG = LONG*;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;

using HANDLE = void*;
using PHANDLE = HANDLE*;
using LPHANDLE = HANDLE*;
using HMODULE = void*;
using HINSTANCE = void*;
using HLOCAL = void*;
using SC_HANDLE = void*;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using SERVICE_STATUS_HANDLE = void*;

#define W(s) u##s

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAX_PATH = 260;

inline DWORD HandleToULong(HANDLE h) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(h)); }
inline HANDLE ULongToHandle(DWORD v) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(v)); }

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;
static_assert(sizeof(FILETIME) == 8);

// Anonymous struct members are the Win32 spelling of this union.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
static_assert(sizeof(LARGE_INTEGER) == 8);
