#include "support/mediator_support.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "pal/mapping.h"
#include "pal/sync.h"
#include "wire/shared_job_table.h"
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

namespace {

std::string LinkText(const std::string& path) {
    char text[PATH_MAX] = {};
    ssize_t n = readlink(path.c_str(), text, sizeof(text) - 1);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

// The numeric entries of a /proc directory.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') names.push_back(e->d_name);
    closedir(d);
    return names;
}

}  // namespace

std::vector<int> LiveMediators() {
    std::vector<int> found;
    const char* root = getenv("ZEMBRIK_SYSROOT");
    if (root == nullptr) return found;
    const std::string wanted = std::string("ZEMBRIK_SYSROOT=") + root;
    for (const std::string& name : Entries("/proc")) {
        std::string dir = "/proc/" + name;
        // An ended process (a zombie) has no program any more.
        if (LinkText(dir + "/exe").find("/ZembrikMD8") == std::string::npos) continue;
        std::ifstream in(dir + "/environ", std::ios::binary);
        std::string var;
        while (std::getline(in, var, '\0')) {
            if (var != wanted) continue;
            found.push_back(std::atoi(name.c_str()));
            break;
        }
    }
    return found;
}

bool HoldsPath(int pid, const std::string& part) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string& fd : Entries(fds))
        if (LinkText(fds + "/" + fd).find(part) != std::string::npos) return true;
    return false;
}

std::vector<int> PidfdTargets(int pid) {
    std::vector<int> targets;
    std::string proc = "/proc/" + std::to_string(pid);
    for (const std::string& fd : Entries(proc + "/fd")) {
        if (LinkText(proc + "/fd/" + fd) != "anon_inode:[pidfd]") continue;
        std::ifstream in(proc + "/fdinfo/" + fd);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("Pid:", 0) == 0) targets.push_back(std::atoi(line.c_str() + 4));
    }
    return targets;
}

}  // namespace testsupport
