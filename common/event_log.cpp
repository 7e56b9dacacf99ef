#include "common/event_log.h"

#include <cstring>

#include "common/messages.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/resource.h"
#include "pal/strings.h"

void LogEvent(DWORD id, WORD type, WORD count, const void* strings, DWORD dataSize, const void* data) {
    DWORD lastError = GetLastError();
    if (dataSize == 0 && type != EVENTLOG_INFORMATION_TYPE) {
        data = &lastError;
        dataSize = sizeof(lastError);
    }
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (source == nullptr) return;
    LPCWSTR inserts[64];
    WORD n = 0;
    if (count == 1) {
        inserts[n++] = static_cast<LPCWSTR>(strings);
    } else {
        auto* list = static_cast<const LPCWSTR*>(strings);
        for (WORD i = 0; i < count && n < 63 && list != nullptr; ++i) inserts[n++] = list[i];
    }
    WCHAR errorText[1024];
    if (type == EVENTLOG_ERROR_TYPE && dataSize >= sizeof(DWORD)) {
        DWORD code;
        memcpy(&code, data, sizeof(code));
        inserts[n++] = ErrorText(code, errorText, 1024);
    }
    ReportEventW(source, type, 0, id, nullptr, n, dataSize, inserts, const_cast<void*>(data));
    DeregisterEventSource(source);
}

void LogApiError(LPCWSTR operand, LPCWSTR operation) {
    DWORD error = GetLastError();
    LPCWSTR strings[2] = {operand, operation};
    LogEvent(MSG_API_ERROR, EVENTLOG_ERROR_TYPE, 2, strings, sizeof(error), &error);
}

void LogPidError(ULONGLONG pid, LPCWSTR operation) {
    DWORD error = GetLastError();
    WCHAR operand[32];
    StringCchPrintfW(operand, 32, u"PID %I64u", pid);
    SetLastError(error);
    LogApiError(operand, operation);
}

DWORD LogAllocError(LPCWSTR label, SIZE_T size) {
    WCHAR sizeText[32];
    StringCchPrintfW(sizeText, 32, u"0x%lx", static_cast<unsigned long>(size));
    LPCWSTR strings[2] = {sizeText, label};
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    LogEvent(MSG_ALLOC_FAILED, EVENTLOG_ERROR_TYPE, 2, strings, sizeof(error), &error);
    return MSG_ALLOC_FAILED;
}

void TrimMessageEnd(LPWSTR text, DWORD n) {
    for (DWORD i = n; i > 1 && (text[i - 1] == u'\r' || text[i - 1] == u'\n'); --i) text[i - 1] = 0;
}

LPWSTR ErrorText(DWORD code, LPWSTR buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return buffer;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             nullptr, code, LANG_USER_DEFAULT, buffer, size, nullptr);
    if (n > 0) {
        TrimMessageEnd(buffer, n);
        return buffer;
    }
    buffer[size - 1] = 0;
    StringCchPrintfW(buffer, size, u"0x%lx", static_cast<unsigned long>(code));
    return buffer;
}
