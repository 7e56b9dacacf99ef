// The process's own filesystem identity, for work that belongs to the
// service itself (its event log) while a thread impersonates a client.
#pragma once
#include <cstdint>
#include <vector>

namespace pal {

// Switches the calling thread's filesystem uid, gid and groups to the
// process's own for the life of the scope, and back afterwards. Does nothing
// when the thread is not impersonating.
class ServiceIdentityScope {
public:
    ServiceIdentityScope();
    ~ServiceIdentityScope();
    ServiceIdentityScope(const ServiceIdentityScope&) = delete;
    ServiceIdentityScope& operator=(const ServiceIdentityScope&) = delete;

private:
    bool switched_ = false;
    uint32_t fsuid_ = 0;
    uint32_t fsgid_ = 0;
    std::vector<uint32_t> groups_;
};

// Gives the calling thread the process's own filesystem identity: a new
// thread starts with it, whatever the creating thread impersonated.
void AdoptProcessIdentity();

}  // namespace pal
