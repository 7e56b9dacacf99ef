#include "support/mediator_support.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "pal/mapping.h"
#include "pal/sync.h"
#include "service/shared_job_table.h"
#include "support/process_runner.h"

namespace testsupport {

int MediatorPid() {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, u"ZembrikMD8Jobs");
    if (mapping == nullptr) return 0;
    int pid = 0;
    if (auto* header = static_cast<SharedJobHeader*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0))) {
        pid = static_cast<int>(header->mediatorPid);
        UnmapViewOfFile(header);
    }
    CloseHandle(mapping);
    if (pid <= 0) return 0;
    // A reused pid is not ours to kill.
    char exe[PATH_MAX] = {};
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof(exe) - 1);
    if (n <= 0 || std::string(exe, static_cast<size_t>(n)).find("ZembrikMD8") == std::string::npos) return 0;
    return pid;
}

void EndMediator() {
    int pid = MediatorPid();
    if (pid == 0) return;
    kill(pid, SIGKILL);
    WaitUntil(5000, [pid] { return kill(pid, 0) != 0; });
}

}  // namespace testsupport
