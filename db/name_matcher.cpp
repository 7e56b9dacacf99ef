// The store's side of alias matching: the compiled list follows the alias
// list under nameLock_; the matching itself is AliasMatcher's, shared with
// zembrikctl.
#include "common/event_log.h"
#include "db/zembrik_db.h"
#include "pal/strings.h"
#include "pal/sync.h"

void ZembrikDb::CompileNameRule(DWORD index) {
    EnterCriticalSection(&nameLock_);
    if (index < aliasCount_) matcher_.CompileRule(index, aliasRules_[index]);
    LeaveCriticalSection(&nameLock_);
}

bool ZembrikDb::CompileNameRules() {
    EnterCriticalSection(&nameLock_);
    // An alias list whose load failed may be empty; an empty compiled list
    // still counts as built, and then nothing matches.
    bool compiled = matcher_.Compile(aliasRules_, aliasCount_);
    SIZE_T bytes = AliasMatcher::CompiledBytes(aliasCount_);
    LeaveCriticalSection(&nameLock_);
    if (!compiled) LogAllocError(u"AllocIntNameRules", bytes);
    return compiled;
}

void ZembrikDb::NameProcess(LPCWSTR path, WCHAR processName[64], WCHAR imageName[64]) {
    EnterCriticalSection(&nameLock_);
    if (matcher_.IsReady() || CompileNameRules()) {
        matcher_.Name(path, processName, imageName);
    } else {
        lstrcpynW(processName, u"<err>", 64);
        lstrcpynW(imageName, u"<err>", 64);
    }
    LeaveCriticalSection(&nameLock_);
}
