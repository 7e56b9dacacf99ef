// The systemd side of an installed service: a unit file that runs the
// program in the foreground as systemd expects (Type=notify: the dispatcher
// reports through NOTIFY_SOCKET), leaves the process groups and the mediator
// alone when the service stops (KillMode=process), and lets the service make
// cgroups below its own (Delegate=yes).
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "internal/service.h"
#include "internal/sys.h"
#include "pal/error.h"
#include "pal/strings.h"

extern char** environ;

namespace pal::svc {
namespace {

constexpr const char* kSystemUnitDir = "/etc/systemd/system";

// Where the unit goes; empty when there is to be none.
std::string UnitDir(bool& system) {
    system = false;
    const char* dir = getenv("ZEMBRIK_UNIT_DIR");
    if (dir != nullptr && dir[0] != 0) return dir;
    struct stat st;
    // Only the machine's own service: systemd runs and the state root is the default.
    if (stat("/run/systemd/system", &st) != 0 || StateRoot() != "/var/lib/zembrik") return "";
    system = true;
    return kSystemUnitDir;
}

std::string UnitPath(const std::string& dir, const std::u16string& name) {
    return dir + "/" + ToUtf8(name) + ".service";
}

// The program path as a shell-free ExecStart word: backslashes become slashes,
// a drive prefix goes (as CreateProcess paths are read here).
std::string ExecPath(const std::u16string& binaryPath) {
    std::string p = ToUtf8(binaryPath);
    if (p.size() >= 2 && p[1] == ':') p.erase(0, 2);
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

void Systemctl(const char* a, const char* b) {
    const char* argv[] = {"systemctl", "--quiet", a, b, nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0)
        waitpid(pid, nullptr, 0);
}

}  // namespace

DWORD WriteServiceUnit(const std::u16string& name, const std::u16string& displayName, const std::u16string& binaryPath,
                       const std::u16string& account, bool autoStart) {
    bool system = false;
    std::string dir = UnitDir(system);
    if (dir.empty()) return ERROR_SUCCESS;
    std::string unit = "[Unit]\nDescription=" + ToUtf8(displayName) +
                       "\nAfter=local-fs.target\n\n[Service]\nType=notify\nExecStart=" + ExecPath(binaryPath) +
                       "\nEnvironment=ZEMBRIK_SYSROOT=" + StateRoot() +
                       "\n# Process groups and the mediator outlive a stop of the service.\nKillMode=process\n"
                       "Delegate=yes\n";
    // An account "DOMAIN\user" or ".\user" is the user's name here.
    std::string user = ToUtf8(account);
    size_t slash = user.find_last_of('\\');
    if (slash != std::string::npos) user.erase(0, slash + 1);
    if (!user.empty() && user != "LocalSystem") unit += "User=" + user + "\n";
    unit += "\n[Install]\nWantedBy=multi-user.target\n";
    int err = WriteFileAtomic(UnitPath(dir, name), unit, 0644);
    if (err != 0) return ErrnoToWin32(err);
    if (system) {
        Systemctl("daemon-reload", nullptr);
        if (autoStart) Systemctl("enable", (ToUtf8(name) + ".service").c_str());
    }
    return ERROR_SUCCESS;
}

void RemoveServiceUnit(const std::u16string& name) {
    bool system = false;
    std::string dir = UnitDir(system);
    if (dir.empty()) return;
    if (system) Systemctl("disable", (ToUtf8(name) + ".service").c_str());
    unlink(UnitPath(dir, name).c_str());
    if (system) Systemctl("daemon-reload", nullptr);
}

}  // namespace pal::svc
