// Every benchmark program runs in a state root of its own, set before the
// first call into the platform layer and removed at the end.
#pragma once
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace bench {

// Initialises Google Benchmark and calls run(folder), with ZEMBRIK_SYSROOT at
// "<folder>/root" of a fresh temporary folder; returns run's result.
template <typename Run>
int RunInStateRoot(int argc, char** argv, Run run) {
    std::string folder = (std::filesystem::temp_directory_path() / "zembrik-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("ZEMBRIK_SYSROOT", (folder + "/root").c_str(), 1);
    benchmark::Initialize(&argc, argv);
    int rc = benchmark::ReportUnrecognizedArguments(argc, argv) ? 1 : run(folder);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return rc;
}

// The floor of per-process work: one read of /proc/<pid>/stat each; false
// when none could be read.
template <typename Ids>
bool ReadStatFiles(const Ids& ids) {
    char path[48], buf[1024];
    size_t readOk = 0;
    for (auto pid : ids) {
        snprintf(path, sizeof(path), "/proc/%u/stat", static_cast<unsigned>(pid));
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        if (read(fd, buf, sizeof(buf)) > 0) ++readOk;
        close(fd);
    }
    return readOk > 0;
}

}  // namespace bench
