// The calling thread's identity: impersonation sets the filesystem user,
// group and supplementary groups of one thread, which is what every access
// check of the layer (registry, named objects, files) runs under.
#pragma once
#include "pal/types.h"

// Not Win32: makes the calling thread act as uid/gid with these supplementary
// groups for filesystem access, until RevertToSelf. The named-pipe
// impersonation builds on it. A second call while impersonating replaces the
// first, as a second impersonation does on Windows. Needs root (CAP_SETUID and
// CAP_SETGID), except for a thread taking on its own ids and groups; when the
// kernel refuses, the thread is left as it was and the error is
// ERROR_ACCESS_DENIED. uid or gid 0xFFFFFFFF, groups null with a count, or
// more than 65536 groups give ERROR_INVALID_PARAMETER.
BOOL PalImpersonateUser(DWORD uid, DWORD gid, const DWORD* groups, DWORD groupCount);

// Note: restores the filesystem uid, gid and supplementary groups the thread
// had before its first impersonation; without an impersonation it succeeds and
// changes nothing. A thread created while its creator impersonates starts with
// the creator's filesystem identity (Linux copies it), not the process's.
BOOL RevertToSelf();

// Not Win32: the calling thread's current filesystem uid and gid; either
// pointer may be null, not both (ERROR_INVALID_PARAMETER). For diagnostics and tests.
BOOL PalGetThreadIdentity(DWORD* uid, DWORD* gid);
