// Wake-up latency of WaitForMultipleObjects: a ping-pong between two threads
// over two auto-reset events, against the same ping-pong over two eventfds
// and poll(). Both run in the same benchmark, one round trip of each in turn,
// so load from elsewhere on the machine hits both alike.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench/paired.h"
#include "pal/sync.h"

namespace {

// Both sides wait on `count` objects; the one that matters is the last, so a
// wait-any scan passes every idle object first.
class PalPingPong {
public:
    explicit PalPingPong(int count) {
        for (int side = 0; side < 2; ++side) {
            for (int i = 0; i + 1 < count; ++i) handles_[side].push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
            handles_[side].push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        }
        for (auto& side : handles_)
            for (HANDLE h : side) ok_ = ok_ && h != nullptr;
        if (ok_) ponger_ = std::thread([this] { Pong(); });
    }
    ~PalPingPong() {
        if (ponger_.joinable()) {
            stop_ = true;
            SetEvent(Ping());
            ponger_.join();
        }
        for (auto& side : handles_)
            for (HANDLE h : side)
                if (h != nullptr) CloseHandle(h);
    }
    bool ok() const { return ok_; }
    bool RoundTrip() {
        SetEvent(Ping());
        auto& mine = handles_[1];
        return WaitForMultipleObjects(static_cast<DWORD>(mine.size()), mine.data(), FALSE, INFINITE) ==
               WAIT_OBJECT_0 + mine.size() - 1;
    }

private:
    HANDLE Ping() { return handles_[0].back(); }
    void Pong() {
        auto& mine = handles_[0];
        for (;;) {
            DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(mine.size()), mine.data(), FALSE, INFINITE);
            if (rc != WAIT_OBJECT_0 + mine.size() - 1 || stop_) return;
            SetEvent(handles_[1].back());
        }
    }

    std::vector<HANDLE> handles_[2];
    bool ok_ = true;
    std::atomic<bool> stop_{false};
    std::thread ponger_;
};

// The same over eventfds: poll() on `count` descriptors, then read the one
// that fired (an auto-reset event consumes its signal the same way).
class RawPingPong {
public:
    explicit RawPingPong(int count) {
        for (int side = 0; side < 2; ++side)
            for (int i = 0; i < count; ++i) {
                int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
                ok_ = ok_ && fd >= 0;
                fds_[side].push_back(pollfd{fd, POLLIN, 0});
            }
        if (ok_) ponger_ = std::thread([this] { Pong(); });
    }
    ~RawPingPong() {
        if (ponger_.joinable()) {
            stop_ = true;
            Signal(fds_[0].back().fd);
            ponger_.join();
        }
        for (auto& side : fds_)
            for (pollfd& p : side)
                if (p.fd >= 0) close(p.fd);
    }
    bool ok() const { return ok_; }
    bool RoundTrip() {
        Signal(fds_[0].back().fd);
        return Wait(fds_[1]);
    }

private:
    static void Signal(int fd) {
        uint64_t one = 1;
        ssize_t n = write(fd, &one, sizeof(one));
        (void)n;
    }
    static bool Wait(std::vector<pollfd>& set) {
        for (;;) {
            if (poll(set.data(), set.size(), -1) < 0) return false;
            uint64_t value;
            if (read(set.back().fd, &value, sizeof(value)) == sizeof(value)) return true;
        }
    }
    void Pong() {
        while (Wait(fds_[0]) && !stop_) Signal(fds_[1].back().fd);
    }

    std::vector<pollfd> fds_[2];
    bool ok_ = true;
    std::atomic<bool> stop_{false};
    std::thread ponger_;
};

void BM_WaitPingPong(benchmark::State& state) {
    int count = static_cast<int>(state.range(0));
    PalPingPong pal(count);
    RawPingPong raw(count);
    if (!pal.ok() || !raw.ok()) {
        state.SkipWithError("cannot create the events or eventfds");
        return;
    }
    for (int i = 0; i < 100; ++i) pal.RoundTrip() && raw.RoundTrip();
    // Round trips per second of pal; the raw rate beside it.
    bench::RunPaired(state, [&] { return pal.RoundTrip(); }, [&] { return raw.RoundTrip(); }, "a wait failed",
                     "raw_rt/s");
}
BENCHMARK(BM_WaitPingPong)->ArgName("handles")->Arg(1)->Arg(8)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
