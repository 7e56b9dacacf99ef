// I/O completion ports: a queue of packets that every process holding the
// port shares.
#pragma once
#include "pal/types.h"

using PULONG_PTR = ULONG_PTR*;

// Windows layout; the layer itself never touches the fields.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

// A post that finds the queue full fails with this, as a Windows post that
// cannot get memory for its packet does.

// Note: only creates a port (file INVALID_HANDLE_VALUE, existing null);
// associating a file or pipe handle gives ERROR_NOT_SUPPORTED. The
// concurrency value is accepted and not enforced.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR key, DWORD concurrency);
// Note: the queue is bounded (about 43000 packets); a post to a full queue
// fails with ERROR_NO_SYSTEM_RESOURCES.
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped);
// Note: closing the port while a thread waits here does not end the wait
// (Windows returns ERROR_ABANDONED_WAIT_0); a null out-pointer gives
// ERROR_INVALID_PARAMETER. Packets are handed out first in, first out, with no
// last-in-first-out preference for the most recent waiter.
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD ms);
