#include "service/service_control.h"

#include "common/event_log.h"
#include "common/messages.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/sync.h"
#include "service/core.h"
#include "service/service_main.h"

SERVICE_STATUS g_serviceStatus{};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
DWORD g_checkPointCounter = 1;
DWORD g_exitCode = 0;
DWORD g_startFailure = 0;
DWORD g_stopRequestedByControl = 0;
ZembrikCore* g_currentCore = nullptr;

namespace {
CRITICAL_SECTION g_coreLock;
}  // namespace

void SetCurrentCore(ZembrikCore* core) {
    EnterCriticalSection(&g_coreLock);
    g_currentCore = core;
    LeaveCriticalSection(&g_coreLock);
}

namespace {

void LogWithError(DWORD id, DWORD error) {
    WCHAR text[1024];
    LPCWSTR strings[2] = {g_displayName, ErrorText(error, text, 1024)};
    LogEvent(id, EVENTLOG_ERROR_TYPE, 2, strings, sizeof(error), &error);
}

}  // namespace

void StartDispatcher() {
    static SERVICE_TABLE_ENTRYW table[2] = {{const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        g_exitCode = GetLastError();
        LogWithError(MSG_DISPATCH_FAILED, g_exitCode);
    }
}

void RefuseDispatch() {
    g_exitCode = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    LogWithError(MSG_DISPATCH_FAILED, g_exitCode);
}

BOOL SetStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    g_serviceStatus.dwCurrentState = state;
    g_serviceStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_serviceStatus.dwWin32ExitCode = exitCode;
    g_serviceStatus.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) g_serviceStatus.dwCheckPoint = 0;
    else g_serviceStatus.dwCheckPoint = g_checkPointCounter++;
    BOOL ok = SetServiceStatus(g_statusHandle, &g_serviceStatus);
    if (!ok) {
        g_exitCode = GetLastError();
        LogWithError(MSG_SET_STATUS_FAILED, g_exitCode);
    }
    return ok;
}

void ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        SetStatus(SERVICE_STOP_PENDING, 0, 0);
        RequestStop();
        return;
    }
    SetStatus(g_serviceStatus.dwCurrentState, 0, 0);
}

void RequestStop() {
    g_stopRequestedByControl = 1;
    EnterCriticalSection(&g_coreLock);
    if (g_currentCore != nullptr) g_currentCore->Shutdown();
    LeaveCriticalSection(&g_coreLock);
}
