#pragma once
#include "pal/types.h"

namespace pal {
// Windows' text of a system error code, ending in CR LF; null if unknown.
const char16_t* SystemMessageText(DWORD code);
}  // namespace pal
