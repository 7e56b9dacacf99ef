// Version information of an executable, as texts.
#pragma once
#include "pal/resource.h"
#include "pal/types.h"

class ModuleVersion {
public:
    // Never fails: without a usable version resource the texts stay empty and
    // valid is 0.
    explicit ModuleVersion(HMODULE module);

    HMODULE module;
    DWORD valid;
    DWORD isDebug;
    DWORD isPatched;
    DWORD isPrerelease;
    DWORD isPrivateBuild;
    DWORD isSpecialBuild;
    VS_FIXEDFILEINFO fixedInfo;
    DWORD fixedInfoLength;
    WCHAR fileVersionText[24];
    WCHAR productVersionText[24];
    WCHAR flagText[64];

private:
    DWORD BuildTexts();
};
