// The client endpoint under load: requests per second and p50/p99 latency of
// service information (type 8) and of a whole 500-entry process list (type 4,
// in pages), with 1 and 16 clients at once, against the real service. The
// floor is a raw SOCK_SEQPACKET round trip of the same sizes (request out,
// reply back) through an echo thread, measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/state_root.h"
#include "client/service_client.h"
#include "pal/error.h"
#include "pal/mapping.h"
#include "pal/pipe.h"
#include "pal/process.h"
#include "pal/sync.h"
#include "wire/request_protocol.h"
#include "wire/shared_job_table.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kInfoRequestsPerClient = 400;
constexpr int kListsPerClient = 40;
constexpr int kListProcesses = 500;

// One connection of the client library; null when it could not connect.
std::unique_ptr<zctl::ServiceClient> OpenService() {
    auto c = std::make_unique<zctl::ServiceClient>();
    for (int i = 0; i < 200 && c->Connect() != 0; ++i) usleep(10000);
    return c->IsConnected() ? std::move(c) : nullptr;
}
void CloseService(std::unique_ptr<zctl::ServiceClient>& c) { c.reset(); }

struct Result {
    double perSecond = 0, p50 = 0, p99 = 0;
    bool ok = true;
};

// `clients` threads, each running `op` kRequestsPerClient times on its own
// connection (made by `open`, ended by `close`).
template <typename Open, typename Op, typename Close>
Result Run(int clients, int perClient, Open open, Op op, Close close) {
    std::vector<double> all;
    std::mutex lock;
    std::atomic<bool> ok{true};
    Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            auto conn = open();
            std::vector<double> mine;
            std::vector<BYTE> reply(kReplyBufferSize);  // the floor's receive buffer
            for (int i = 0; i < perClient && ok; ++i) {
                Clock::time_point t0 = Clock::now();
                if (!op(conn, reply)) ok = false;
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            close(conn);
            std::lock_guard<std::mutex> g(lock);
            all.insert(all.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Result r;
    r.ok = ok && !all.empty();
    if (!r.ok) return r;
    std::sort(all.begin(), all.end());
    r.perSecond = static_cast<double>(all.size()) / seconds;
    r.p50 = all[all.size() / 2];
    r.p99 = all[all.size() * 99 / 100];
    return r;
}

// The floor: a socket pair whose other end answers each message with a reply
// of the given size.
struct EchoPair {
    int client = -1;
    std::thread echo;
};

EchoPair OpenEcho(size_t replySize) {
    int fds[2];
    EchoPair p;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return p;
    int size = 1 << 20;
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    p.client = fds[0];
    int server = fds[1];
    p.echo = std::thread([server, replySize] {
        std::vector<BYTE> in(kRequestBufferSize), out(replySize, 1);
        while (recv(server, in.data(), in.size(), 0) > 0)
            if (send(server, out.data(), out.size(), MSG_NOSIGNAL) < 0) break;
        close(server);
    });
    return p;
}

void Report(benchmark::State& state, const Result& service, const Result& floor) {
    if (!service.ok || !floor.ok) {
        state.SkipWithError("a request failed");
        return;
    }
    state.counters["req_per_s"] = service.perSecond;
    state.counters["p50_us"] = service.p50;
    state.counters["p99_us"] = service.p99;
    state.counters["floor_req_per_s"] = floor.perSecond;
    state.counters["floor_p50_us"] = floor.p50;
    state.counters["floor_p99_us"] = floor.p99;
    state.counters["ratio_p50"] = floor.p50 > 0 ? service.p50 / floor.p50 : 0;
}

// `pages` round trips of `replySize` bytes each make one floor operation.
Result Floor(int clients, int perClient, size_t replySize, int pages) {
    return Run(
        clients, perClient, [replySize] { return OpenEcho(replySize); },
        [pages](EchoPair& p, std::vector<BYTE>& reply) {
            std::vector<BYTE> request(kRequestDataOffset + sizeof(ProcListEntry), 0);
            for (int i = 0; i < pages; ++i) {
                if (send(p.client, request.data(), request.size(), MSG_NOSIGNAL) < 0) return false;
                if (recv(p.client, reply.data(), reply.size(), 0) <= 0) return false;
            }
            return true;
        },
        [](EchoPair& p) {
            shutdown(p.client, SHUT_RDWR);
            close(p.client);
            if (p.echo.joinable()) p.echo.join();
        });
}

void BM_ServiceInfo(benchmark::State& state) {
    int clients = static_cast<int>(state.range(0));
    const std::string info = zctl::ServiceInfoGet();
    for (auto _ : state) {
        Result service = Run(clients, kInfoRequestsPerClient, OpenService,
                             [&](std::unique_ptr<zctl::ServiceClient>& c, std::vector<BYTE>&) {
                                 zctl::Reply reply;
                                 return c != nullptr && c->Call(info, reply) == 0;
                             },
                             CloseService);
        Result floor = Floor(clients, kInfoRequestsPerClient, kHeaderSize + sizeof(ServiceInfo), 1);
        Report(state, service, floor);
    }
}
BENCHMARK(BM_ServiceInfo)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProcessList500(benchmark::State& state) {
    int clients = static_cast<int>(state.range(0));
    std::atomic<size_t> entries{0};
    for (auto _ : state) {
        Result service = Run(clients, kListsPerClient, OpenService,
                             [&](std::unique_ptr<zctl::ServiceClient>& c, std::vector<BYTE>&) {
                                 std::vector<ProcListEntry> list;
                                 ProcListEntry key{};
                                 if (c == nullptr || zctl::FetchProcList(*c, key, 0x2, list) != 0) return false;
                                 entries = list.size();
                                 return list.size() >= kListProcesses;
                             },
                             CloseService);
        // The same pages of the same sizes, without the service.
        size_t perPage = kReplyRoom / sizeof(ProcListEntry);
        int pages = static_cast<int>((entries.load() + perPage - 1) / perPage);
        Result floor =
            Floor(clients, kListsPerClient, kHeaderSize + perPage * sizeof(ProcListEntry), pages > 0 ? pages : 1);
        Report(state, service, floor);
        state.counters["entries"] = static_cast<double>(entries.load());
    }
}
BENCHMARK(BM_ProcessList500)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int RunWithService(const std::string& folder) {
    // The service, and enough processes for a 500-entry list.
    pid_t service = fork();
    if (service == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Neither the service nor the mediator it starts keeps our output open.
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execl(ZEMBRIK_SERVICE_PATH, "ZembrikService", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::vector<pid_t> idle;
    for (int i = 0; i < kListProcesses; ++i) {
        pid_t p = fork();
        if (p == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;) pause();
        }
        if (p > 0) idle.push_back(p);
    }
    int rc = 0;
    if (service < 0 || !WaitNamedPipeW(kPipeName, 20000)) {
        fprintf(stderr, "the service did not come up\n");
        rc = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    for (pid_t p : idle) kill(p, SIGKILL);
    for (pid_t p : idle) waitpid(p, nullptr, 0);
    // The mediator the service started outlives it: ended by the pid it recorded.
    DWORD mediator = 0;
    if (HANDLE m = OpenFileMappingW(FILE_MAP_READ, FALSE, u"ZembrikMD8Jobs")) {
        if (auto* h = static_cast<const SharedJobHeader*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0))) {
            mediator = h->mediatorPid;
            UnmapViewOfFile(h);
        }
        CloseHandle(m);
    }
    if (service > 0) {
        kill(service, SIGTERM);
        waitpid(service, nullptr, 0);
    }
    if (HANDLE p = mediator != 0 ? OpenProcess(PROCESS_TERMINATE, FALSE, mediator) : nullptr) {
        TerminateProcess(p, 1);
        WaitForSingleObject(p, 5000);
        CloseHandle(p);
    }
    (void)folder;
    return rc;
}

}  // namespace

int main(int argc, char** argv) { return bench::RunInStateRoot(argc, argv, RunWithService); }
