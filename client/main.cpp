// zembrikctl: the administrator's client. One table row per command.
#include <cstdio>
#include <string>
#include <vector>

#include "client/events_command.h"
#include "client/output.h"
#include "client/reg_command.h"
#include "client/service_commands.h"
#include "pal/error.h"
#include "pal/stateroot.h"

namespace {

struct Command {
    const char* name;
    const char* summary;
    zctl::CommandMain run;
};

const Command kCommands[] = {
    {"status", zctl::kStatusSummary, zctl::RunStatusCommand},
    {"info", zctl::kInfoSummary, zctl::RunInfoCommand},
    {"ps", zctl::kPsSummary, zctl::RunPsCommand},
    {"groups", zctl::kGroupsSummary, zctl::RunGroupsCommand},
    {"top", zctl::kTopSummary, zctl::RunTopCommand},
    {"kill", zctl::kKillSummary, zctl::RunKillCommand},
    {"kill-group", zctl::kKillGroupSummary, zctl::RunKillGroupCommand},
    {"aliases", zctl::kAliasesSummary, zctl::RunAliasesCommand},
    {"rules", zctl::kRulesSummary, zctl::RunRulesCommand},
    {"group-rules", zctl::kGroupRulesSummary, zctl::RunGroupRulesCommand},
    {"poll", zctl::kPollSummary, zctl::RunPollCommand},
    {"mediator", zctl::kMediatorSummary, zctl::RunMediatorCommand},
    {"restore", zctl::kRestoreSummary, zctl::RunRestoreCommand},
    {"export", zctl::kExportSummary, zctl::RunExportCommand},
    {"apply", zctl::kApplySummary, zctl::RunApplyCommand},
    {"metrics", zctl::kMetricsSummary, zctl::RunMetricsCommand},
    {"events", zctl::kEventsSummary, zctl::RunEventsCommand},
    {"reg", zctl::kRegSummary, zctl::RunRegCommand},
};

void Usage(std::FILE* f) {
    std::string text =
        "Usage: zembrikctl COMMAND [options]\n"
        "       zembrikctl COMMAND --help\n"
        "\n"
        "Commands:\n";
    for (const Command& c : kCommands) {
        std::string name = c.name;
        text += "  " + name + std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') + c.summary + "\n";
    }
    text += "\n--verbose with any command names the Windows error constants in errors.\n"
            "The state root is $ZEMBRIK_SYSROOT (default /var/lib/zembrik).\n";
    zctl::Write(f, text);
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    // --verbose holds for every command, wherever it stands before "--".
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        optionsDone = optionsDone || a == "--";
        if (!optionsDone && a == "--verbose") zctl::SetVerbose(true);
        else args.push_back(std::move(a));
    }
    if (args.empty()) {
        Usage(stderr);
        return 1;
    }
    std::string name = args[0];
    args.erase(args.begin());
    if (name == "--help" || name == "-h" || name == "help") {
        // "zembrikctl help events" is "zembrikctl events --help".
        if (name == "help" && !args.empty()) {
            name = args[0];
            args = {"--help"};
        } else {
            Usage(stdout);
            return 0;
        }
    }
    const Command* command = FindCommand(name);
    if (command == nullptr) {
        zctl::WriteError(stderr, "", (name.rfind("-", 0) == 0 ? "unknown option '" : "unknown command '") + name +
                                         "' (zembrikctl --help lists the commands)");
        return 1;
    }
    // A client reads a state root and never lays one out: a mistyped
    // ZEMBRIK_SYSROOT is said, not filled with an empty layout.
    PalNeverCreateStateRoot();
    bool help = false;
    for (const std::string& a : args) help = help || a == "--help" || a == "-h";
    if (!help && PalEnsureStateRoot() == ERROR_PATH_NOT_FOUND) {
        zctl::WriteError(stderr, "", name + ": no Zembrik state root at " + PalStateRootPath());
        return 1;
    }
    int rc = command->run(args, stdout, stderr);
    if (std::fflush(stdout) != 0 && rc == 0) rc = 1;
    return rc;
}
