// zembrikctl info: the service information record (request type 8);
// zembrikctl metrics: the metrics file the service writes after each pass.
#include <cerrno>
#include <cstring>

#include "client/service_commands.h"
#include "pal/stateroot.h"

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
    int status = 0;
    if (!ParseCommandArgs("info", args, {"--json"}, {}, kInfoUsage, a, out, err, status)) return status;
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

const char kMetricsSummary[] = "the metrics file of the last pass (Prometheus text)";

namespace {

const char kMetricsUsage[] =
    "Usage: zembrikctl metrics\n"
    "\n"
    "Prints run/metrics/zembrik.prom under the state root: the metrics the\n"
    "service wrote after its last pass, in the Prometheus text format that\n"
    "node_exporter's textfile collector reads.\n"
    "\n"
    "Options:\n"
    "  -h, --help   this text\n";

}  // namespace

bool ReadMetricsFile(std::string& text, std::string& error) {
    // Read where it is; the client makes nothing under the state root.
    std::string path = PalStateRootPath() + "/run/metrics/zembrik.prom";
    text.clear();
    std::FILE* f = std::fopen(path.c_str(), "rbe");
    if (f == nullptr) {
        int e = errno;
        error = e == ENOENT ? "no metrics at " + path + ": the service has not finished a pass yet or is not running"
                            : path + ": " + std::strerror(e);
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    bool readError = std::ferror(f) != 0;
    int e = errno;
    std::fclose(f);
    if (readError) error = path + ": " + std::strerror(e);
    return !readError;
}

int RunMetricsCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    ParsedArgs a;
    int status = 0;
    if (!ParseCommandArgs("metrics", args, {}, {}, kMetricsUsage, a, out, err, status)) return status;
    std::string text, error;
    if (!ReadMetricsFile(text, error)) return Failed(err, "metrics", error);
    Write(out, text);
    return 0;
}

}  // namespace zctl
