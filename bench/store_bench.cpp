// The rule store: a full reload of 1,000 and of 10,000 process rules, and one
// process-rule add at 1,000 rules (the registry write and the reload of the
// list that follows it, as a client's add runs in the service).
//
// Baselines, measured in the same iteration: for a load, listing the rules
// key and reading every rule's `.values` with plain read(2); for an add, making
// one key directory and writing one `.values` durably (temp file, fsync,
// rename, fsync of the directory), then that same read of every rule.
//
// The rules beyond the first are copies of its key directory made with plain
// file calls (as an import or a hand edit would leave them), so that 10,000
// rules are in place in seconds.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/paired.h"
#include "bench/state_root.h"
#include "common/messages.h"
#include "common/texts.h"
#include "wire/rule_records.h"
#include "db/zembrik_db.h"
#include "pal/strings.h"

namespace {

using Clock = std::chrono::steady_clock;

ZembrikDb* g_db = nullptr;
std::string g_rulesDir;  // the ProcessRules key's directory
size_t g_rules = 0;      // rules in the store

std::vector<BYTE> Rule(const std::u16string& name) {
    std::vector<BYTE> bytes(kProcDetailFixedSize + 1, 0);
    auto* d = reinterpret_cast<ProcDetail*>(bytes.data());
    lstrcpynW(d->summary.name, name.c_str(), 64);
    lstrcpynW(d->summary.mgmt.description, u"a rule of the store benchmark", 64);
    d->summary.mgmt.mgmtFlags = ApplyPriority;
    d->summary.mgmt.priority = 10;
    return bytes;
}

std::string Name(size_t i) {
    char buf[32];
    snprintf(buf, sizeof(buf), "Rule%05zu", i);
    return buf;
}

bool CopyFile(int fromDir, int toDir, const char* name) {
    int in = openat(fromDir, name, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st;
    char buf[4096];
    ssize_t n = fstat(in, &st) == 0 ? read(in, buf, sizeof(buf)) : -1;
    close(in);
    if (n < 0) return false;
    int out = openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) return false;
    bool ok = write(out, buf, static_cast<size_t>(n)) == n && fchown(out, st.st_uid, st.st_gid) == 0 &&
              fchmod(out, st.st_mode & 07777) == 0;
    close(out);
    return ok;
}

// Grows the store to `count` rules: the first through the database, the
// others as copies of its key directory.
bool Populate(size_t count) {
    if (g_rules == 0) {
        std::vector<BYTE> r = Rule(pal::ToUtf16(Name(0)));
        if (g_db->AddProcRule(reinterpret_cast<ProcDetail*>(r.data())) != 0) return false;
        g_rules = 1;
    }
    int rules = open(g_rulesDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rules < 0) return false;
    std::string first = Name(0);
    int model = openat(rules, first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    bool ok = model >= 0 && fstat(model, &st) == 0;
    for (; ok && g_rules < count; ++g_rules) {
        std::string name = Name(g_rules);
        ok = mkdirat(rules, name.c_str(), 0700) == 0;
        int dir = ok ? openat(rules, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ok = dir >= 0 && fchown(dir, st.st_uid, st.st_gid) == 0 && fchmod(dir, st.st_mode & 07777) == 0 &&
             CopyFile(model, dir, ".values");
        if (dir >= 0) close(dir);
    }
    if (model >= 0) close(model);
    close(rules);
    return ok;
}

// The floor of a reload: every rule's `.values` read with plain read(2).
size_t ReadAllRaw() {
    int rules = open(g_rulesDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rules < 0) return 0;
    DIR* d = fdopendir(rules);
    if (d == nullptr) {
        close(rules);
        return 0;
    }
    size_t read_ = 0;
    char path[300], buf[4096];
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        snprintf(path, sizeof(path), "%s/.values", e->d_name);
        int fd = openat(dirfd(d), path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (read(fd, buf, sizeof(buf)) > 0) ++read_;
        close(fd);
    }
    closedir(d);
    return read_;
}

void BM_LoadProcRules(benchmark::State& state) {
    size_t count = static_cast<size_t>(state.range(0));
    if (!Populate(count) || g_db->LoadRules(kLoadProcRules) != 0 || g_db->ProcCount() != count) {
        state.SkipWithError("cannot populate the store");
        return;
    }
    bench::RunPaired(
        state, [count] { return g_db->LoadRules(kLoadProcRules) == 0 && g_db->ProcCount() == count; },
        [count] { return ReadAllRaw() == count; }, "a load or raw read failed", "raw_load/s");
    state.counters["rules"] = double(count);
    state.counters["pal_us_per_rule"] = state.counters["pal_med_ns"] / 1000.0 / double(count);
    state.counters["raw_us_per_rule"] = state.counters["raw_med_ns"] / 1000.0 / double(count);
}

// The floor of an add: one key directory and one durable `.values`, then the
// reread of every rule.
bool RawAdd(const std::string& name, size_t expect) {
    int rules = open(g_rulesDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rules < 0) return false;
    bool ok = mkdirat(rules, name.c_str(), 0755) == 0;
    int dir = ok ? openat(rules, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    static const char kText[] =
        "[\n {\"name\": \"DfltMgmt\", \"type\": \"REG_SZ\", \"data\": \"{F0x2,A0x0,P0xa,L0x0,H0x0,S0x5,T0x0,U0x0,"
        "C0x0,M0x0,N0x0}\"},\n {\"name\": \"Description\", \"type\": \"REG_SZ\", \"data\": \"a rule\"}\n]\n";
    int fd = dir >= 0 ? openat(dir, ".values.tmp", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1;
    ok = fd >= 0 && write(fd, kText, sizeof(kText) - 1) == sizeof(kText) - 1 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    ok = ok && renameat(dir, ".values.tmp", dir, ".values") == 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
    close(rules);
    return ok && ReadAllRaw() == expect;
}

void RawRemove(const std::string& name) {
    std::string dir = g_rulesDir + "/" + name;
    unlink((dir + "/.values").c_str());
    rmdir(dir.c_str());
}

void BM_AddProcRule(benchmark::State& state) {
    size_t count = static_cast<size_t>(state.range(0));
    if (!Populate(count) || g_db->LoadRules(kLoadProcRules) != 0 || g_db->ProcCount() != count) {
        state.SkipWithError("cannot populate the store");
        return;
    }
    std::vector<double> palEach, rawEach;
    double palSeconds = 0, rawSeconds = 0;
    size_t i = 0;
    for (auto _ : state) {
        std::u16string name = pal::ToUtf16("Added" + std::to_string(i++));
        std::vector<BYTE> r = Rule(name);
        auto* rule = reinterpret_cast<ProcDetail*>(r.data());
        Clock::time_point t0 = Clock::now();
        bool palOk = g_db->AddProcRule(rule) == 0 && g_db->ProcCount() == count + 1;
        Clock::time_point t1 = Clock::now();
        bool rawOk = RawAdd("RawAdded", count + 2);
        Clock::time_point t2 = Clock::now();
        // Back to `count` rules, untimed.
        RawRemove("RawAdded");
        bool undone = g_db->DeleteProcRule(rule) == 0 && g_db->ProcCount() == count;
        if (!palOk || !rawOk || !undone) {
            state.SkipWithError("an add, its floor or the removal failed");
            return;
        }
        double p = std::chrono::duration<double>(t1 - t0).count();
        double w = std::chrono::duration<double>(t2 - t1).count();
        palEach.push_back(p);
        rawEach.push_back(w);
        palSeconds += p;
        rawSeconds += w;
        state.SetIterationTime(p);
    }
    double palMedian = bench::Median(palEach), rawMedian = bench::Median(rawEach);
    state.counters["rules"] = double(count);
    state.counters["pal_med_ns"] = palMedian * 1e9;
    state.counters["raw_med_ns"] = rawMedian * 1e9;
    state.counters["ratio"] = rawMedian > 0 ? palMedian / rawMedian : 0;
    state.counters["ratio_mean"] = rawSeconds > 0 ? palSeconds / rawSeconds : 0;
}
// In this order: the store only grows, and the add runs at 1,000 rules.
BENCHMARK(BM_LoadProcRules)->Arg(1000)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddProcRule)->Arg(1000)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadProcRules)->Arg(10000)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);

int Run(const std::string&) {
    RegisterProgramResources();
    LoadTexts();
    ZembrikDb db;
    if (!db.IsReady() || db.LoadRules(kLoadAliasRules | kLoadProcRules | kLoadGroupRules) != 0) {
        fprintf(stderr, "the rule database is not ready\n");
        return 1;
    }
    g_rulesDir = std::string(getenv("ZEMBRIK_SYSROOT")) + "/registry/HKLM/SYSTEM/CurrentControlSet/Services/Zembrik/"
                 "Parameters/ProcessRules";
    g_db = &db;
    benchmark::RunSpecifiedBenchmarks();
    g_db = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunInStateRoot(argc, argv, Run); }
