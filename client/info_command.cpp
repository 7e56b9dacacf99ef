// zembrikctl info: the service information record (request type 8).
#include "client/service_commands.h"

namespace zctl {

const char kInfoSummary[] = "versions and settings of the running service";

namespace {

const char kInfoUsage[] =
    "Usage: zembrikctl info [--json]\n"
    "\n"
    "Shows the service's and the mediator's versions, the poll interval, the\n"
    "number of processors, the page size, the pipe time-out and the system's\n"
    "CPUs.\n"
    "\n"
    "Options:\n"
    "  --json       one JSON object for scripts\n"
    "  -h, --help   this text\n";

std::string VersionNumber(DWORD ms, DWORD ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
           std::to_string(ls & 0xFFFF);
}

}  // namespace

int RunInfoCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(args, {"--json"}, {}, a, error)) return Failed(err, "info", error);
    if (a.Has("--help")) {
        Write(out, kInfoUsage);
        return 0;
    }
    if (!a.positional.empty()) return Failed(err, "info", "unexpected argument '" + OneLine(a.positional[0]) + "'");
    ServiceClient client;
    if (!ConnectOrSay(client, "info", err)) return 1;
    ServiceInfo info{};
    DWORD rc = GetServiceInfo(client, info);
    if (rc != 0) return FailedResult(err, "info", rc);

    std::string fileVersion = FieldText(info.fileVersion, 24), productVersion = FieldText(info.productVersion, 24);
    std::string flags = FieldText(info.flagText, 24);
    std::string mFile = FieldText(info.mediatorFileVersion, 24), mProduct = FieldText(info.mediatorProductVersion, 24);
    std::string mFlags = FieldText(info.mediatorFlagText, 24);
    if (a.Has("--json")) {
        std::string j = "{\"fileVersion\": " + JsonString(fileVersion) + ", \"productVersion\": " +
                        JsonString(productVersion) + ", \"flags\": " + JsonString(flags) +
                        ", \"fileVersionNumber\": " + JsonString(VersionNumber(info.fileVersionMS, info.fileVersionLS)) +
                        ", \"productVersionNumber\": " +
                        JsonString(VersionNumber(info.productVersionMS, info.productVersionLS)) +
                        ", \"mediatorFileVersion\": " + JsonString(mFile) +
                        ", \"mediatorProductVersion\": " + JsonString(mProduct) +
                        ", \"mediatorFlags\": " + JsonString(mFlags) +
                        ", \"pollSeconds\": " + std::to_string(info.pollSeconds) +
                        ", \"processors\": " + std::to_string(info.processorCount) +
                        ", \"pageSize\": " + std::to_string(info.pageSize) +
                        ", \"pipeTimeOutMs\": " + std::to_string(info.pipeTimeOut) +
                        ", \"systemAffinity\": " + std::to_string(info.systemAffinity) + "}\n";
        Write(out, j);
        return 0;
    }
    auto withFlags = [](const std::string& v, const std::string& f) {
        if (v.empty()) return std::string("-");
        return f.empty() ? v : v + " (" + f + ")";
    };
    char mask[16];
    std::snprintf(mask, sizeof(mask), "0x%x", info.systemAffinity);
    std::vector<std::vector<std::string>> rows = {
        {"Service file version", withFlags(fileVersion, flags)},
        {"Service product version", productVersion.empty() ? "-" : productVersion},
        {"Mediator file version", withFlags(mFile, mFlags)},
        {"Mediator product version", mProduct.empty() ? "-" : mProduct},
        {"Poll interval", std::to_string(info.pollSeconds) + " s"},
        {"Processors", std::to_string(info.processorCount)},
        {"Page size", std::to_string(info.pageSize) + " bytes"},
        {"Pipe time-out", std::to_string(info.pipeTimeOut) + " ms"},
        {"System CPUs", CpuListText(info.systemAffinity) + " (" + mask + ")"},
    };
    std::string text;
    for (const auto& r : rows) text += r[0] + std::string(26 - r[0].size(), ' ') + OneLine(r[1]) + "\n";
    Write(out, text);
    return 0;
}

}  // namespace zctl
