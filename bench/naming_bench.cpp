// Alias naming: names per second of ZembrikDb::NameProcess with the 50 alias
// rules of the manager benchmark over a mix of 64 image paths (workers the
// rules name after 9 to 49 misses, system programs only the default rule
// names, paths with extensions, deep folders). The baseline, in the same
// iteration, does the least any naming does: finds the last component of
// each path and compares it with 50 patterns.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "bench/alias_rules.h"
#include "bench/paired.h"
#include "bench/state_root.h"
#include "common/messages.h"
#include "common/texts.h"
#include "db/zembrik_db.h"

namespace {

ZembrikDb* g_db = nullptr;
std::vector<std::u16string> g_paths;
std::vector<std::u16string> g_patterns;

void MakePaths() {
    const char* fixed[] = {
        "\\usr\\sbin\\sshd", "\\usr\\lib\\systemd\\systemd-journald", "\\usr\\bin\\bash", "\\usr\\bin\\sleep",
        "\\usr\\sbin\\cron", "\\usr\\bin\\python3.11", "\\opt\\suite03\\bin\\server", "\\srv\\vendor02\\run\\agent",
        "\\home\\build\\app05.exe", "\\usr\\libexec\\gcc\\x86_64-linux-gnu\\12\\cc1plus", "System", "Unknown",
        "\\usr\\local\\bin\\tool00", "\\usr\\lib\\jvm\\java-17\\bin\\java", "\\usr\\bin\\dbus-daemon",
        "\\var\\lib\\zembrik\\bin\\ZembrikService",
    };
    for (const char* p : fixed) g_paths.push_back(bench::U16(p));
    for (int i = 0; g_paths.size() < 64; ++i)
        g_paths.push_back(bench::U16("\\tmp\\zembrik-bench-x\\root\\bin\\worker" + std::to_string(i % 10)));
    for (int i = 0; i < bench::kAliasRules; ++i) g_patterns.push_back(bench::U16("pattern" + bench::Two(i)));
}

bool NameAll() {
    WCHAR name[64], image[64];
    size_t named = 0;
    for (const std::u16string& p : g_paths) {
        g_db->NameProcess(p.c_str(), name, image);
        named += name[0] != 0;
    }
    benchmark::DoNotOptimize(named);
    return named > 0;
}

bool FloorAll() {
    size_t hits = 0;
    for (const std::u16string& p : g_paths) {
        std::u16string_view path(p);
        size_t slash = path.rfind(u'\\');
        std::u16string_view program = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
        for (const std::u16string& pattern : g_patterns) hits += program == pattern;
    }
    benchmark::DoNotOptimize(hits);
    return true;
}

void BM_NameProcess(benchmark::State& state) {
    bench::RunPaired(state, NameAll, FloorAll, "naming failed", "floor_pass/s");
    double perPass = static_cast<double>(g_paths.size());
    if (state.counters.find("pal_med_ns") == state.counters.end()) return;
    state.counters["names_per_s"] = perPass * 1e9 / state.counters["pal_med_ns"];
    state.counters["floor_names_per_s"] = perPass * 1e9 / state.counters["raw_med_ns"];
    state.counters["rules"] = static_cast<double>(g_db->AliasCount());
}
BENCHMARK(BM_NameProcess)->UseManualTime()->MinTime(1.0)->Unit(benchmark::kMicrosecond);

int Run(const std::string&) {
    RegisterProgramResources();
    LoadTexts();
    ZembrikDb db;
    if (!db.IsReady() || db.LoadRules(kLoadAliasRules) != 0 || !bench::AddAliasRules(db) ||
        db.LoadRules(kLoadAliasRules) != 0 || db.AliasCount() != bench::kAliasRules + 1) {
        fprintf(stderr, "cannot build the alias rules\n");
        return 1;
    }
    MakePaths();
    g_db = &db;
    benchmark::RunSpecifiedBenchmarks();
    g_db = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunInStateRoot(argc, argv, Run); }
