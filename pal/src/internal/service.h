// Service control internals shared by the dispatcher (the service's side) and
// the control manager calls (the other processes' side): the control record
// on the endpoint, the files under run/services and the status file format.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/un.h>

#include "internal/object.h"
#include "pal/service.h"

namespace pal::svc {

// One request per connection on run/services/<name>.ctl (SOCK_SEQPACKET):
// the client sends a ControlRequest, the dispatcher answers with a
// ControlReply once the handler has returned, then closes.
constexpr uint32_t kControlMagic = 0x5A535643;  // "CVSZ"
constexpr DWORD kControlTimeoutMs = 30000;

struct ControlRequest {
    uint32_t magic;
    uint32_t control;
};
static_assert(sizeof(ControlRequest) == 8);
static_assert(offsetof(ControlRequest, control) == 4);

struct ControlReply {
    uint32_t magic;
    uint32_t error;          // Win32 error of the control
    SERVICE_STATUS status;   // the last status reported, after the handler ran
};
static_assert(sizeof(ControlReply) == 36);
static_assert(offsetof(ControlReply, error) == 4);
static_assert(offsetof(ControlReply, status) == 8);

// Objects behind SC_HANDLE values.
struct ScManager : Object {
    explicit ScManager(const ObjectOps* o) : Object(ObjType::ScManager, o) {}
    DWORD access = 0;  // as asked; write rights were checked at open
};

struct Service : Object {
    explicit Service(const ObjectOps* o) : Object(ObjType::Service, o) {}
    std::u16string name;  // as the caller spelled it
    DWORD access = 0;     // generic rights mapped
};

// Absolute path of run/services (empty with the last error set on failure).
std::string ServicesDir();
// Fills a socket address with `path`; false when it does not fit sun_path.
// Longer paths go through /proc/self/fd/<descriptor of the directory or file>.
bool UnixAddress(const std::string& path, sockaddr_un& addr, socklen_t& len);
std::string FdPath(int fd);

// The status file: one JSON object, rewritten atomically on every report.
std::string FormatStatus(const std::string& nameUtf8, const SERVICE_STATUS& st, uint32_t pid,
                         const std::vector<std::string>& history = {});
// One entry of the status file's "history": state, check point, wait hint,
// controls accepted and time.
std::string FormatHistoryEntry(const SERVICE_STATUS& st);
bool ParseStatus(const std::string& text, SERVICE_STATUS& st, uint32_t& pid);
const char* StateName(DWORD state);

// Control and query by service name, returning the Win32 error; what the
// Win32 calls run after their handle and access checks.
DWORD InternalControlService(const std::u16string& name, DWORD control, SERVICE_STATUS& status,
                             DWORD timeoutMs = kControlTimeoutMs);
DWORD InternalQueryServiceStatus(const std::u16string& name, SERVICE_STATUS& status, DWORD* pid);

// The systemd unit of an installed service, where systemd runs and the
// service uses the default state root (or ZEMBRIK_UNIT_DIR names the unit
// folder); anything else is not an error and writes nothing.
DWORD WriteServiceUnit(const std::u16string& name, const std::u16string& displayName, const std::u16string& binaryPath,
                       const std::u16string& account, bool autoStart);
void RemoveServiceUnit(const std::u16string& name);

}  // namespace pal::svc
