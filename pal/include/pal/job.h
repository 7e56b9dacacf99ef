// Job objects: one cgroup per job, with limits, accounting and the job
// messages posted to an associated completion port.
#pragma once
#include <cstddef>

#include "pal/error.h"
#include "pal/security.h"
#include "pal/types.h"

constexpr DWORD JOB_OBJECT_ASSIGN_PROCESS = 0x0001;
constexpr DWORD JOB_OBJECT_SET_ATTRIBUTES = 0x0002;
constexpr DWORD JOB_OBJECT_QUERY = 0x0004;
constexpr DWORD JOB_OBJECT_TERMINATE = 0x0008;
constexpr DWORD JOB_OBJECT_SET_SECURITY_ATTRIBUTES = 0x0010;
constexpr DWORD JOB_OBJECT_ALL_ACCESS = 0x001F001F;

enum JOBOBJECTINFOCLASS {
    JobObjectBasicAccountingInformation = 1,
    JobObjectBasicLimitInformation = 2,
    JobObjectBasicProcessIdList = 3,
    JobObjectBasicUIRestrictions = 4,
    JobObjectSecurityLimitInformation = 5,
    JobObjectEndOfJobTimeInformation = 6,
    JobObjectAssociateCompletionPortInformation = 7,
    JobObjectBasicAndIoAccountingInformation = 8,
    JobObjectExtendedLimitInformation = 9,
};

constexpr DWORD JOB_OBJECT_LIMIT_WORKINGSET = 0x00000001;
constexpr DWORD JOB_OBJECT_LIMIT_PROCESS_TIME = 0x00000002;
constexpr DWORD JOB_OBJECT_LIMIT_JOB_TIME = 0x00000004;
constexpr DWORD JOB_OBJECT_LIMIT_ACTIVE_PROCESS = 0x00000008;
constexpr DWORD JOB_OBJECT_LIMIT_AFFINITY = 0x00000010;
constexpr DWORD JOB_OBJECT_LIMIT_PRIORITY_CLASS = 0x00000020;
constexpr DWORD JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME = 0x00000040;
constexpr DWORD JOB_OBJECT_LIMIT_SCHEDULING_CLASS = 0x00000080;
constexpr DWORD JOB_OBJECT_LIMIT_PROCESS_MEMORY = 0x00000100;
constexpr DWORD JOB_OBJECT_LIMIT_JOB_MEMORY = 0x00000200;
constexpr DWORD JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION = 0x00000400;
constexpr DWORD JOB_OBJECT_LIMIT_BREAKAWAY_OK = 0x00000800;
constexpr DWORD JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK = 0x00001000;
constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x00002000;
constexpr DWORD JOB_OBJECT_BASIC_LIMIT_VALID_FLAGS = 0x000000FF;
constexpr DWORD JOB_OBJECT_EXTENDED_LIMIT_VALID_FLAGS = 0x00003FFF;

constexpr DWORD JOB_OBJECT_TERMINATE_AT_END_OF_JOB = 0;
constexpr DWORD JOB_OBJECT_POST_AT_END_OF_JOB = 1;

constexpr DWORD JOB_OBJECT_MSG_END_OF_JOB_TIME = 1;
constexpr DWORD JOB_OBJECT_MSG_END_OF_PROCESS_TIME = 2;
constexpr DWORD JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT = 3;
constexpr DWORD JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO = 4;
constexpr DWORD JOB_OBJECT_MSG_NEW_PROCESS = 6;
constexpr DWORD JOB_OBJECT_MSG_EXIT_PROCESS = 7;
constexpr DWORD JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS = 8;
constexpr DWORD JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT = 9;
constexpr DWORD JOB_OBJECT_MSG_JOB_MEMORY_LIMIT = 10;

struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
    LARGE_INTEGER PerProcessUserTimeLimit;
    LARGE_INTEGER PerJobUserTimeLimit;
    DWORD LimitFlags;
    SIZE_T MinimumWorkingSetSize;
    SIZE_T MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    ULONG_PTR Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
};
static_assert(sizeof(JOBOBJECT_BASIC_LIMIT_INFORMATION) == 64);
static_assert(offsetof(JOBOBJECT_BASIC_LIMIT_INFORMATION, MinimumWorkingSetSize) == 24);
static_assert(offsetof(JOBOBJECT_BASIC_LIMIT_INFORMATION, Affinity) == 48);
static_assert(offsetof(JOBOBJECT_BASIC_LIMIT_INFORMATION, SchedulingClass) == 60);

struct IO_COUNTERS {
    ULONGLONG ReadOperationCount;
    ULONGLONG WriteOperationCount;
    ULONGLONG OtherOperationCount;
    ULONGLONG ReadTransferCount;
    ULONGLONG WriteTransferCount;
    ULONGLONG OtherTransferCount;
};
static_assert(sizeof(IO_COUNTERS) == 48);

struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    SIZE_T ProcessMemoryLimit;
    SIZE_T JobMemoryLimit;
    SIZE_T PeakProcessMemoryUsed;
    SIZE_T PeakJobMemoryUsed;
};
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);
static_assert(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, ProcessMemoryLimit) == 112);

struct JOBOBJECT_BASIC_ACCOUNTING_INFORMATION {
    LARGE_INTEGER TotalUserTime;
    LARGE_INTEGER TotalKernelTime;
    LARGE_INTEGER ThisPeriodTotalUserTime;
    LARGE_INTEGER ThisPeriodTotalKernelTime;
    DWORD TotalPageFaultCount;
    DWORD TotalProcesses;
    DWORD ActiveProcesses;
    DWORD TotalTerminatedProcesses;
};
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == 48);

struct JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION BasicInfo;
    IO_COUNTERS IoInfo;
};
static_assert(sizeof(JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION) == 96);

struct JOBOBJECT_BASIC_PROCESS_ID_LIST {
    DWORD NumberOfAssignedProcesses;
    DWORD NumberOfProcessIdsInList;
    ULONG_PTR ProcessIdList[1];
};
static_assert(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) == 16);
static_assert(offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList) == 8);

struct JOBOBJECT_ASSOCIATE_COMPLETION_PORT {
    PVOID CompletionKey;
    HANDLE CompletionPort;
};
static_assert(sizeof(JOBOBJECT_ASSOCIATE_COMPLETION_PORT) == 16);

struct JOBOBJECT_END_OF_JOB_TIME_INFORMATION {
    DWORD EndOfJobTimeAction;
};
static_assert(sizeof(JOBOBJECT_END_OF_JOB_TIME_INFORMATION) == 4);

// Note: needs a writable cgroup v2 hierarchy (root); without one the call
// fails with ERROR_ACCESS_DENIED (ERROR_NOT_SUPPORTED when there is no cgroup2
// mount). A job without a name gets a private name of its own.
HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES sa, LPCWSTR name);
// Note: `inherit` is ignored (handles are never inherited).
HANDLE OpenJobObjectW(DWORD access, BOOL inherit, LPCWSTR name);
// Note: ERROR_NOT_ENOUGH_QUOTA when the job is at its active-process limit.
// A process in a job of another state root is not seen as "in a job". Fails
// with the error of a limit the new member refused; it is a member all the same.
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
// Note: page faults and I/O count the present members only; I/O is the
// character-level count of /proc/<pid>/io (rchar/wchar, syscr/syscw); no
// "other" operations. A process that joins and ends within one monitor tick
// (100 ms) may be missing from TotalProcesses.
BOOL QueryInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length,
                               LPDWORD returnLength);
// Note: JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK gives ERROR_NOT_SUPPORTED; the
// working-set maximum becomes the v1 memory soft limit (the minimum is kept
// only); the scheduling class becomes v1 cpu.shares; the job memory limit is
// enforced by the kernel's OOM killer (the process is killed, not refused);
// the process memory limit is each member's RLIMIT_AS (hard with
// CAP_SYS_RESOURCE, else soft); the active-process limit is v1 pids.max;
// affinity also v1 cpuset.cpus. Fails with the error of a limit a member
// refused, the limits being the job's all the same.
BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, LPVOID info, DWORD length);
// Note: every member gets SIGKILL (cgroup.kill), so members report exit code
// 128 + 9, not `exitCode`. The job becomes signalled until limits are set
// again without JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME.
BOOL TerminateJobObject(HANDLE job, UINT exitCode);

// Linux only: how many job messages of this job found its completion port
// full and were lost, since the job was made.
BOOL PalQueryJobLostMessages(HANDLE job, LPDWORD lost);
