// The client endpoint under load: requests per second and p50/p99 latency of
// service information (type 8) and of a whole 500-entry process list (type 4,
// in pages), with 1 and 16 clients at once, against the real service. The
// floor is a raw SOCK_SEQPACKET round trip of the same sizes (request out,
// reply back) through an echo thread, measured in the same run. A crowd of
// 1,000 clients connected at once, each asking once, must all be answered;
// its floor is a raw server with a thread per connection, and both state
// their memory per idle session.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
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
#include "pal/stateroot.h"
#include "pal/sync.h"
#include "wire/request_protocol.h"
#include "wire/shared_job_table.h"

namespace {

using Clock = std::chrono::steady_clock;
pid_t g_service = -1;
constexpr int kInfoRequestsPerClient = 2000;
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
    state.counters["ratio_req_per_s"] = floor.perSecond > 0 ? service.perSecond / floor.perSecond : 0;
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

// ---- A crowd of clients at once

// Resident memory of a process, in KiB (0 when it cannot be read).
double ResidentKiB(pid_t pid) {
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (f == nullptr) return 0;
    char line[256];
    double kib = 0;
    while (fgets(line, sizeof(line), f) != nullptr)
        if (sscanf(line, "VmRSS: %lf", &kib) == 1) break;
    fclose(f);
    return kib;
}

struct Crowd {
    int answered = 0;
    double seconds = 0;
    double kibPerSession = 0;  // the server's resident growth while every session is idle
};

// `n` raw clients connect to the socket at `path` one after another, then each
// sends `request` and waits for a reply of `replySize` bytes, all within 30 s.
Crowd AskAtOnce(const std::string& path, int n, const std::string& request, size_t replySize, pid_t server) {
    Crowd c;
    struct sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    double before = ResidentKiB(server);
    Clock::time_point start = Clock::now();
    std::vector<int> socks;
    for (int i = 0; i < n; ++i) {
        int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (s < 0) break;
        if (connect(s, reinterpret_cast<const struct sockaddr*>(&sun), sizeof(sun)) != 0) {
            close(s);
            break;
        }
        socks.push_back(s);
    }
    for (int s : socks) send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::vector<struct pollfd> waiting;
    for (int s : socks) waiting.push_back({s, POLLIN, 0});
    Clock::time_point deadline = start + std::chrono::seconds(30);
    std::vector<char> reply(kReplyBufferSize);
    while (!waiting.empty() && Clock::now() < deadline) {
        int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (poll(waiting.data(), waiting.size(), std::max(ms, 0)) <= 0) break;
        for (size_t i = 0; i < waiting.size();) {
            if (waiting[i].revents == 0) {
                ++i;
                continue;
            }
            ssize_t got = recv(waiting[i].fd, reply.data(), reply.size(), MSG_DONTWAIT);
            if (got == static_cast<ssize_t>(replySize)) ++c.answered;
            waiting[i] = waiting.back();
            waiting.pop_back();
        }
    }
    c.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Every session answered once and now waits for its next request.
    c.kibPerSession = (ResidentKiB(server) - before) / n;
    for (int s : socks) close(s);
    return c;
}

// The floor: a raw server that gives each connection a thread of its own,
// which answers each message with a reply of `replySize` bytes.
struct ThreadServer {
    int listener = -1;
    std::thread acceptor;
    std::mutex lock;
    std::vector<std::thread> sessions;
};

bool StartThreadServer(ThreadServer& t, const std::string& path, size_t replySize) {
    t.listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    if (t.listener < 0 || bind(t.listener, reinterpret_cast<const struct sockaddr*>(&sun), sizeof(sun)) != 0 ||
        listen(t.listener, SOMAXCONN) != 0)
        return false;
    t.acceptor = std::thread([&t, replySize] {
        for (;;) {
            int s = accept4(t.listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (s < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            std::lock_guard<std::mutex> g(t.lock);
            t.sessions.emplace_back([s, replySize] {
                std::vector<BYTE> in(kRequestBufferSize), out(replySize, 1);
                while (recv(s, in.data(), in.size(), 0) > 0)
                    if (send(s, out.data(), out.size(), MSG_NOSIGNAL) < 0) break;
                close(s);
            });
        }
    });
    return true;
}

void StopThreadServer(ThreadServer& t) {
    if (t.listener >= 0) shutdown(t.listener, SHUT_RDWR);
    if (t.acceptor.joinable()) t.acceptor.join();
    for (auto& s : t.sessions) s.join();
    if (t.listener >= 0) close(t.listener);
}

void BM_ConcurrentClients(benchmark::State& state) {
    int clients = static_cast<int>(state.range(0));
    const std::string info = zctl::ServiceInfoGet();
    const size_t replySize = kHeaderSize + sizeof(ServiceInfo);
    std::string floorPath = PalStateRootPath() + "/raw-crowd.sock";
    for (auto _ : state) {
        Crowd service = AskAtOnce(PalStateRootPath() + "/run/pipe/ZembrikPip", clients, info, replySize, g_service);
        ThreadServer raw;
        Crowd floor;
        if (StartThreadServer(raw, floorPath, replySize))
            floor = AskAtOnce(floorPath, clients, info, replySize, getpid());
        StopThreadServer(raw);
        unlink(floorPath.c_str());
        state.counters["answered"] = service.answered;
        state.counters["seconds"] = service.seconds;
        state.counters["kib_per_idle_session"] = service.kibPerSession;
        state.counters["floor_answered"] = floor.answered;
        state.counters["floor_seconds"] = floor.seconds;
        state.counters["floor_kib_per_idle_session"] = floor.kibPerSession;
        state.counters["ratio_seconds"] = floor.seconds > 0 ? service.seconds / floor.seconds : 0;
        if (service.answered != clients) state.SkipWithError("not every client was answered");
    }
}
BENCHMARK(BM_ConcurrentClients)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    g_service = service;
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

int main(int argc, char** argv) {
    // A descriptor per client of the crowd, and one per raw session.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    return bench::RunInStateRoot(argc, argv, RunWithService);
}
