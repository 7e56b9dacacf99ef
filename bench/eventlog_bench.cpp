// Event-log appends through ReportEventW into a temporary state root, against
// a raw O_APPEND write() of a line of the same size into the same folder.
// One append of each per iteration, so both see the same machine load.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/paired.h"
#include "bench/state_root.h"
#include "pal/eventlog.h"
#include "pal/resource.h"
#include "pal/stateroot.h"

namespace {

const PAL_MESSAGE_RESOURCE kMessages[] = {{0x60000096, u"%1 has started.\r\n"}};
const PAL_MODULE_RESOURCES kResources = {nullptr, 0, kMessages, 1, nullptr, 0};

void BM_ReportEvent(benchmark::State& state) {
    HANDLE source = RegisterEventSourceW(nullptr, u"Zembrik");
    LPCWSTR strings[1] = {u"Zembrik"};
    auto report = [&] {
        return ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0x60000096, nullptr, 1, 0, strings, nullptr);
    };
    std::string dir = PalStateRootPath() + "/eventlog";
    // Every entry has the same length (same text, time format and pid): the
    // growth of the log by one entry.
    std::error_code ec;
    uintmax_t before = std::filesystem::file_size(dir + "/System.log", ec);
    if (ec) before = 0;
    if (source == nullptr || !report()) {
        state.SkipWithError("cannot write the event log");
        if (source != nullptr) DeregisterEventSource(source);
        return;
    }
    uintmax_t after = std::filesystem::file_size(dir + "/System.log", ec);
    std::string line(after > before ? after - before : 2, 'x');
    line.back() = '\n';
    int raw = open((dir + "/raw.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (raw < 0 || ec || after <= before) {
        state.SkipWithError("cannot open the baseline file");
        if (raw >= 0) close(raw);
        DeregisterEventSource(source);
        return;
    }
    // ReportEventW appends per second; the raw rate beside it.
    bench::RunPaired(state, [&] { return report() != FALSE; },
                     [&] { return write(raw, line.data(), line.size()) == static_cast<ssize_t>(line.size()); },
                     "an append failed", "raw_items/s");
    close(raw);
    DeregisterEventSource(source);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
    state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_ReportEvent)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    return bench::RunInStateRoot(argc, argv, [](const std::string&) {
        PalSetModuleResources(&kResources);
        benchmark::RunSpecifiedBenchmarks();
        return 0;
    });
}
