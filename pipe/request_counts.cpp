#include "pipe/request_counts.h"

#include "common/prom_text.h"
#include "pal/error.h"

namespace {

constexpr BYTE kTypeCodes[RequestCounts::kTypes - 1] = {ReqNameRules,  ReqGroupSummaries, ReqProcSummaries,
                                                        ReqProcList,   ReqGroupList,      ReqProcRule,
                                                        ReqGroupRule,  ReqServiceInfo,    ReqParameters,
                                                        ReqServiceControl};
const char* const kTypeNames[RequestCounts::kTypes] = {
    "name_rules", "group_summaries", "process_summaries", "process_list",    "group_list", "process_rule",
    "group_rule", "service_info",    "parameters",        "service_control", "other"};
const char* const kResultNames[RequestCounts::kResults] = {"ok", "denied", "error"};

int TypeIndex(BYTE type) {
    int i = 0;
    while (i < RequestCounts::kTypes - 1 && kTypeCodes[i] != type) ++i;
    return i;
}

}  // namespace

void RequestCounts::Count(BYTE type, const RequestHeader& reply) {
    int result = reply.resultKind == 0 ? 0 : reply.result == ERROR_ACCESS_DENIED ? 1 : 2;
    counts_[TypeIndex(type)][result].fetch_add(1, std::memory_order_relaxed);
}

void RequestCounts::Append(PromText& out) const {
    out.Family("zembrik_requests_total", "Client requests answered, by type and result.", "counter");
    for (int t = 0; t < kTypes; ++t)
        for (int r = 0; r < kResults; ++r)
            out.Sample({{"type", kTypeNames[t]}, {"result", kResultNames[r]}},
                       counts_[t][r].load(std::memory_order_relaxed));
}
