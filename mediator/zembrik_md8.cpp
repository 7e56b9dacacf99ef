#include "mediator/zembrik_md8.h"

#include "common/module_version.h"
#include "common/security_attr.h"
#include "pal/error.h"
#include "pal/job.h"
#include "pal/mapping.h"
#include "pal/process.h"
#include "pal/resource.h"
#include "pal/strings.h"
#include "pal/sync.h"
#include "pal/viewnumber.h"
#include "wire/shared_job_table.h"

namespace {

// How often the table is looked at when no change was signalled: soon while
// something recorded could not be taken yet, else seldom (a signal missed).
constexpr DWORD kRetryMs = 5000;
constexpr DWORD kRefreshMs = 60000;

}  // namespace

ZembrikMD8::ZembrikMD8() {
    SECURITY_ATTRIBUTES sa{};
    if (!BuildAdminSecAttr(&sa)) return;
    onlyMe_ = CreateEventW(&sa, TRUE, FALSE, kMediatorOnlyMeName);
    DWORD created = GetLastError();
    FreeSecAttr(&sa);
    if (onlyMe_ == nullptr) return;
    if (created == ERROR_ALREADY_EXISTS) {
        CloseHandle(onlyMe_);
        onlyMe_ = nullptr;
        return;
    }
    mapping_ = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kJobMappingName);
    if (mapping_ == nullptr) return;
    header_ = static_cast<SharedJobHeader*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
    if (header_ == nullptr) return;
    // What an earlier mediator published names nothing of ours.
    StorePublished(&header_->mediatorPort, 0);
    changeEvent_ = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"ZembrikMD8Evt");
    ModuleVersion version(GetModuleHandleW(nullptr));
    lstrcpynW(header_->mediatorProductVersion, version.productVersionText, 24);
    lstrcpynW(header_->mediatorFileVersion, version.fileVersionText, 24);
    lstrcpynW(header_->mediatorFlagText, version.flagText, 24);
}

ZembrikMD8::~ZembrikMD8() {
    for (const HeldJob& j : jobs_) CloseHandle(j.job);
    for (HANDLE b : blocks_) CloseHandle(b);
    if (port_ != nullptr) CloseHandle(port_);
    if (changeEvent_ != nullptr) CloseHandle(changeEvent_);
    if (mapping_ != nullptr) CloseHandle(mapping_);
    if (onlyMe_ != nullptr) CloseHandle(onlyMe_);
}

// The recorded pid is trusted only while it runs the service program beside
// us as our own user: the table may be an old one, and a pid is reused.
HANDLE ZembrikMD8::OpenService() {
    constexpr DWORD kAccess = PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    HANDLE service = OpenProcess(kAccess, FALSE, header_->servicePid);
    if (service == nullptr) return nullptr;
    DWORD theirs = 0, mine = 1;
    WCHAR expected[MAX_PATH + 32] = {}, actual[MAX_PATH + 32] = {};
    HMODULE module = nullptr;
    DWORD needed = 0;
    bool ours = PalGetProcessUser(service, &theirs) && PalGetProcessUser(GetCurrentProcess(), &mine) &&
                theirs == mine && GetModuleFileNameW(nullptr, expected, MAX_PATH) != 0 &&
                EnumProcessModules(service, &module, sizeof(module), &needed) &&
                GetModuleFileNameExW(service, module, actual, MAX_PATH) != 0;
    if (ours) {
        // Our own path with the service's program name in place of ours.
        int cut = lstrlenW(expected);
        while (cut > 0 && expected[cut - 1] != u'\\') --cut;
        expected[cut] = 0;
        StringCchCatW(expected, MAX_PATH + 32, u"ZembrikService");
        ours = lstrcmpW(expected, actual) == 0;
    }
    if (!ours) {
        CloseHandle(service);
        return nullptr;
    }
    return service;
}

void ZembrikMD8::AdoptPort(HANDLE service) {
    if (port_ != nullptr || header_->servicePort == 0) return;
    HANDLE port = nullptr;
    if (DuplicateHandle(service, ULongToHandle(header_->servicePort), GetCurrentProcess(), &port, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        port_ = port;
        header_->mediatorPort = HandleToULong(port);
    }
}

void ZembrikMD8::AdoptBlocks(HANDLE service) {
    // The blocks we mapped ourselves lead as far as we have taken the chain;
    // from there on the service's handles are the way on. The mediator-side
    // links found beyond that are an earlier mediator's: they are written
    // anew, or cleared where our chain ends.
    SharedJobBlock* block = &header_->first;
    for (size_t taken = 0;; ++taken) {
        if (taken < views_.size()) {
            block = views_[taken];
            continue;
        }
        DWORD value = service != nullptr ? LoadPublished(&block->nextServiceHandle) : 0;
        HANDLE mapping = nullptr;
        void* view = nullptr;
        if (value != 0 && DuplicateHandle(service, ULongToHandle(value), GetCurrentProcess(), &mapping, 0, FALSE,
                                          DUPLICATE_SAME_ACCESS)) {
            view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
            if (view == nullptr) {
                CloseHandle(mapping);
                mapping = nullptr;
            }
        }
        block->nextMediatorView = PalViewNumber(view);
        StorePublished(&block->nextMediatorHandle, HandleToULong(mapping));
        if (view == nullptr) return;
        blocks_.push_back(mapping);
        views_.push_back(static_cast<SharedJobBlock*>(view));
        block = views_.back();
    }
}

// Holding a job keeps it, its members and its port association in existence
// while the service is down; a released job goes once no one else holds it.
bool ZembrikMD8::HoldJobs() {
    bool all = true;
    for (size_t at = 0; at <= views_.size(); ++at) {
        const SharedJobBlock* block = at == 0 ? &header_->first : views_[at - 1];
        DWORD count = LoadPublished(&block->count);
        if (count > kJobEntriesPerBlock) count = kJobEntriesPerBlock;
        for (DWORD i = 0; i < count; ++i) {
            const SharedJobEntry& e = block->entries[i];
            size_t length = 0;
            while (length < kJobNameUnits - 1 && e.jobName[length] != 0) ++length;
            if (length == 0) continue;
            std::u16string name(e.jobName, length);
            bool released = (LoadPublished(&e.flags) & kJobReleased) != 0;
            size_t j = 0;
            while (j < jobs_.size() && jobs_[j].name != name) ++j;
            bool held = j < jobs_.size();
            if (released && held) {
                CloseHandle(jobs_[j].job);
                jobs_.erase(jobs_.begin() + static_cast<long>(j));
            } else if (!released && !held) {
                // Not there (yet, or any more): looked at again on the next refresh.
                HANDLE job = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, name.c_str());
                if (job != nullptr) jobs_.push_back({name, job});
                else all = false;
            }
        }
    }
    return all;
}

bool ZembrikMD8::Refresh() {
    HANDLE service = OpenService();
    if (service != nullptr) AdoptPort(service);
    AdoptBlocks(service);
    if (service != nullptr) CloseHandle(service);
    bool held = HoldJobs();
    return held && (port_ != nullptr || header_->servicePort == 0);
}

DWORD ZembrikMD8::Run() {
    for (;;) {
        DWORD wait = Refresh() ? kRefreshMs : kRetryMs;
        if (changeEvent_ != nullptr) WaitForSingleObject(changeEvent_, wait);
        else Sleep(kRetryMs);
    }
}
