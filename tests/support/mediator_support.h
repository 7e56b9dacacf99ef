// Ends the mediator that a service (or a core) of the current state root started.
#pragma once

namespace testsupport {

// The pid of the mediator recorded in the shared job table, when that process
// still runs the mediator program; 0 otherwise.
int MediatorPid();
// Kills (SIGKILL) that mediator by its pid and waits for it to go.
void EndMediator();

}  // namespace testsupport
