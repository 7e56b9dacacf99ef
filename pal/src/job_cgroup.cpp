// cgroup and /proc helpers of the job objects.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "internal/job.h"
#include "pal/error.h"

namespace pal {
namespace {

// The first line of a whole file for which fn(line) gives a non-empty
// answer; that answer, or empty.
template <typename Fn>
std::string FirstLineAnswer(const std::string& path, Fn fn) {
    std::string text;
    if (ReadWholeFile(path, text) != 0) return {};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string answer = fn(text.substr(pos, end - pos));
        if (!answer.empty()) return answer;
        pos = end + 1;
    }
    return {};
}

// The mount point of the first mountinfo line whose filesystem type is
// `fstype` and, for v1, whose super options name `option`.
std::string FindMount(const char* fstype, const char* option) {
    return FirstLineAnswer("/proc/self/mountinfo", [&](const std::string& line) -> std::string {
        // "<id> <parent> <dev> <root> <mount point> <opts> [optional...] - <type> <source> <super opts>"
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) return {};
        char type[64] = {}, source[256] = {}, super[512] = {};
        if (sscanf(line.c_str() + dash + 3, "%63s %255s %511s", type, source, super) < 2) return {};
        if (strcmp(type, fstype) != 0) return {};
        std::string opts = std::string(",") + super + ",";
        if (option != nullptr && opts.find(std::string(",") + option + ",") == std::string::npos) return {};
        char root[1024] = {}, mount[1024] = {};
        if (sscanf(line.c_str(), "%*s %*s %*s %1023s %1023s", root, mount) != 2) return {};
        if (strcmp(root, "/") != 0) return {};  // a bind of a subtree: not the hierarchy's root
        return mount;
    });
}

// A short stable hash of the state root, so that roots never share jobs.
std::string RootTag() {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : StateRoot()) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[32];
    snprintf(buf, sizeof(buf), "zembrik-%012llx", static_cast<unsigned long long>(h & 0xFFFFFFFFFFFFull));
    return buf;
}

long Ticks() {
    static const long t = [] {
        long v = sysconf(_SC_CLK_TCK);
        return v > 0 ? v : 100;
    }();
    return t;
}

// The cgroup of a process in one v1 hierarchy ("/" or "/a/b"), from the
// "<id>:<controllers>:<path>" lines of /proc/<pid>/cgroup; empty when absent.
std::string ProcessV1Cgroup(pid_t pid, const char* controller) {
    return FirstLineAnswer("/proc/" + std::to_string(pid) + "/cgroup", [&](const std::string& line) -> std::string {
        size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) return {};
        std::string list = "," + line.substr(a + 1, b - a - 1) + ",";
        return list.find(std::string(",") + controller + ",") != std::string::npos ? line.substr(b + 1) : std::string();
    });
}

// Our own cgroup path without the part that one of our jobs added: a
// process that is itself in one of our jobs keeps using that job's parent.
std::string OwnBase(std::string own) {
    size_t at = own.find("/zembrik-");
    if (at != std::string::npos) own.erase(at);
    if (own == "/") own.clear();
    return own;
}

}  // namespace

const char* V1Name(V1Controller c) {
    static const char* const kNames[kV1Count] = {"memory", "cpu", "cpuset", "pids"};
    return kNames[c];
}

DWORD FindCgroupLayout(CgroupLayout& out) {
    out.v2Mount = FindMount("cgroup2", nullptr);
    if (out.v2Mount.empty()) return ERROR_NOT_SUPPORTED;
    out.parentRel = OwnBase(ProcessCgroup(getpid())) + "/" + RootTag();
    // In each v1 hierarchy the jobs go below our own cgroup there, so that
    // limits enclosing the service enclose its groups too; where that cgroup
    // is not ours to write (a read-only delegation), at the top.
    for (int c = 0; c < kV1Count; ++c) {
        std::string mount = V1Mount(V1Name(static_cast<V1Controller>(c)));
        if (mount.empty()) {
            out.v1Parent[c].clear();
            continue;
        }
        std::string own = OwnBase(ProcessV1Cgroup(getpid(), V1Name(static_cast<V1Controller>(c))));
        if (!own.empty() && access((mount + own).c_str(), W_OK) != 0) own.clear();
        out.v1Parent[c] = mount + own + "/" + RootTag();
    }
    return ERROR_SUCCESS;
}

std::string V1Mount(const char* controller) {
    // Mounts do not change under a running service: found once per controller.
    static std::mutex lock;
    static std::vector<std::pair<std::string, std::string>> found;
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& f : found)
        if (f.first == controller) return f.second;
    found.emplace_back(controller, FindMount("cgroup", controller));
    return found.back().second;
}

int WriteCgroupFile(const std::string& path, const std::string& value) {
    ScopedFd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) return errno;
    ssize_t n = write(fd.get(), value.data(), value.size());
    if (n < 0) return errno;
    return n == static_cast<ssize_t>(value.size()) ? 0 : EIO;
}

std::vector<pid_t> CgroupProcs(const std::string& dir) {
    std::vector<pid_t> pids;
    std::string text;
    if (ReadWholeFile(dir + "/cgroup.procs", text) != 0) return pids;
    const char* p = text.c_str();
    while (*p != 0) {
        char* end = nullptr;
        long v = strtol(p, &end, 10);
        if (end == p) break;
        if (v > 0) pids.push_back(static_cast<pid_t>(v));
        p = end;
        while (*p == '\n') ++p;
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

uint64_t CgroupKeyValue(const std::string& path, const char* key) {
    // Read whole: the keys of a stat file grow with the kernel's version.
    thread_local std::string text;
    if (ReadWholeFile(path, text) != 0) return 0;
    size_t klen = strlen(key);
    for (const char* line = text.c_str(); line != nullptr && *line != 0;) {
        if (strncmp(line, key, klen) == 0 && line[klen] == ' ') return strtoull(line + klen + 1, nullptr, 10);
        line = strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    return 0;
}

uint64_t CgroupNumber(const std::string& path) {
    char buf[64];
    size_t len = 0;
    if (ReadSmallFile(path, buf, sizeof(buf), len) != 0) return 0;
    return strtoull(buf, nullptr, 10);
}

std::string ProcessCgroup(pid_t pid) {
    return FirstLineAnswer("/proc/" + std::to_string(pid) + "/cgroup", [](const std::string& line) {
        return line.rfind("0::", 0) == 0 ? line.substr(3) : std::string();
    });
}

bool CgroupExists(const std::string& dir) {
    struct stat st;
    return !dir.empty() && stat(dir.c_str(), &st) == 0;
}

std::string CgroupText(const std::string& path) {
    std::string text;
    if (ReadWholeFile(path, text) != 0) return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

bool SampleProcess(pid_t pid, ProcSample& s, bool memory) {
    char path[64], buf[2048];
    size_t len = 0;
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    if (ReadSmallFile(path, buf, sizeof(buf), len) != 0) return false;
    char* p = strrchr(buf, ')');
    if (p == nullptr) return false;
    ++p;
    uint64_t minflt = 0, majflt = 0;
    for (int field = 3; field <= 41; ++field) {
        while (*p == ' ') ++p;
        if (*p == 0) {
            if (field <= 22) return false;
            break;
        }
        char* end = p;
        switch (field) {
        case 3:
            if (*p == 'Z' || *p == 'X') return false;  // ended: no longer a member
            break;
        case 10: minflt = strtoull(p, &end, 10); break;
        case 12: majflt = strtoull(p, &end, 10); break;
        case 14: s.utime = strtoull(p, &end, 10); break;
        case 15: s.stime = strtoull(p, &end, 10); break;
        case 19: s.nice = strtol(p, &end, 10); break;
        case 22: s.start = strtoull(p, &end, 10); break;
        case 41: s.policy = static_cast<unsigned>(strtoul(p, &end, 10)); break;
        default: break;
        }
        while (*p != ' ' && *p != 0) ++p;
    }
    s.faults = minflt + majflt;
    if (!memory) return true;
    // Read whole: the Groups line of a process in many groups is long, and
    // the memory lines come after it. The buffer is kept from call to call.
    thread_local std::string status;
    snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(pid));
    if (ReadWholeFile(path, status) != 0) return true;
    auto kb = [](const char* key) -> uint64_t {
        const char* at = strstr(status.c_str(), key);
        return at == nullptr ? 0 : strtoull(at + strlen(key), nullptr, 10) * 1024;
    };
    s.vmSize = kb("\nVmSize:");
    s.vmPeak = kb("\nVmPeak:");
    s.rss = kb("\nVmRSS:");
    s.rssPeak = kb("\nVmHWM:");
    return true;
}

bool ReadProcIo(pid_t pid, IO_COUNTERS& io) {
    char path[64], buf[1024];
    size_t len = 0;
    snprintf(path, sizeof(path), "/proc/%d/io", static_cast<int>(pid));
    if (ReadSmallFile(path, buf, sizeof(buf), len) != 0) return false;
    auto value = [&buf](const char* key) -> uint64_t {
        const char* at = strstr(buf, key);
        return at == nullptr ? 0 : strtoull(at + strlen(key), nullptr, 10);
    };
    io.ReadTransferCount += value("rchar:");
    io.WriteTransferCount += value("wchar:");
    io.ReadOperationCount += value("syscr:");
    io.WriteOperationCount += value("syscw:");
    return true;
}

DWORD SyncPidsMax(const std::string& dir, DWORD limit) {
    if (!CgroupExists(dir)) return ERROR_SUCCESS;
    uint64_t tasks = CgroupNumber(dir + "/pids.current");
    uint64_t processes = CgroupProcs(dir).size();
    uint64_t threads = tasks > processes ? tasks - processes : 0;
    std::string want = std::to_string(static_cast<uint64_t>(limit) + threads);
    if (CgroupText(dir + "/pids.max") == want) return ERROR_SUCCESS;
    int err = WriteCgroupFile(dir + "/pids.max", want);
    return err == 0 ? ERROR_SUCCESS : ErrnoToWin32(err);
}

uint64_t JobTicksTo100ns(uint64_t ticks) { return ticks * (10000000ull / static_cast<uint64_t>(Ticks())); }

}  // namespace pal
