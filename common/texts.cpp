#include "common/texts.h"

#include "common/messages.h"
#include "pal/resource.h"

WCHAR g_displayName[128] = u"Zembrik";
WCHAR g_serviceDescription[256] = u"Provides control and grouping of running processes.";
WCHAR g_mediatorDisplayName[128] = u"Zembrik Mediator";
WCHAR g_unknownText[32] = u"unknown";
WCHAR g_defaultAliasText[64] = u"---Default Alias Rule---";

void LoadTexts() {
    HMODULE self = GetModuleHandleW(nullptr);
    LoadStringW(self, IDS_DISPLAY_NAME, g_displayName, 128);
    LoadStringW(self, IDS_DESCRIPTION, g_serviceDescription, 256);
    LoadStringW(self, IDS_MEDIATOR_NAME, g_mediatorDisplayName, 128);
    LoadStringW(self, IDS_UNKNOWN, g_unknownText, 32);
    LoadStringW(self, IDS_DEFAULT_ALIAS, g_defaultAliasText, 64);
}
