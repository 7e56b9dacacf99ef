// Runs the zembrikctl program for the client tests.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "support/process_runner.h"

namespace ctltest {

// What a command gave: exit status (-1 when it did not end), output, errors.
struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` with args to its end (killed after 30 s); its output goes
// through files in `scratch`.
inline Result RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& scratch) {
    testsupport::ChildProcess child;
    Result r;
    if (!child.Start(program, args, {}, scratch)) return r;
    if (child.WaitExit(30000) && WIFEXITED(child.exitStatus())) r.status = WEXITSTATUS(child.exitStatus());
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}

// Everything written to a temporary file; closes it.
inline std::string ReadAll(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

}  // namespace ctltest
