// Resources compiled into the program (string table, message table, version
// information), module handles, and message formatting.
#pragma once
#include <cstdarg>
#include <string>

#include "pal/types.h"

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
constexpr DWORD VS_FF_DEBUG = 0x1;
constexpr DWORD VS_FF_PRERELEASE = 0x2;
constexpr DWORD VS_FF_PATCHED = 0x4;
constexpr DWORD VS_FF_PRIVATEBUILD = 0x8;
constexpr DWORD VS_FF_INFOINFERRED = 0x10;
constexpr DWORD VS_FF_SPECIALBUILD = 0x20;
constexpr DWORD VOS_NT_WINDOWS32 = 0x00040004;
constexpr DWORD VFT_APP = 0x1;

// One entry of a program's string table or message table.
struct PAL_STRING_RESOURCE {
    UINT id;
    LPCWSTR text;
};
struct PAL_MESSAGE_RESOURCE {
    DWORD id;
    LPCWSTR text;  // with %1..%99 inserts; ends with "\r\n" like a compiled message table
};
// What a Windows resource compiler would have linked into the executable.
struct PAL_MODULE_RESOURCES {
    const PAL_STRING_RESOURCE* strings;
    size_t stringCount;
    const PAL_MESSAGE_RESOURCE* messages;
    size_t messageCount;
    const VS_FIXEDFILEINFO* version;  // null: no version resource
    DWORD versionLength;              // the length VerQueryValue reports for "\\"
};
// Not Win32: installs the program's resources (once, at program entry, before
// any other thread exists); later calls replace them.
void PalSetModuleResources(const PAL_MODULE_RESOURCES* resources);

// Note: the program's own module only; other names give ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleW(LPCWSTR name);
// Note: the path of /proc/self/exe with '\' as separator ("\usr\bin\x").
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);

// Note: only the program's own file has a version resource.
DWORD GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle);
BOOL GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD length, LPVOID data);
// Note: only the root block "\\" is available.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x0400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x0800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x00FF;
constexpr DWORD LANG_NEUTRAL = 0;
constexpr DWORD LANG_USER_DEFAULT = 0x0400;

// Note: system texts are the Windows English texts of the error codes the
// programs can meet; the language is ignored. Inserts are taken only from an
// argument array (FORMAT_MESSAGE_ARGUMENT_ARRAY) of string pointers; a
// va_list is not supported. Width control (MAX_WIDTH_MASK) is ignored.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* arguments);

namespace pal {
// The text of a message of the program's own table with %n inserts replaced
// (missing inserts stay as written); false if there is no such message.
bool FormatModuleMessage(DWORD id, const LPCWSTR* inserts, size_t count, std::u16string& out);
}  // namespace pal
