// Writes the fuzzer's seed corpus: one valid request of every type and
// operation, into the folder given as the argument.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "wire/rule_records.h"
#include "pal/strings.h"
#include "wire/request_protocol.h"

namespace {

std::vector<BYTE> Request(BYTE type, BYTE op, const void* data, size_t size) {
    std::vector<BYTE> b(kRequestDataOffset + size, 0);
    auto* h = reinterpret_cast<RequestHeader*>(b.data());
    h->signature = kRequestSignature;
    h->requestType = type;
    h->operation = op;
    h->maxRecords = 50;
    h->bufferSize = 4096;
    h->stamp = 1;
    h->dataLength = static_cast<SHORT>(size);
    if (size > 0) memcpy(b.data() + kRequestDataOffset, data, size);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 1;
    }
    std::vector<std::vector<BYTE>> seeds;
    NameRule alias{};
    alias.matchType = u'P';
    lstrcpynW(alias.match, u"zb*", 64);
    lstrcpynW(alias.name, u"Zed", 64);
    for (BYTE op : {OpGet, OpAdd, OpReplace, OpDelete, OpSwap}) seeds.push_back(Request(ReqNameRules, op, &alias, sizeof(alias)));
    JobSummary js{};
    ProcSummary ps{};
    seeds.push_back(Request(ReqGroupSummaries, OpGet, &js, sizeof(js)));
    seeds.push_back(Request(ReqProcSummaries, OpGet, &ps, sizeof(ps)));
    ProcListEntry pe{};
    seeds.push_back(Request(ReqProcList, OpGet, &pe, sizeof(pe)));
    ULONGLONG any = AnyCreationTime;
    seeds.push_back(Request(ReqProcList, OpKill, &any, sizeof(any)));
    JobListEntry je{};
    seeds.push_back(Request(ReqGroupList, OpGet, &je, sizeof(je)));
    seeds.push_back(Request(ReqGroupList, OpKill, &je, 128));
    std::vector<BYTE> proc(kProcDetailFixedSize + 8, 0);
    auto* pd = reinterpret_cast<ProcDetail*>(proc.data());
    lstrcpynW(pd->summary.name, u"Editor", 64);
    lstrcpynW(pd->summary.memberOf, u"Office", 64);
    pd->summary.mgmt.mgmtFlags = ApplyPriority | JoinGroup;
    pd->summary.mgmt.priority = 6;
    pd->varDataLength = 8;
    for (BYTE op : {OpGet, OpAdd, OpReplace, OpDelete}) seeds.push_back(Request(ReqProcRule, op, proc.data(), proc.size()));
    std::vector<BYTE> group(kJobDetailFixedSize, 0);
    auto* gd = reinterpret_cast<JobDetail*>(group.data());
    lstrcpynW(gd->summary.name, u"Office", 64);
    gd->summary.mgmt.mgmtFlags = LimitProcessCount | LimitProcTime;
    gd->summary.mgmt.processCount = 4;
    gd->summary.mgmt.procTimeLimit = 10000000;
    for (BYTE op : {OpGet, OpAdd, OpReplace, OpDelete}) seeds.push_back(Request(ReqGroupRule, op, group.data(), group.size()));
    seeds.push_back(Request(ReqServiceInfo, OpGet, nullptr, 0));
    ParameterBlock p{30, 0, 0, 250};
    seeds.push_back(Request(ReqParameters, OpReplace, &p, sizeof(p)));
    std::vector<BYTE> control = Request(ReqServiceControl, OpControl, nullptr, 0);
    auto* ch = reinterpret_cast<RequestHeader*>(control.data());
    ch->control = kControlWord;
    ch->argument = kControlRequired;
    seeds.push_back(control);
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::string path = std::string(argv[1]) + "/seed" + std::to_string(i);
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr || fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size()) return 1;
        fclose(f);
    }
    return 0;
}
