// The command-line options -install, -remove and -reinstall.
#pragma once
#include "pal/types.h"

// Installs the service (account and password from the words, when given)
// and its registry entries, printing a line for each step.
void InstallService(int count, LPWSTR* words);
// Stops the service when it runs, deletes it and its registry entries,
// printing a line for each step.
void RemoveService(int count, LPWSTR* words);
