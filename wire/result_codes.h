// The 32-bit result of every client operation: 0, one of the service's own
// codes below, or a Windows error code passed through unchanged.
#pragma once
#include "pal/types.h"

using ResultCode = DWORD;

enum : ResultCode {
    ResultSuccess = 0,
    ResultBadValue = 0xE0020203,
    ResultBadRequest = 0xE0020207,
    ResultBadName = 0xE0020208,
    ResultStale = 0xE0020209,
    ResultBadIndex = 0xE002020A,
    ResultExists = 0xE002020B,
    ResultBadStoredData = 0xE002020C,
    ResultNoMemory = 0xE002020D,
    ResultNotFound = 0xE002020F,
    ResultMediatorRunning = 0xE0020213,
    ResultMediatorNotRunning = 0xE0020214,
};

// Words for success and the service's own codes; null for any other code.
constexpr const char* ServiceResultWords(ResultCode result) {
    switch (result) {
    case ResultSuccess: return "success";
    case ResultBadValue: return "bad value";
    case ResultBadRequest: return "bad request";
    case ResultBadName: return "bad name";
    case ResultStale: return "stale";
    case ResultBadIndex: return "bad index";
    case ResultExists: return "exists";
    case ResultBadStoredData: return "bad stored data";
    case ResultNoMemory: return "no memory";
    case ResultNotFound: return "not found";
    case ResultMediatorRunning: return "the mediator is running";
    case ResultMediatorNotRunning: return "the mediator is not running";
    default: return nullptr;
    }
}

// Not a result: the exit code given to the mediator when the service ends it.
constexpr DWORD MediatorKillExitCode = 0xE0020210;

// A kill request's creation time that matches any process.
constexpr ULONGLONG AnyCreationTime = 0x777DEADFEEB1E777ULL;
