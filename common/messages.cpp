// The compiled-in resources: message table, string table, version.
#include "common/messages.h"

#include "common/build_version.h"
#include "pal/resource.h"

namespace {

const PAL_MESSAGE_RESOURCE kMessages[] = {
#define ZB_MESSAGE(id, name, text) {id, text u"\r\n"},
#include "common/messages.inc"
#undef ZB_MESSAGE
};

const PAL_STRING_RESOURCE kStrings[] = {
    {IDS_FLAG_PATCHED, u"Patched"},
    {IDS_FLAG_DEBUG, u"Debug"},
    {IDS_FLAG_BETA, u"BETA"},
    {IDS_DISPLAY_NAME, u"Zembrik"},
    {IDS_MEDIATOR_NAME, u"Zembrik Mediator"},
    {IDS_DESCRIPTION, u"Provides control and grouping of running processes."},
    {IDS_UNKNOWN, u"unknown"},
    {IDS_DEFAULT_ALIAS, u"---Default Alias Rule---"},
};

const VS_FIXEDFILEINFO kVersion = {
    VS_FFI_SIGNATURE,
    VS_FFI_STRUCVERSION,
    (ZB_VERSION_MAJOR << 16) | ZB_VERSION_MINOR,
    (ZB_VERSION_PATCH << 16) | ZB_VERSION_BUILD,
    (ZB_VERSION_MAJOR << 16) | ZB_VERSION_MINOR,
    (ZB_VERSION_PATCH << 16) | ZB_VERSION_BUILD,
    0x3F,
    ZB_VERSION_FLAGS,
    VOS_NT_WINDOWS32,
    VFT_APP,
    0,
    0,
    0,
};

}  // namespace

void RegisterProgramResources() {
    static const PAL_MODULE_RESOURCES resources{kStrings,  sizeof(kStrings) / sizeof(kStrings[0]),
                                                kMessages, sizeof(kMessages) / sizeof(kMessages[0]),
                                                &kVersion, sizeof(kVersion)};
    PalSetModuleResources(&resources);
}
