// The two kinds of security attributes the service gives its objects.
#pragma once
#include "pal/security.h"

// Full access for SYSTEM and the local Administrators group only, inherited by
// sub-objects; not inheritable. Returns non-zero on success; on failure the
// descriptor is null (and the failure logged).
BOOL BuildAdminSecAttr(SECURITY_ATTRIBUTES* sa);
// Full access for SYSTEM only: for what the root mediator trusts (the shared
// job table), which administrators of rules must not write.
BOOL BuildServiceSecAttr(SECURITY_ATTRIBUTES* sa);
// A null DACL (everyone has all access); inheritable.
BOOL BuildNullSecAttr(SECURITY_ATTRIBUTES* sa);
// Frees the descriptor and its DACL; the pointer becomes null.
void FreeSecAttr(SECURITY_ATTRIBUTES* sa);
