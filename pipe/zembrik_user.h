// The pipe server. For now it holds its settings and waits for the stop
// event; the client endpoint comes with the request protocol.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

struct ServiceContext;
class ZembrikCore;
class ZembrikDb;

class ZembrikUser {
public:
    explicit ZembrikUser(ServiceContext* context);
    ~ZembrikUser();
    ZembrikUser(const ZembrikUser&) = delete;
    ZembrikUser& operator=(const ZembrikUser&) = delete;

    bool IsReady() const;
    DWORD ConnectCycle();
    DWORD DefaultTimeOut() const { return defaultTimeOut_; }

private:
    ZembrikCore* core_;
    ZembrikDb* database_;
    DWORD outBufferSize_ = 65536;
    DWORD inBufferSize_ = 4096;
    DWORD defaultTimeOut_ = 5000;
    HANDLE connectEvent_ = nullptr;
    DWORD nextClientId_ = 0;
    SECURITY_ATTRIBUTES securityAttributes_{};
};
