// zembrikctl poll, mediator and restore: the service's parameters (type 9)
// and its control requests (type 77).
#include <chrono>
#include <thread>

#include "client/service_commands.h"

namespace zctl {

const char kPollSummary[] = "set the poll interval and the pipe time-out";
const char kMediatorSummary[] = "start, stop or restart the mediator";
const char kRestoreSummary[] = "restore the alias list or the rules to their defaults";

namespace {

const char kPollUsage[] =
    "Usage: zembrikctl poll [SECONDS] [--pipe-timeout MS]\n"
    "\n"
    "Sets how often the service looks for new processes (2-900 seconds) and\n"
    "how long its pipe waits for a client (milliseconds). What is not given\n"
    "keeps its current value (as `zembrikctl info` shows it).\n"
    "\n"
    "Options:\n"
    "  --pipe-timeout MS   the pipe time-out in milliseconds\n"
    "  -h, --help          this text\n";

const char kMediatorUsage[] =
    "Usage: zembrikctl mediator start|stop|restart\n"
    "\n"
    "Starts or stops the mediator, the helper process that keeps the process\n"
    "groups while the service is down. restart stops it (when it runs) and\n"
    "starts it again.\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

const char kRestoreUsage[] =
    "Usage: zembrikctl restore aliases|rules|group-rules|all\n"
    "\n"
    "Puts the alias list back to its default, or removes every process rule\n"
    "or every group rule (all: the three of them).\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

// A stopped mediator holds its single-instance object until it is gone, so
// a start right after a stop may still find it for a moment.
constexpr int kRestartTries = 50;
constexpr int kRestartPauseMs = 100;

int Control(const std::string& what, DWORD bits, std::FILE* err, DWORD tolerated = 0, DWORD retried = 0) {
    ServiceClient client;
    if (!ConnectOrSay(client, what, err)) return 1;
    DWORD rc = 0;
    for (int i = 0; i < kRestartTries; ++i) {
        Reply reply;
        rc = client.Call(ServiceControlRequest(bits), reply);
        if (retried == 0 || rc != retried) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kRestartPauseMs));
    }
    if (rc != 0 && rc != tolerated) return FailedResult(err, what, rc);
    return 0;
}

}  // namespace

int RunPollCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {}, {"--pipe-timeout"}, a, error)) return Failed(err, "poll", error);
    if (a.Has("--help")) {
        Write(out, kPollUsage);
        return 0;
    }
    if (a.positional.size() > 1) return Failed(err, "poll", "unexpected argument '" + OneLine(a.positional[1]) + "'");
    if (a.positional.empty() && !a.Has("--pipe-timeout"))
        return Failed(err, "poll", "give SECONDS or --pipe-timeout MS (zembrikctl poll --help)");
    ULONGLONG seconds = 0, timeOut = 0;
    if (!a.positional.empty() && !ParseNumber(a.positional[0], kPollSecondsLeast, kPollSecondsMost, seconds, error))
        return Failed(err, "poll", "poll interval: " + error);
    if (a.Has("--pipe-timeout") && !ParseNumber(a.Get("--pipe-timeout"), 1, 0xFFFFFFFEULL, timeOut, error))
        return Failed(err, "poll", "--pipe-timeout: " + error);

    ServiceClient client;
    if (!ConnectOrSay(client, "poll", err)) return 1;
    ServiceInfo info{};
    DWORD rc = GetServiceInfo(client, info);
    if (rc != 0) return FailedResult(err, "poll", rc);
    if (a.positional.empty()) seconds = info.pollSeconds;
    if (!a.Has("--pipe-timeout")) timeOut = info.pipeTimeOut;
    Reply reply;
    rc = client.Call(ParametersReplace(static_cast<DWORD>(seconds), static_cast<DWORD>(timeOut)), reply);
    if (rc != 0) return FailedResult(err, "poll", rc);
    return 0;
}

int RunMediatorCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {}, {}, a, error)) return Failed(err, "mediator", error);
    if (a.Has("--help")) {
        Write(out, kMediatorUsage);
        return 0;
    }
    if (a.positional.size() != 1) return Failed(err, "mediator", "give start, stop or restart (zembrikctl mediator --help)");
    const std::string& action = a.positional[0];
    if (action == "start") return Control("mediator start", CtlStartMediator, err);
    if (action == "stop") return Control("mediator stop", CtlStopMediator, err);
    if (action == "restart") {
        // Two requests: a mediator that is not running is simply started.
        int rc = Control("mediator restart", CtlStopMediator, err, ResultMediatorNotRunning);
        return rc != 0 ? rc : Control("mediator restart", CtlStartMediator, err, 0, ResultMediatorRunning);
    }
    return Failed(err, "mediator", "unknown action '" + OneLine(action) + "' (start, stop or restart)");
}

int RunRestoreCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {}, {}, a, error)) return Failed(err, "restore", error);
    if (a.Has("--help")) {
        Write(out, kRestoreUsage);
        return 0;
    }
    if (a.positional.size() != 1)
        return Failed(err, "restore", "give aliases, rules, group-rules or all (zembrikctl restore --help)");
    const std::string& what = a.positional[0];
    DWORD bits = what == "aliases"       ? CtlRestoreNameRules
                 : what == "rules"       ? CtlRestoreProcRules
                 : what == "group-rules" ? CtlRestoreGroupRules
                 : what == "all"         ? CtlRestoreNameRules | CtlRestoreProcRules | CtlRestoreGroupRules
                                         : 0;
    if (bits == 0) return Failed(err, "restore", "unknown list '" + OneLine(what) + "' (aliases, rules, group-rules or all)");
    return Control("restore " + what, bits, err);
}

}  // namespace zctl
