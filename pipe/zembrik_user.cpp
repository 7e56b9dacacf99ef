#include "pipe/zembrik_user.h"

#include "common/event_log.h"
#include "common/security_attr.h"
#include "pal/sync.h"
#include "service/core.h"

ZembrikUser::ZembrikUser(ServiceContext* context) : core_(context->core), database_(context->database) {
    BuildAdminSecAttr(&securityAttributes_);
    connectEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connectEvent_ == nullptr) LogApiError(u"ZbClientConn", u"CreateEvent");
}

ZembrikUser::~ZembrikUser() {
    FreeSecAttr(&securityAttributes_);
    if (connectEvent_ != nullptr) CloseHandle(connectEvent_);
}

bool ZembrikUser::IsReady() const {
    return connectEvent_ != nullptr && securityAttributes_.lpSecurityDescriptor != nullptr &&
           core_->stopRequested.load() == 0;
}

DWORD ZembrikUser::ConnectCycle() {
    // No clients are served yet: wait for the stop.
    HANDLE waits[2] = {core_->stopEvent, connectEvent_};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_FAILED) LogApiError(u"ZbClientConn", u"Wait");
    return 0;
}
