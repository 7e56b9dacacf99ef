// The priority-number scale shared by rules, the manager and the lists:
// 0 none, 1-5 idle, 6-7 below normal, 8-9 normal, 10-11 above normal,
// 12-15 high, 16 and above realtime.
#pragma once
#include "pal/process.h"
#include "pal/types.h"

// Number of a priority class: REALTIME 24, HIGH 13, ABOVE_NORMAL 10,
// NORMAL 8, BELOW_NORMAL 6, IDLE 4, anything else 0. The class bits are
// tested in that order, so a value with several maps to the first it holds.
constexpr DWORD PriorityNumberOfClass(DWORD priorityClass) {
    if ((priorityClass & REALTIME_PRIORITY_CLASS) != 0) return 24;
    if ((priorityClass & HIGH_PRIORITY_CLASS) != 0) return 13;
    if ((priorityClass & ABOVE_NORMAL_PRIORITY_CLASS) != 0) return 10;
    if ((priorityClass & NORMAL_PRIORITY_CLASS) != 0) return 8;
    if ((priorityClass & BELOW_NORMAL_PRIORITY_CLASS) != 0) return 6;
    if ((priorityClass & IDLE_PRIORITY_CLASS) != 0) return 4;
    return 0;
}

// Class of a priority number; 0 for the number 0 (none).
constexpr DWORD PriorityClassOfNumber(DWORD number) {
    if (number >= 16) return REALTIME_PRIORITY_CLASS;
    if (number >= 12) return HIGH_PRIORITY_CLASS;
    if (number >= 10) return ABOVE_NORMAL_PRIORITY_CLASS;
    if (number >= 8) return NORMAL_PRIORITY_CLASS;
    if (number >= 6) return BELOW_NORMAL_PRIORITY_CLASS;
    if (number >= 1) return IDLE_PRIORITY_CLASS;
    return 0;
}

// The canonical number of the number's range (4, 6, 8, 10, 13, 24; 0 stays 0).
constexpr DWORD CanonicalPriority(DWORD number) { return PriorityNumberOfClass(PriorityClassOfNumber(number)); }

// Storing a realtime rule needs its own right.
constexpr bool IsRealtimePriority(DWORD number) { return number >= 16; }

static_assert(PriorityNumberOfClass(HIGH_PRIORITY_CLASS | IDLE_PRIORITY_CLASS) == 13);
static_assert(CanonicalPriority(15) == 13 && CanonicalPriority(1) == 4 && CanonicalPriority(16) == 24);
