// Start-up of the service: from the dispatcher's call to the running core.
#pragma once
#include "pal/types.h"

void ServiceMain(DWORD argc, LPWSTR* argv);
void ServiceRun();
// The edition check: NT 5 or later with the Datacenter suite.
bool IsSupportedOS();
// Creates the single-instance event (null DACL); false, logged, when it exists
// already or cannot be made. The handle is kept for the life of the process.
bool CreateExclEvent(LPCWSTR name, LPCWSTR displayName);
// True when the named event exists.
bool OpenExclEvent(LPCWSTR name, bool report);
