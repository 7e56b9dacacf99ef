#include "service/service_main.h"

#include "common/event_log.h"
#include "common/messages.h"
#include "common/security_attr.h"
#include "common/texts.h"
#include "pal/error.h"
#include "pal/eventlog.h"
#include "pal/sync.h"
#include "pal/sysinfo.h"
#include "service/core.h"
#include "service/service_control.h"

void ServiceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerW(kServiceName, ServiceCtrlHandler);
    if (g_statusHandle == nullptr) return;
    g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_serviceStatus.dwServiceSpecificExitCode = 0;
    if (SetStatus(SERVICE_START_PENDING, 0, 3000)) ServiceRun();
    if (g_stopRequestedByControl != 0)
        LogEvent(MSG_SERVICE_STOPPED, EVENTLOG_INFORMATION_TYPE, 1, g_displayName, 0, nullptr);
    SetStatus(SERVICE_STOPPED, g_exitCode, 0);
}

void ServiceRun() {
    if (!IsSupportedOS()) {
        LogEvent(MSG_UNSUPPORTED_OS, EVENTLOG_ERROR_TYPE, 1, g_displayName, 0, nullptr);
        g_startFailure = ERROR_NOT_SUPPORTED;
        return;
    }
    if (!CreateExclEvent(u"ZembrikSvcOnlyMe", g_displayName)) {
        g_startFailure = ERROR_SERVICE_ALREADY_RUNNING;
        return;
    }
    {
        ZembrikCore core;
        if (!core.IsReady()) {
            WCHAR text[1024];
            LPCWSTR strings[2] = {g_displayName, ErrorText(GetLastError(), text, 1024)};
            LogEvent(MSG_INIT_FAILED, EVENTLOG_ERROR_TYPE, 2, strings, 0, nullptr);
            g_startFailure = ERROR_SERVICE_SPECIFIC_ERROR;
            return;
        }
        SetCurrentCore(&core);
        if (SetStatus(SERVICE_RUNNING, 0, 0)) {
            LogEvent(MSG_SERVICE_STARTED, EVENTLOG_INFORMATION_TYPE, 1, g_displayName, 0, nullptr);
            core.Run();
        } else {
            core.KillThreads(g_exitCode);
        }
        SetCurrentCore(nullptr);
    }
}

bool IsSupportedOS() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    info.dwMajorVersion = 5;
    info.wSuiteMask = VER_SUITE_DATACENTER;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_PLATFORMID, VER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SUITENAME, VER_AND);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_PLATFORMID | VER_SUITENAME, mask) != FALSE;
}

bool CreateExclEvent(LPCWSTR name, LPCWSTR displayName) {
    SECURITY_ATTRIBUTES sa{};
    if (!BuildNullSecAttr(&sa)) {
        LogApiError(name, u"BuildNullSecAttr");
        return false;
    }
    HANDLE event = CreateEventW(&sa, TRUE, FALSE, name);
    DWORD error = GetLastError();
    FreeSecAttr(&sa);
    if (event == nullptr) {
        SetLastError(error);
        LogApiError(name, u"CreateExclEvent");
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        if (displayName != nullptr) {
            SetLastError(error);
            LogEvent(MSG_ALREADY_RUNNING, EVENTLOG_ERROR_TYPE, 1, displayName, 0, nullptr);
        }
        CloseHandle(event);
        return false;
    }
    // Kept open for the life of the process: its existence is the "running" mark.
    return true;
}

bool OpenExclEvent(LPCWSTR name, bool report) {
    HANDLE event = OpenEventW(EVENT_ALL_ACCESS, FALSE, name);
    if (event != nullptr) {
        CloseHandle(event);
        return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && report) {
        SetLastError(error);
        LogApiError(name, u"OpenExclEvent");
    }
    return false;
}
