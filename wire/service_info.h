// The service-information record handed to clients (552 bytes, little-endian).
#pragma once
#include <cstddef>

#include "pal/types.h"

// The poll interval and pipe time-out a parameters request may set;
// anything else is ResultBadValue.
constexpr DWORD kPollSecondsLeast = 2;
constexpr DWORD kPollSecondsMost = 900;
constexpr DWORD kPipeTimeOutLeastMs = 100;
constexpr DWORD kPipeTimeOutMostMs = 120000;

#pragma pack(push, 1)
struct ServiceInfo {
    DWORD signature;
    DWORD fileVersionMS;
    DWORD fileVersionLS;
    DWORD productVersionMS;
    DWORD productVersionLS;
    DWORD fileFlags;
    DWORD fileOS;
    DWORD fileType;
    DWORD fileSubtype;
    DWORD fileDateMS;
    DWORD fileDateLS;
    WCHAR productVersion[24];
    WCHAR fileVersion[24];
    WCHAR flagText[24];
    WCHAR mediatorProductVersion[24];
    WCHAR mediatorFileVersion[24];
    WCHAR mediatorFlagText[24];
    BYTE reserved1[132];
    DWORD pollSeconds;
    DWORD processorCount;
    DWORD pageSize;
    DWORD pipeTimeOut;
    DWORD systemAffinity;
    BYTE reserved2[68];
};
#pragma pack(pop)

static_assert(sizeof(ServiceInfo) == 552);
static_assert(offsetof(ServiceInfo, fileVersionMS) == 4);
static_assert(offsetof(ServiceInfo, fileFlags) == 20);
static_assert(offsetof(ServiceInfo, fileDateLS) == 40);
static_assert(offsetof(ServiceInfo, productVersion) == 44);
static_assert(offsetof(ServiceInfo, fileVersion) == 92);
static_assert(offsetof(ServiceInfo, flagText) == 140);
static_assert(offsetof(ServiceInfo, mediatorProductVersion) == 188);
static_assert(offsetof(ServiceInfo, mediatorFileVersion) == 236);
static_assert(offsetof(ServiceInfo, mediatorFlagText) == 284);
static_assert(offsetof(ServiceInfo, reserved1) == 332);
static_assert(offsetof(ServiceInfo, pollSeconds) == 464);
static_assert(offsetof(ServiceInfo, processorCount) == 468);
static_assert(offsetof(ServiceInfo, pageSize) == 472);
static_assert(offsetof(ServiceInfo, pipeTimeOut) == 476);
static_assert(offsetof(ServiceInfo, systemAffinity) == 480);
static_assert(offsetof(ServiceInfo, reserved2) == 484);
