// Reporting to the System event log in the words of the message catalogue.
#pragma once
#include "pal/types.h"

// Logs one event under the source "Zembrik". When count is 1, strings is the
// single string itself; otherwise an array of count string pointers. An
// error-type event without data carries the thread's last error; every
// error-type event gets the text of its error code appended as one more insert.
void LogEvent(DWORD id, WORD type, WORD count, const void* strings, DWORD dataSize, const void* data);
// 0xE00000B9 with the thread's last error.
void LogApiError(LPCWSTR operand, LPCWSTR operation);
// 0xE00000B9 with the operand "PID <id>".
void LogPidError(ULONGLONG pid, LPCWSTR operation);
// 0xE00000BD; returns 0xE00000BD.
DWORD LogAllocError(LPCWSTR label, SIZE_T size);
// Cuts the CR and LF characters that end a text of n characters; the first
// character always stays.
void TrimMessageEnd(LPWSTR text, DWORD n);
// The system text of a Windows error code without its line end, or "0x%lx".
LPWSTR ErrorText(DWORD code, LPWSTR buffer, DWORD size);
