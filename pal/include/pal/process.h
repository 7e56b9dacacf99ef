// Processes: enumeration, opening by id, names, times, priority classes,
// affinity, working set, termination and creation.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

constexpr DWORD IDLE_PRIORITY_CLASS = 0x00000040;
constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x00004000;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x00008000;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;
constexpr DWORD REALTIME_PRIORITY_CLASS = 0x00000100;

constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD PROCESS_CREATE_THREAD = 0x0002;
constexpr DWORD PROCESS_VM_OPERATION = 0x0008;
constexpr DWORD PROCESS_VM_READ = 0x0010;
constexpr DWORD PROCESS_VM_WRITE = 0x0020;
constexpr DWORD PROCESS_DUP_HANDLE = 0x0040;
constexpr DWORD PROCESS_CREATE_PROCESS = 0x0080;
constexpr DWORD PROCESS_SET_QUOTA = 0x0100;
constexpr DWORD PROCESS_SET_INFORMATION = 0x0200;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_SUSPEND_RESUME = 0x0800;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr DWORD PROCESS_ALL_ACCESS = 0x001F0FFF;

constexpr DWORD DEBUG_PROCESS = 0x00000001;
constexpr DWORD DEBUG_ONLY_THIS_PROCESS = 0x00000002;
constexpr DWORD DETACHED_PROCESS = 0x00000008;
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x00000200;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
// CREATE_SUSPENDED (0x4) is in pal/sync.h.

constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Note: ids come from /proc in ascending order; kernel threads are listed too.
BOOL EnumProcesses(DWORD* pids, DWORD cb, DWORD* needed);
// Note: the handle holds a pidfd, so it never refers to a later process that
// reuses the id. Query rights (and SYNCHRONIZE) are granted for every process;
// all other rights need the calling thread's filesystem uid to be 0 or the
// process's real or saved uid. A zombie can be opened; SYNCHRONIZE is not
// checked by waits. `inherit` is ignored (handles are never inherited).
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
// Note: a process killed by signal n reports 128 + n; the exit code of an
// ended process that is not our child and not yet reaped by its parent is
// not known yet and reads as 0.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD GetProcessId(HANDLE process);

// Note: one module, the main executable (handle value 0x400000); kernel
// threads and zombies give ERROR_PARTIAL_COPY.
BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD cb, LPDWORD needed);
// Note: the target of /proc/<pid>/exe with '\' as separator (/usr/bin/sleep
// is \usr\bin\sleep), without Linux's " (deleted)" suffix for a binary removed
// since it started; a short buffer truncates (terminated) and returns the
// units copied.
DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, LPWSTR name, DWORD size);
// Note: the kernel's command name (/proc/<pid>/comm): no ".exe", at most 15
// bytes, and what the process set with prctl(PR_SET_NAME).
DWORD GetModuleBaseNameW(HANDLE process, HMODULE module, LPWSTR name, DWORD size);

// Note: the creation time has a resolution of one clock tick (10 ms) and is
// derived from the boot time in whole seconds, so it may be up to 1 s off the
// true wall-clock time, but it reads the same every time. The exit time of an
// ended process is the time this process first saw it ended; kernel and user
// times of a process already reaped are the last ones read, or 0.
BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel, LPFILETIME user);

// Note: read from the main thread: SCHED_FIFO/RR is REALTIME, SCHED_IDLE is
// IDLE; otherwise nice >= 15 IDLE, 5..14 BELOW_NORMAL, -2..4 NORMAL, -7..-3
// ABOVE_NORMAL, <= -8 HIGH.
DWORD GetPriorityClass(HANDLE process);
// Note: sets every thread: IDLE nice 19, BELOW_NORMAL 10, NORMAL 0,
// ABOVE_NORMAL -5, HIGH -10 (all SCHED_OTHER), REALTIME SCHED_RR priority 1.
// Without the privilege for it (raising priority) the call fails with
// ERROR_ACCESS_DENIED instead of quietly choosing a lower class; an ended
// process gives ERROR_ACCESS_DENIED.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
// Note: sets every thread's CPU affinity; an ended process gives ERROR_ACCESS_DENIED.
BOOL SetProcessAffinityMask(HANDLE process, DWORD_PTR mask);
// (GetProcessAffinityMask is in pal/sysinfo.h.)

// Note: fails with ERROR_NOT_SUPPORTED (no working-set bounds per process).
BOOL GetProcessWorkingSetSize(HANDLE process, SIZE_T* minimum, SIZE_T* maximum);
// Note: fails with ERROR_NOT_SUPPORTED (no per-process memory controller);
// only (SIZE_T)-1, (SIZE_T)-1 ("trim") succeeds, and does nothing.
BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum);

// Note: SIGKILL through the pidfd, so the exit code cannot be chosen: the
// process reports 128 + 9 (GetExitCodeProcess). On an ended process
// ERROR_ACCESS_DENIED. TerminateProcess(GetCurrentProcess(), code) exits with
// the low 8 bits of code.
BOOL TerminateProcess(HANDLE process, UINT exitCode);

// Note: the child starts in a new session (setsid); paths may use '\' and a
// drive prefix ("C:") is dropped; an image path ending in ".exe" names the
// file without the suffix when only that exists; an application name without
// a separator is searched in PATH. A first word of the command line that
// names the image (or the application name alone) is passed as the image's
// Linux path (argv[0]). Handles are never inherited and the
// STARTUPINFOW std handles are ignored (the child shares our stdin, stdout and
// stderr). CREATE_SUSPENDED and DEBUG_* give ERROR_NOT_SUPPORTED. hThread is
// a second handle to the process (signalled when it ends) and dwThreadId the
// process id. The new process is not a child of ours (an intermediate process
// starts it), so it never lingers as our zombie.
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);

// Not Win32 (Windows hands a process walk these for every process in one
// system call): what a walk over the running processes needs of one of them,
// from one read of /proc/<pid>/stat and its CPU mask, without opening it.
constexpr DWORD PAL_PROCESS_ENDED = 0x1;          // a zombie, not reaped yet
constexpr DWORD PAL_PROCESS_KERNEL_THREAD = 0x2;
constexpr DWORD PAL_PROCESS_NO_AFFINITY = 0x4;    // its CPU mask could not be read
struct PAL_PROCESS_FACTS {
    DWORD processId;
    DWORD flags;
    FILETIME creationTime;     // as GetProcessTimes: with the id, the process's identity
    ULONGLONG userTime;        // 100 ns
    ULONGLONG kernelTime;      // 100 ns
    DWORD priorityClass;       // as GetPriorityClass
    DWORD_PTR affinity;        // as GetProcessAffinityMask
    CHAR commandName[16];      // the kernel's command name: it changes with an exec (or a rename)
    ULONGLONG imageStamp;      // changes with every exec (where the image was put); 0 when hidden from us
    DWORD parentProcessId;     // as a process walk gives it; 0 for a process without one
    ULONGLONG residentBytes;   // its working set: the pages it has in memory now
};
// Note: FALSE with ERROR_INVALID_PARAMETER when no process has the id. Needs
// no rights to the process (OpenProcess grants these queries to everyone).
BOOL PalQueryProcessFacts(DWORD pid, PAL_PROCESS_FACTS* facts);

// Not Win32: the real user id of a process, for a program that must know
// who runs a process it is about to trust. ERROR_ACCESS_DENIED once it ended.
BOOL PalGetProcessUser(HANDLE process, LPDWORD uid);

// Not Win32 (a Windows caller has module paths in this form already): the
// text GetModuleFileNameExW gives for a process that runs the file at `path`
// (UTF-8, relative to the working directory): its absolute path with every
// link resolved and '/' written '\', cut to size - 1 units. A path that names
// no file is taken as written. Returns the units copied; 0 with
// ERROR_INVALID_PARAMETER for a null path or no room.
DWORD PalImagePathText(LPCSTR path, LPWSTR text, DWORD size);
