// Event identifiers of the message catalogue and the string-table ids.
#pragma once
#include "pal/types.h"

enum : DWORD {
#define ZB_MESSAGE(id, name, text) name = id,
#include "common/messages.inc"
#undef ZB_MESSAGE
};

// String table.
constexpr UINT IDS_FLAG_PATCHED = 100;
constexpr UINT IDS_FLAG_DEBUG = 101;
constexpr UINT IDS_FLAG_BETA = 102;
constexpr UINT IDS_DISPLAY_NAME = 103;
constexpr UINT IDS_MEDIATOR_NAME = 104;
constexpr UINT IDS_DESCRIPTION = 105;
constexpr UINT IDS_UNKNOWN = 106;
constexpr UINT IDS_DEFAULT_ALIAS = 107;

// The service name: event source, service key and dispatch table name.
inline constexpr const WCHAR* kServiceName = u"Zembrik";

// Installs this program's string table, message table and version resource
// into the platform layer; the first thing every program does.
void RegisterProgramResources();
