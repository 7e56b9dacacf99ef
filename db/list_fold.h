// Folding of the merged lists: a sorted array of rule, alias and live entries
// becomes one entry per name (and one per further running process).
#pragma once
#include "wire/rule_records.h"
#include "pal/types.h"

// Sorts `all` by name, then process id.
void SortProcList(ProcListEntry* all, DWORD total);
// Folds a sorted list into out (at most max entries) through the
// process-list filter, starting at the key's name; returns the count and
// sets more when the walk stopped before the last entry.
DWORD FoldSortedProcList(const ProcListEntry* all, DWORD total, const ProcListEntry& key, DWORD flags,
                         ProcListEntry* out, DWORD max, bool& more);
// Both.
DWORD FoldProcList(ProcListEntry* all, DWORD total, const ProcListEntry& key, DWORD flags, ProcListEntry* out,
                   DWORD max, bool& more);
// The same for the group list (sorted by name only).
DWORD FoldGroupList(JobListEntry* all, DWORD total, const WCHAR* key, DWORD flags, JobListEntry* out, DWORD max,
                    bool& more);
// Whether a rule has a setting in effect.
bool ProcRuleHasSettings(const MgmtData& m);
bool GroupRuleHasSettings(const MgmtData& m);
