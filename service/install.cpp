// Installing and removing the service from the command line: the service
// entry, its description, the event-log source, the server-application
// entry, and the Parameters key with an empty alias list and the five
// access-control keys. Every step prints one line; a failed step does not
// stop the independent steps after it.
#include "service/install.h"

#include <cstdio>
#include <string>

#include "common/event_log.h"
#include "common/registry_tree.h"
#include "common/security_attr.h"
#include "common/texts.h"
#include "db/zembrik_db.h"
#include "pal/error.h"
#include "pal/registry.h"
#include "pal/resource.h"
#include "pal/service.h"
#include "pal/strings.h"
#include "pal/sync.h"

namespace {

constexpr const WCHAR* kServiceName = u"Zembrik";
constexpr const WCHAR* kServiceKeyPath = u"SYSTEM\\CurrentControlSet\\Services\\Zembrik";
constexpr const WCHAR* kEventLogKeyPath = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Zembrik";
constexpr const WCHAR* kServerAppsKeyPath = u"SYSTEM\\CurrentControlSet\\Control\\Server Applications";
constexpr const WCHAR* kServerAppValue = u"{7cfc9f00-0641-11d2-8014-00104b9a3106}";
constexpr REGSAM kKeyAccess = 0x0004001F;

std::string Utf8(LPCWSTR s) { return pal::ToUtf8(s != nullptr ? s : u""); }

std::string Text(DWORD error) {
    WCHAR buffer[512];
    return Utf8(ErrorText(error, buffer, 512));
}

// Prints a line whose first %s is the display name and last the error text.
void Say(const char* format) { printf(format, Utf8(g_displayName).c_str()); }
void SayError(const char* format, DWORD error) { printf(format, Utf8(g_displayName).c_str(), Text(error).c_str()); }
void SayError(const char* format, LPCWSTR what, DWORD error) {
    printf(format, Utf8(g_displayName).c_str(), Utf8(what).c_str(), Text(error).c_str());
}

LONG SetString(HKEY key, LPCWSTR name, LPCWSTR text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)));
}

void WriteDescription() {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, kKeyAccess, &key);
    if (rc != ERROR_SUCCESS) {
        SayError("%s Registry Key open failed for '%s' - %s\n", kServiceKeyPath, static_cast<DWORD>(rc));
        return;
    }
    rc = SetString(key, u"Description", g_serviceDescription);
    if (rc != ERROR_SUCCESS) SayError("%s add value failed for '%s' - %s\n", u"Description", static_cast<DWORD>(rc));
    RegCloseKey(key);
}

void WriteServerApplication() {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerAppsKeyPath, 0, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        SayError("%s Server Application Control Key open failed for '%s' - %s\n", kServerAppsKeyPath,
                 static_cast<DWORD>(rc));
        return;
    }
    rc = SetString(key, kServerAppValue, g_displayName);
    if (rc == ERROR_SUCCESS)
        Say("%s server application control registry entry created.\n");
    else
        SayError("%s add value failed for server application control registry entry '%s' - %s\n", kServerAppValue,
                 static_cast<DWORD>(rc));
    RegCloseKey(key);
}

void WriteEventLogSource(LPCWSTR program) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventLogKeyPath, 0, nullptr, 0, kKeyAccess, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        SayError("%s Registry Key Create failed for '%s' - %s\n", kEventLogKeyPath, static_cast<DWORD>(rc));
        return;
    }
    LPCWSTR failed = u"EventMessageFile";
    rc = RegSetValueExW(key, failed, 0, REG_SZ, reinterpret_cast<const BYTE*>(program),
                        static_cast<DWORD>((lstrlenW(program) + 1) * sizeof(WCHAR)));
    if (rc == ERROR_SUCCESS) {
        DWORD types = 7;  // error, warning, information
        failed = u"TypesSupported";
        rc = RegSetValueExW(key, failed, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof(types));
    }
    if (rc != ERROR_SUCCESS)
        SayError("%s EventLog registry entries set-up failed for '%s' - %s\n", failed, static_cast<DWORD>(rc));
    else
        Say("%s EventLog registry entries created.\n");
    RegCloseKey(key);
}

void WriteParameters(SECURITY_ATTRIBUTES* sa) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, nullptr, 0, kKeyAccess, sa, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        SayError("%s Parameter Key Create failed for '%s' - %s\n", kParametersKeyPath, static_cast<DWORD>(rc));
        return;
    }
    const WCHAR empty[2] = {0, 0};
    rc = RegSetValueExW(key, u"NameRules", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(empty), sizeof(empty));
    if (rc != ERROR_SUCCESS) {
        SayError("%s Parameter Data Update failed for '%s' - %s\n", u"NameRules", static_cast<DWORD>(rc));
    } else {
        for (const WCHAR* name : kAccessKeys) {
            HKEY sub = nullptr;
            rc = RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_WRITE, sa, &sub, nullptr);
            if (rc != ERROR_SUCCESS) {
                SayError("%s Parameter Data Update failed for '%s' - %s\n", name, static_cast<DWORD>(rc));
                break;
            }
            RegCloseKey(sub);
        }
        if (rc == ERROR_SUCCESS) Say("%s registry parameter data created.\n");
    }
    RegCloseKey(key);
}

}  // namespace

void InstallService(int count, LPWSTR* words) {
    SECURITY_ATTRIBUTES sa{};
    WCHAR program[MAX_PATH + 1] = {};
    bool attributes = BuildAdminSecAttr(&sa) != FALSE;
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (!attributes || length == 0) {
        SayError("Unable to install %s - %s\n", GetLastError());
        FreeSecAttr(&sa);
        return;
    }
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (scm == nullptr) {
        printf("OpenSCManager failed - %s\n", Text(GetLastError()).c_str());
        FreeSecAttr(&sa);
        return;
    }
    const WCHAR noDependencies[2] = {0, 0};
    SC_HANDLE service = CreateServiceW(scm, kServiceName, g_displayName, GENERIC_READ, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, program, nullptr, nullptr,
                                       noDependencies, count > 0 ? words[0] : nullptr, count > 1 ? words[1] : nullptr);
    if (service == nullptr) {
        SayError("%s CreateService failed - %s\n", GetLastError());
        CloseServiceHandle(scm);
        FreeSecAttr(&sa);
        return;
    }
    Say("%s service installed.\n");
    CloseServiceHandle(service);
    WriteDescription();
    WriteServerApplication();
    WriteEventLogSource(program);
    WriteParameters(&sa);
    CloseServiceHandle(scm);
    FreeSecAttr(&sa);
}

void RemoveService(int, LPWSTR*) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr) {
        printf("OpenSCManager failed - %s\n", Text(GetLastError()).c_str());
    } else {
        SC_HANDLE service = OpenServiceW(scm, kServiceName, SERVICE_ALL_ACCESS);
        if (service == nullptr) {
            printf("OpenService failed - %s\n", Text(GetLastError()).c_str());
        } else {
            SERVICE_STATUS status{};
            if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                Say("Stopping %s.");
                fflush(stdout);
                for (;;) {
                    Sleep(1000);
                    if (!QueryServiceStatus(service, &status) || status.dwCurrentState != SERVICE_STOP_PENDING) break;
                    printf(".");
                    fflush(stdout);
                }
                Say(status.dwCurrentState == SERVICE_STOPPED ? "\n%s stopped.\n" : "\n%s failed to stop.\n");
            }
            if (DeleteService(service))
                Say("%s service registry entries removed.\n");
            else
                printf("DeleteService failed - %s\n", Text(GetLastError()).c_str());
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
    }
    HKEY apps = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerAppsKeyPath, 0, KEY_SET_VALUE, &apps);
    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteValueW(apps, kServerAppValue);
        RegCloseKey(apps);
    }
    if (rc == ERROR_SUCCESS)
        Say("%s server application control registry entry deleted.\n");
    else if (rc != ERROR_FILE_NOT_FOUND)
        SayError("%s server application control registry entry delete failed for '%s' - %s\n", kServerAppValue,
                 static_cast<DWORD>(rc));
    rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventLogKeyPath);
    if (rc == ERROR_SUCCESS || rc == ERROR_KEY_DELETED)
        Say("%s EventLog registry entries deleted.\n");
    else if (rc != ERROR_FILE_NOT_FOUND)
        SayError("%s EventLog registry entries delete failed for '%s' - %s\n", kEventLogKeyPath,
                 static_cast<DWORD>(rc));
    DWORD tree = DeleteRegTree(HKEY_LOCAL_MACHINE, kParametersKeyPath);
    if (tree == ERROR_SUCCESS || tree == ERROR_KEY_DELETED)
        Say("%s parameter data registry entries deleted.\n");
    else if (tree != ERROR_FILE_NOT_FOUND)
        SayError("%s data registry tree delete failed for '%s' - %s\n", kParametersKeyPath, tree);
}
