// zembrikctl top: a live view of the managed groups and processes, drawn
// from the service's lists once a second.
#include <algorithm>
#include <csignal>
#include <map>
#include <utility>

#include "client/service_commands.h"
#include "common/prom_text.h"
#include "pal/console.h"
#include "pal/error.h"
#include "pal/process.h"
#include "pal/sync.h"

namespace zctl {

const char kTopSummary[] = "a live view of groups and managed processes";

namespace {

const char kTopUsage[] =
    "Usage: zembrikctl top [--once] [--delay SECONDS] [--sort KEY]\n"
    "\n"
    "Shows the running groups (CPU use, resident memory of their members,\n"
    "members now, started and ended, limits hit, settings) and the managed\n"
    "processes, refreshed every second until q is pressed. Keys: c sorts by\n"
    "CPU, m by memory, p by members, h by limits hit, n by name; q quits.\n"
    "CPU% is the share of one CPU since the last refresh; memory is what the\n"
    "members have in memory now.\n"
    "\n"
    "Options:\n"
    "  --once          print one frame (two samples DELAY apart) and end\n"
    "  --delay S       seconds between refreshes (0.1-3600, default 1)\n"
    "  --sort KEY      cpu, memory, members, hits or name (default cpu)\n"
    "  -h, --help      this text\n";

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

enum class SortKey { Cpu, Memory, Members, Hits, Name };

bool ParseSortKey(const std::string& text, SortKey& key) {
    static const std::pair<const char*, SortKey> kKeys[] = {{"cpu", SortKey::Cpu},
                                                            {"memory", SortKey::Memory},
                                                            {"mem", SortKey::Memory},
                                                            {"members", SortKey::Members},
                                                            {"hits", SortKey::Hits},
                                                            {"name", SortKey::Name}};
    for (const auto& k : kKeys)
        if (ToLowerAscii(text) == k.first) {
            key = k.second;
            return true;
        }
    return false;
}

const char* SortWord(SortKey key) {
    switch (key) {
    case SortKey::Cpu: return "cpu";
    case SortKey::Memory: return "memory";
    case SortKey::Members: return "members";
    case SortKey::Hits: return "hits";
    default: return "name";
    }
}

// A process is itself only with its creation time: pids are reused.
using ProcessKey = std::pair<ULONGLONG, ULONGLONG>;

// One look at the service.
struct Sample {
    ULONGLONG at = 0;  // FILETIME units
    ServiceProcesses service;
    DWORD pollSeconds = 0;
    std::vector<JobListEntry> groups;
    std::vector<JobSummary> rules;
    std::vector<ProcListEntry> procs;  // managed and running
    std::map<ProcessKey, ULONGLONG> resident;
    std::map<std::string, ULONGLONG> hits;  // limit hits by group, from the metrics file
};

DWORD TakeSample(ServiceClient& client, Sample& s) {
    s = Sample{};
    DWORD rc = QueryServiceProcesses(s.service);
    if (rc != 0) return rc;
    ServiceInfo info{};
    if ((rc = GetServiceInfo(client, info)) != 0) return rc;
    s.pollSeconds = info.pollSeconds;
    JobListEntry gkey{};
    if ((rc = FetchGroupList(client, gkey, ListRunningOnly, s.groups)) != 0) return rc;
    JobSummary rkey{};
    if ((rc = FetchGroupSummaries(client, rkey, 0, s.rules)) != 0) return rc;
    std::vector<ProcListEntry> all;
    ProcListEntry pkey{};
    if ((rc = FetchProcList(client, pkey, ListRunningOnly, all)) != 0) return rc;
    s.at = NowFileTime();
    for (const ProcListEntry& p : all) {
        if ((p.listFlags & RunningNow) == 0 || (p.listFlags & (RuleInEffect | InManagedGroup)) == 0) continue;
        s.procs.push_back(p);
        PAL_PROCESS_FACTS f{};
        if (p.pid <= 0xFFFFFFFFULL && PalQueryProcessFacts(static_cast<DWORD>(p.pid), &f)) {
            if (FileTimeValue(f.creationTime) == p.creationTime) s.resident[{p.pid, p.creationTime}] = f.residentBytes;
        }
    }
    std::string text, error;
    if (ReadMetricsFile(text, error)) {
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            PromSample sample;
            if (ParsePromSample(std::string_view(text).substr(start, end - start), sample) &&
                sample.name == "zembrik_group_limit_hits_total")
                s.hits[sample.Label("group")] += static_cast<ULONGLONG>(sample.value);
            start = end + 1;
        }
    }
    return 0;
}

// Text cut or padded to `width` terminal columns.
std::string Fit(const std::string& text, size_t width, bool right = false) {
    std::string t = OneLine(text);
    size_t w = PalDisplayWidth(t);
    if (w > width) {
        // Cut at a character boundary, leaving room for the mark.
        std::string cut;
        size_t used = 0;
        for (size_t i = 0; i < t.size();) {
            size_t n = 1;
            while (i + n < t.size() && (static_cast<unsigned char>(t[i + n]) & 0xC0) == 0x80) ++n;
            size_t cw = PalDisplayWidth(std::string_view(t).substr(i, n));
            if (used + cw + 1 > width) break;
            cut.append(t, i, n);
            used += cw;
            i += n;
        }
        if (width > 0) {
            cut += '~';
            ++used;
        }
        return cut + std::string(width - used, ' ');
    }
    std::string pad(width - w, ' ');
    return right ? pad + t : t + pad;
}

std::string Percent(double value) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%.1f", value);
    return buf;
}

struct GroupRow {
    std::string name, settings;
    double cpu = 0;
    ULONGLONG memory = 0, members = 0, started = 0, ended = 0, hits = 0;
};

struct ProcRow {
    ULONGLONG pid = 0;
    std::string name, group, priority;
    double cpu = 0;
    ULONGLONG memory = 0;
    bool memoryKnown = false;
};

// The frame for `now`, with CPU shares since `before`; at most `rows` lines
// of `columns` columns (0: no limit).
std::string Frame(const Sample& before, const Sample& now, SortKey sort, size_t columns, size_t rows) {
    double wall = now.at > before.at ? static_cast<double>(now.at - before.at) : 0;
    auto share = [wall](ULONGLONG was, ULONGLONG is) {
        return wall > 0 && is > was ? 100.0 * static_cast<double>(is - was) / wall : 0.0;
    };
    std::map<std::string, ULONGLONG> cpuBefore;
    for (const JobListEntry& g : before.groups)
        cpuBefore[FieldText(g.name, kNameUnits)] = g.totalUserTime + g.totalKernelTime;
    std::map<ProcessKey, ULONGLONG> procBefore;
    for (const ProcListEntry& p : before.procs) procBefore[{p.pid, p.creationTime}] = p.userTime + p.kernelTime;

    std::vector<ProcRow> procs;
    std::map<std::string, ULONGLONG> groupMemory;
    for (const ProcListEntry& p : now.procs) {
        ProcRow r;
        r.pid = p.pid;
        r.name = FieldText(p.name, kNameUnits);
        r.group = FieldText(p.groupName, kNameUnits);
        r.priority = PriorityWord(p.priority);
        auto was = procBefore.find({p.pid, p.creationTime});
        r.cpu = was == procBefore.end() ? 0 : share(was->second, p.userTime + p.kernelTime);
        auto mem = now.resident.find({p.pid, p.creationTime});
        r.memoryKnown = mem != now.resident.end();
        r.memory = r.memoryKnown ? mem->second : 0;
        if (!r.group.empty()) groupMemory[r.group] += r.memory;
        procs.push_back(std::move(r));
    }
    std::vector<GroupRow> groups;
    for (const JobListEntry& g : now.groups) {
        GroupRow r;
        r.name = FieldText(g.name, kNameUnits);
        ULONGLONG cpu = g.totalUserTime + g.totalKernelTime;
        auto was = cpuBefore.find(r.name);
        r.cpu = was == cpuBefore.end() ? 0 : share(was->second, cpu);
        r.memory = groupMemory[r.name];
        r.members = g.activeProcesses;
        r.started = g.totalProcesses;
        r.ended = g.terminatedProcesses;
        auto hit = now.hits.find(r.name);
        r.hits = hit == now.hits.end() ? 0 : hit->second;
        r.settings = "-";
        for (const JobSummary& rule : now.rules)
            if (FieldText(rule.name, kNameUnits) == r.name) r.settings = SettingsText(RuleKind::Group, rule.mgmt, nullptr);
        groups.push_back(std::move(r));
    }
    auto byName = [](const std::string& a, const std::string& b) { return a < b; };
    std::stable_sort(groups.begin(), groups.end(), [&](const GroupRow& a, const GroupRow& b) {
        switch (sort) {
        case SortKey::Cpu: return a.cpu > b.cpu;
        case SortKey::Memory: return a.memory > b.memory;
        case SortKey::Members: return a.members > b.members;
        case SortKey::Hits: return a.hits > b.hits;
        default: return byName(a.name, b.name);
        }
    });
    std::stable_sort(procs.begin(), procs.end(), [&](const ProcRow& a, const ProcRow& b) {
        switch (sort) {
        case SortKey::Memory: return a.memory > b.memory;
        case SortKey::Name: return byName(a.name, b.name);
        default: return a.cpu > b.cpu;
        }
    });

    std::vector<std::string> lines;
    const ServiceProcesses& sv = now.service;
    std::string head = "zembrik: pid " + std::to_string(sv.pid);
    if (sv.started != 0 && now.at > sv.started) head += ", up " + UptimeText(now.at - sv.started);
    head += sv.mediatorPid != 0 ? ", mediator " + std::to_string(sv.mediatorPid) : ", no mediator";
    head += ", poll " + std::to_string(now.pollSeconds) + " s";
    lines.push_back(head);
    auto count = [](size_t n, const char* one, const char* many) { return std::to_string(n) + (n == 1 ? one : many); };
    lines.push_back(count(groups.size(), " group, ", " groups, ") +
                    count(procs.size(), " managed process", " managed processes") + "; sort " + SortWord(sort) +
                    " (c m p h n), q quits");
    lines.push_back("");
    auto groupLine = [](const std::string& name, const std::string& cpu, const std::string& mem,
                        const std::string& members, const std::string& started, const std::string& ended,
                        const std::string& hits, const std::string& settings) {
        return Fit(name, 18) + " " + Fit(cpu, 6, true) + " " + Fit(mem, 7, true) + " " + Fit(members, 7, true) + " " +
               Fit(started, 7, true) + " " + Fit(ended, 6, true) + " " + Fit(hits, 5, true) + "  " + OneLine(settings);
    };
    lines.push_back(groupLine("GROUP", "CPU%", "MEMORY", "MEMBERS", "STARTED", "ENDED", "HITS", "SETTINGS"));
    // Half of what is left goes to the groups when the screen is short.
    size_t groupRoom = groups.size();
    if (rows > 0) {
        size_t left = rows > lines.size() + 3 ? rows - lines.size() - 3 : 0;
        size_t half = left / 2 > 1 ? left / 2 : 1;
        if (groups.size() > half && procs.size() + 1 > left - half) groupRoom = std::max(half, left - procs.size() - 1);
        groupRoom = std::min(groupRoom, left);
    }
    for (size_t i = 0; i < groups.size() && i < groupRoom; ++i) {
        const GroupRow& g = groups[i];
        lines.push_back(groupLine(g.name, Percent(g.cpu), SizeText(g.memory), std::to_string(g.members),
                                  std::to_string(g.started), std::to_string(g.ended), std::to_string(g.hits),
                                  g.settings));
    }
    lines.push_back("");
    auto procLine = [](const std::string& pid, const std::string& name, const std::string& group,
                       const std::string& cpu, const std::string& mem, const std::string& priority) {
        return Fit(pid, 7, true) + " " + Fit(name, 20) + " " + Fit(group, 18) + " " + Fit(cpu, 6, true) + " " +
               Fit(mem, 7, true) + "  " + OneLine(priority);
    };
    lines.push_back(procLine("PID", "PROCESS", "GROUP", "CPU%", "MEMORY", "PRIORITY"));
    for (const ProcRow& p : procs) {
        if (rows > 0 && lines.size() >= rows) break;
        lines.push_back(procLine(std::to_string(p.pid), p.name, p.group.empty() ? "-" : p.group, Percent(p.cpu),
                                 p.memoryKnown ? SizeText(p.memory) : "-", p.priority));
    }
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string& l = lines[i];
        if (columns > 0 && PalDisplayWidth(l) > columns) l = Fit(l, columns);
        while (!l.empty() && l.back() == ' ') l.pop_back();
        text += l;
        // On a terminal each line clears what an earlier, longer frame left,
        // and the last one ends without a line feed: on the bottom row it
        // would scroll the frame's first line away.
        if (rows == 0) text += "\n";
        else text += i + 1 < lines.size() ? "\x1b[K\n" : "\x1b[K";
    }
    return text;
}

// The terminal as top found it, back on every way out.
class Screen {
public:
    Screen() = default;
    ~Screen() { Leave(); }
    bool Enter(std::FILE* out) {
        if (!PalSetConsoleRawInput(TRUE)) return false;
        out_ = out;
        Write(out_, "\x1b[?1049h\x1b[?25l");  // the alternate screen, no cursor
        return true;
    }
    void Leave() {
        if (out_ == nullptr) return;
        Write(out_, "\x1b[?25h\x1b[?1049l");
        std::fflush(out_);
        PalSetConsoleRawInput(FALSE);
        out_ = nullptr;
    }

private:
    std::FILE* out_ = nullptr;
};

}  // namespace

int RunTopCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    int status = 0;
    if (!ParseCommandArgs("top", args, {"--once"}, {"--delay", "--sort"}, kTopUsage, a, out, err, status)) return status;
    DWORD delayMs = 1000;
    if (a.Has("--delay")) {
        std::string d = a.Get("--delay");
        char* end = nullptr;
        double seconds = std::strtod(d.c_str(), &end);
        if (d.empty() || *end != 0 || !(seconds >= 0.1 && seconds <= 3600))
            return Failed(err, "top", "--delay: '" + OneLine(d) + "' is not a number of seconds from 0.1 to 3600");
        delayMs = static_cast<DWORD>(seconds * 1000);
    }
    SortKey sort = SortKey::Cpu;
    if (a.Has("--sort") && !ParseSortKey(a.Get("--sort"), sort))
        return Failed(err, "top", "--sort: '" + OneLine(a.Get("--sort")) + "' is not cpu, memory, members, hits or name");
    bool once = a.Has("--once");
    if (!once && (!PalIsConsole(PAL_CONSOLE_INPUT) || !PalIsConsole(PAL_CONSOLE_OUTPUT)))
        return Failed(err, "top", "the live view needs a terminal; --once prints one frame");

    ServiceClient client;
    if (!ConnectOrSay(client, "top", err)) return 1;
    Sample before, now;
    DWORD rc = TakeSample(client, before);
    if (rc != 0) return FailedResult(err, "top", rc);
    if (once) {
        Sleep(delayMs);
        if ((rc = TakeSample(client, now)) != 0) return FailedResult(err, "top", rc);
        Write(out, Frame(before, now, sort, 0, 0));
        return 0;
    }

    g_stop = 0;
    auto oldInt = std::signal(SIGINT, OnStop);
    auto oldTerm = std::signal(SIGTERM, OnStop);
    auto oldHup = std::signal(SIGHUP, OnStop);
    status = 0;
    {
        Screen screen;
        if (!screen.Enter(out)) {
            status = FailedResult(err, "top", GetLastError());
        } else {
            now = before;
            while (g_stop == 0) {
                WORD columns = 80, rows = 24;
                PalGetConsoleSize(&columns, &rows);
                Write(out, "\x1b[H" + Frame(before, now, sort, columns, rows) + "\x1b[J");
                std::fflush(out);
                ULONGLONG deadline = GetTickCount64() + delayMs;
                bool redraw = false;
                for (ULONGLONG t = GetTickCount64(); !redraw && g_stop == 0 && t < deadline; t = GetTickCount64()) {
                    int key = PalReadConsoleKey(static_cast<DWORD>(deadline - t));
                    if (key == PAL_CONSOLE_END || key == 'q' || key == 'Q') g_stop = 1;
                    static const std::pair<int, SortKey> kKeys[] = {{'c', SortKey::Cpu},     {'m', SortKey::Memory},
                                                                    {'p', SortKey::Members}, {'h', SortKey::Hits},
                                                                    {'n', SortKey::Name}};
                    for (const auto& k : kKeys)
                        if (key == k.first || key == k.first - 32) {
                            sort = k.second;
                            redraw = true;
                        }
                }
                if (redraw || g_stop != 0) continue;
                Sample next;
                if ((rc = TakeSample(client, next)) != 0) {
                    screen.Leave();
                    status = FailedResult(err, "top", rc);
                    break;
                }
                before = std::move(now);
                now = std::move(next);
            }
        }
    }
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    std::signal(SIGHUP, oldHup);
    return status;
}

}  // namespace zctl
