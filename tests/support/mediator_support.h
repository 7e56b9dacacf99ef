// Ends the mediator that a service (or a core) of the current state root started.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// The pid of the mediator recorded in the shared job table, when that process
// still runs the mediator program; 0 otherwise.
int MediatorPid();
// Kills (SIGKILL) that mediator by its pid and waits for it to go.
void EndMediator();
// Every live (not ended) mediator of the current state root, found by its
// program and its environment, whatever the table records.
std::vector<int> LiveMediators();
// Whether process pid has a descriptor open on a path containing `part`.
bool HoldsPath(int pid, const std::string& part);
// The pids that the process descriptors (pidfds) of process pid name; -1
// for a process already reaped.
std::vector<int> PidfdTargets(int pid);

}  // namespace testsupport
