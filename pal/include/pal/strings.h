// UTF-16 text helpers: the lstr*/strsafe subset, case-insensitive compares and
// conversions at the Linux boundary.
#pragma once
#include <string>
#include <string_view>
#include "pal/types.h"

using HRESULT = LONG;
constexpr HRESULT S_OK = 0;
constexpr HRESULT STRSAFE_E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT STRSAFE_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80070057);
inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline bool FAILED(HRESULT hr) { return hr < 0; }

// Length in UTF-16 units; a null pointer has length 0.
int lstrlenW(LPCWSTR s);
// Copies at most max-1 units and always terminates (max > 0).
LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int max);
int lstrcmpW(LPCWSTR a, LPCWSTR b);
// Note: case folding is Unicode simple upper-casing, as the registry and object names use.
int lstrcmpiW(LPCWSTR a, LPCWSTR b);
// Case-insensitive compare of at most n units (n < 0: whole strings).
int PalCompareNoCase(LPCWSTR a, LPCWSTR b, int n);
WCHAR PalUpcase(WCHAR c);

// strsafe: always terminates; truncation gives STRSAFE_E_INSUFFICIENT_BUFFER.
HRESULT StringCchCopyW(LPWSTR dst, size_t cch, LPCWSTR src);
HRESULT StringCchCopyNW(LPWSTR dst, size_t cch, LPCWSTR src, size_t maxSrc);
HRESULT StringCchCatW(LPWSTR dst, size_t cch, LPCWSTR src);
// Formats like the MS C runtime's wide printf: %s takes a WCHAR string,
// %hs a char string, %c a WCHAR; d i u x X o with h, l, ll, I64 and widths.
HRESULT StringCchPrintfW(LPWSTR dst, size_t cch, LPCWSTR fmt, ...);

// Code page conversions: only CP_UTF8 (and CP_ACP, treated as UTF-8).
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
int MultiByteToWideChar(UINT cp, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen);
int WideCharToMultiByte(UINT cp, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defChar, LPBOOL usedDef);

namespace pal {
// Invalid sequences become U+FFFD.
std::string ToUtf8(std::u16string_view s);
std::string ToUtf8(LPCWSTR s);
std::u16string ToUtf16(std::string_view s);
}  // namespace pal
