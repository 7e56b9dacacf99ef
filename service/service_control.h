// The service's dealings with the service control manager: the dispatch
// table, the status record and its one reporting helper, the control handler.
#pragma once
#include "pal/service.h"
#include "pal/types.h"

class ZembrikCore;

// Process-wide state of the service host.
extern SERVICE_STATUS g_serviceStatus;
extern SERVICE_STATUS_HANDLE g_statusHandle;
extern DWORD g_checkPointCounter;       // starts at 1, never reset
extern DWORD g_exitCode;                // the error a dispatcher or status call failed with
extern DWORD g_startFailure;            // why the service did not run (0: it ran), logged
extern DWORD g_stopRequestedByControl;  // set by RequestStop
extern ZembrikCore* g_currentCore;      // the running core, or null
// Sets or clears the running core. Clearing waits for a stop sequence that a
// control started on the core, so the core is never destroyed under it.
void SetCurrentCore(ZembrikCore* core);

// Hands the program to the service dispatcher; returns when the service has
// stopped (or the dispatcher failed, which is logged).
void StartDispatcher();
// A start the dispatcher cannot take (the program run from a shell with a
// word that is no option): logged as the dispatcher's failure.
void RefuseDispatch();
// Reports a state; returns the SetServiceStatus result (non-zero on success).
BOOL SetStatus(DWORD state, DWORD exitCode, DWORD waitHint);
void ServiceCtrlHandler(DWORD control);
void RequestStop();
