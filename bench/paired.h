// One platform-layer operation against its raw-Linux baseline, measured in
// turn in the same iteration so that load from elsewhere hits both alike.
#pragma once
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// Preemption on a busy machine hits single operations hard; the medians give
// a ratio that holds still from run to run.
inline double Median(std::vector<double>& v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Runs palOp then rawOp once per iteration (manual time = the pal side) and
// reports items/s of pal, raw ops/s under `rawRateName`, both medians and the
// ratio pal/raw of the medians ("ratio") and of the means ("ratio_mean").
template <typename Pal, typename Raw>
void RunPaired(benchmark::State& state, Pal palOp, Raw rawOp, const char* failure, const char* rawRateName) {
    using Clock = std::chrono::steady_clock;
    double palSeconds = 0, rawSeconds = 0;
    std::vector<double> palEach, rawEach;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        bool palOk = palOp();
        Clock::time_point t1 = Clock::now();
        bool rawOk = rawOp();
        Clock::time_point t2 = Clock::now();
        if (!palOk || !rawOk) {
            state.SkipWithError(failure);
            break;
        }
        double p = std::chrono::duration<double>(t1 - t0).count();
        double r = std::chrono::duration<double>(t2 - t1).count();
        palSeconds += p;
        rawSeconds += r;
        palEach.push_back(p);
        rawEach.push_back(r);
        state.SetIterationTime(p);
    }
    double n = static_cast<double>(state.iterations());
    if (n == 0 || rawSeconds == 0) return;
    state.SetItemsProcessed(state.iterations());
    double palMedian = Median(palEach), rawMedian = Median(rawEach);
    state.counters[rawRateName] = n / rawSeconds;
    state.counters["pal_med_ns"] = palMedian * 1e9;
    state.counters["raw_med_ns"] = rawMedian * 1e9;
    state.counters["ratio"] = rawMedian > 0 ? palMedian / rawMedian : 0;
    state.counters["ratio_mean"] = palSeconds / rawSeconds;
}

}  // namespace bench
