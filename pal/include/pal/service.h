// Service control: the dispatcher a service runs under, its status reports,
// and the control manager calls other processes use to reach it. There is no
// control manager process: the service runs in the foreground, its status
// lives in run/services/<name>.status of the state root and controls reach it
// through run/services/<name>.ctl.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;
static_assert(sizeof(SERVICE_STATUS) == 28);

struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);
enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};
using LPSERVICE_TABLE_ENTRYW = SERVICE_TABLE_ENTRYW*;

// Service types.
constexpr DWORD SERVICE_KERNEL_DRIVER = 0x1;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x2;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
constexpr DWORD SERVICE_WIN32 = 0x30;
constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;

// Start types and error control.
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_ERROR_SEVERE = 2;
constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

// Current states.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Control codes; 128-255 are the service's own.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;
constexpr DWORD SERVICE_CONTROL_NETBINDADD = 7;
constexpr DWORD SERVICE_CONTROL_NETBINDREMOVE = 8;
constexpr DWORD SERVICE_CONTROL_NETBINDENABLE = 9;
constexpr DWORD SERVICE_CONTROL_NETBINDDISABLE = 10;

// Controls a service announces it accepts.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr DWORD SERVICE_ACCEPT_PARAMCHANGE = 0x8;
constexpr DWORD SERVICE_ACCEPT_NETBINDCHANGE = 0x10;

// Access rights to the control manager.
constexpr DWORD SC_MANAGER_CONNECT = 0x1;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x2;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x4;
constexpr DWORD SC_MANAGER_LOCK = 0x8;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x10;
constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x20;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

// Access rights to a service.
constexpr DWORD SERVICE_QUERY_CONFIG = 0x1;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x2;
constexpr DWORD SERVICE_QUERY_STATUS = 0x4;
constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x8;
constexpr DWORD SERVICE_START = 0x10;
constexpr DWORD SERVICE_STOP = 0x20;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x40;
constexpr DWORD SERVICE_INTERROGATE = 0x80;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x100;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;

#define SERVICES_ACTIVE_DATABASEW u"ServicesActive"

// Note: there is no control manager: the calling process is the service, run
// in the foreground, and only table[0] is started (ServiceMain gets argc 1 and
// argv {name}). Callable once per process (then ERROR_SERVICE_ALREADY_RUNNING).
// It blocks SIGTERM and SIGINT in the calling thread before it starts any
// thread, so call it before the program creates threads (or block both signals
// there too); either signal becomes SERVICE_CONTROL_STOP once a status
// accepting STOP has been reported. The control handler runs on the calling
// thread. Returns once ServiceMain has returned (Windows waits for the
// service to report SERVICE_STOPPED). A second copy of a running service still
// runs ServiceMain and gets signals, but its status reports are not recorded
// and it takes no controls from other processes.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
// Note: also gives ERROR_SERVICE_DOES_NOT_EXIST outside a running dispatcher,
// and for any name but the running service's.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler);
// Note: the status goes to run/services/<name>.status and, under systemd
// (NOTIFY_SOCKET), to sd_notify; a second copy's reports succeed unrecorded.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// Note: only the local machine (null or empty name). SC_MANAGER_CREATE_SERVICE
// (and the other write rights) need write access to the Services key's
// directory under the calling thread's filesystem identity.
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
// Note: a service is known by its Services key or, without installation, by
// the status file or control endpoint of a copy run by hand. The access right
// is not checked here; the control endpoint's mode decides at ControlService.
SC_HANDLE OpenServiceW(SC_HANDLE scm, LPCWSTR name, DWORD access);
BOOL CloseServiceHandle(SC_HANDLE handle);
// Note: the service is its Services key (Type, Start, ErrorControl,
// ImagePath, DisplayName, ObjectName, DependOnService); where systemd runs
// (default state root, or ZEMBRIK_UNIT_DIR set) also a unit file
// <name>.service with Type=notify, KillMode=process, Delegate=yes and User=
// from the account. The password and load-order group are not used; a tag
// gives ERROR_INVALID_PARAMETER.
SC_HANDLE CreateServiceW(SC_HANDLE scm, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD serviceType,
                         DWORD startType, DWORD errorControl, LPCWSTR binaryPath, LPCWSTR loadOrderGroup,
                         LPDWORD tagId, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password);
// Note: removes the service's values (and the key once nothing else is in
// it) and its unit file at once, running or not; subkeys such as Parameters
// stay for their owner to remove.
BOOL DeleteService(SC_HANDLE service);
// Note: SERVICE_CONTROL_SHUTDOWN may be sent (there is no system shutdown
// notice otherwise). Only the service's own user (root for a service run as
// root) may send controls; others get ERROR_ACCESS_DENIED. STOPPED gives
// ERROR_SERVICE_NOT_ACTIVE for every code.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
// Note: a service whose process died without reporting SERVICE_STOPPED reads
// as SERVICE_STOPPED with ERROR_PROCESS_ABORTED, as on Windows; a caller that
// is not root cannot test the service's lock and trusts the recorded pid.
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
// Note: as QueryServiceStatus; the process id is the one the running copy
// recorded (0 once stopped); dwServiceFlags is always 0.
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size, LPDWORD needed);
