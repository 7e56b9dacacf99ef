// Texts of the string table that the programs keep in fixed buffers.
#pragma once
#include "pal/types.h"

extern WCHAR g_displayName[128];         // string 103
extern WCHAR g_serviceDescription[256];  // string 105
extern WCHAR g_mediatorDisplayName[128]; // string 104
extern WCHAR g_unknownText[32];          // string 106
extern WCHAR g_defaultAliasText[64];     // string 107

// Loads the five texts, in the order 103, 105, 104, 106, 107. A string that
// cannot be loaded leaves its compiled-in default.
void LoadTexts();
