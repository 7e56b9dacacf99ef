#include "common/module_version.h"

#include <cstring>
#include <new>

#include "common/messages.h"
#include "pal/strings.h"

ModuleVersion::ModuleVersion(HMODULE m)
    : module(m), valid(0), isDebug(0), isPatched(0), isPrerelease(0), isPrivateBuild(0), isSpecialBuild(0),
      fixedInfo{}, fixedInfoLength(0), fileVersionText{}, productVersionText{}, flagText{} {
    WCHAR path[261];
    if (GetModuleFileNameW(module, path, 261) == 0) return;
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return;
    BYTE* block = new (std::nothrow) BYTE[size];
    if (block == nullptr) return;
    if (GetFileVersionInfoW(path, handle, size, block)) {
        LPVOID root = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block, u"\\", &root, &length)) {
            memcpy(&fixedInfo, root, sizeof(fixedInfo));
            fixedInfoLength = length;
            valid = BuildTexts();
        }
    }
    delete[] block;
}

DWORD ModuleVersion::BuildTexts() {
    if (fixedInfoLength != sizeof(VS_FIXEDFILEINFO)) return 0;
    StringCchPrintfW(fileVersionText, 24, u"%hu.%hu.%hu.%hu", static_cast<WORD>(fixedInfo.dwFileVersionMS >> 16),
                     static_cast<WORD>(fixedInfo.dwFileVersionMS), static_cast<WORD>(fixedInfo.dwFileVersionLS >> 16),
                     static_cast<WORD>(fixedInfo.dwFileVersionLS));
    StringCchPrintfW(productVersionText, 24, u"%hu.%hu.%hu.%hu",
                     static_cast<WORD>(fixedInfo.dwProductVersionMS >> 16),
                     static_cast<WORD>(fixedInfo.dwProductVersionMS),
                     static_cast<WORD>(fixedInfo.dwProductVersionLS >> 16),
                     static_cast<WORD>(fixedInfo.dwProductVersionLS));
    DWORD flags = fixedInfo.dwFileFlagsMask & fixedInfo.dwFileFlags;
    isDebug = (flags & VS_FF_DEBUG) != 0;
    isPatched = (flags & VS_FF_PATCHED) != 0;
    isPrerelease = (flags & VS_FF_PRERELEASE) != 0;
    isPrivateBuild = (flags & VS_FF_PRIVATEBUILD) != 0;
    isSpecialBuild = (flags & VS_FF_SPECIALBUILD) != 0;
    static const struct {
        DWORD flag;
        UINT text;
    } kWords[] = {{VS_FF_PATCHED, IDS_FLAG_PATCHED}, {VS_FF_DEBUG, IDS_FLAG_DEBUG}, {VS_FF_PRERELEASE, IDS_FLAG_BETA}};
    int room = 63;
    WCHAR* p = flagText;
    for (const auto& w : kWords) {
        if ((flags & w.flag) == 0 || room <= 1) continue;
        *p++ = u' ';
        --room;
        *p = 0;
        int n = LoadStringW(module, w.text, p, room + 1);
        p += n;
        room -= n;
    }
    *p = 0;
    return 1;
}
