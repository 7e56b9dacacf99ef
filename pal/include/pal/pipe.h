// Named pipes in message mode, as SOCK_SEQPACKET Unix sockets: a pipe name
// "\\.\pipe\<name>" is the socket run/pipe/<encoded name> under the state
// root. Each message is one datagram-like packet, so message boundaries hold.
// Overlapped calls complete through a reactor thread and signal the
// OVERLAPPED's event, as Windows does. An OVERLAPPED's Internal holds
// STATUS_PENDING while the operation is in flight and then the Win32 error
// code of the result (not an NTSTATUS); InternalHigh holds the bytes moved.
#pragma once
#include "pal/iocp.h"
#include "pal/security.h"
#include "pal/types.h"

constexpr DWORD PIPE_ACCESS_INBOUND = 0x00000001;
constexpr DWORD PIPE_ACCESS_OUTBOUND = 0x00000002;
constexpr DWORD PIPE_ACCESS_DUPLEX = 0x00000003;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_FIRST_PIPE_INSTANCE = 0x00080000;
constexpr DWORD STATUS_PENDING = 0x00000103;
constexpr DWORD PIPE_TYPE_BYTE = 0x00000000;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x00000004;
constexpr DWORD PIPE_READMODE_BYTE = 0x00000000;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x00000002;
constexpr DWORD PIPE_WAIT = 0x00000000;
constexpr DWORD PIPE_NOWAIT = 0x00000001;
constexpr DWORD PIPE_UNLIMITED_INSTANCES = 255;
constexpr DWORD NMPWAIT_USE_DEFAULT_WAIT = 0x00000000;
constexpr DWORD NMPWAIT_WAIT_FOREVER = 0xFFFFFFFF;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;

// Note: only message-type pipes (PIPE_TYPE_MESSAGE) are supported, else
// ERROR_NOT_SUPPORTED. The instance limit counts this process's instances of
// the name; PIPE_UNLIMITED_INSTANCES means no limit, and raises the process's
// soft descriptor limit toward its hard one (each instance holds a socket). Clients may connect (and queue) while no instance waits in
// ConnectNamedPipe; they are served by the next connect. The socket gets the
// owner, group and mode of `sa` (administrators only for the service); without
// a DACL it keeps the default mode, so only its owner (and root) can connect.
// One process serves a name at a time: while another live process serves it,
// ERROR_PIPE_BUSY (ERROR_ACCESS_DENIED with FILE_FLAG_FIRST_PIPE_INSTANCE).
// Names are case-sensitive, and their encoded form may not exceed about 80
// bytes when the state root is long (ERROR_FILENAME_EXCED_RANGE). PIPE_ACCESS_*
// is not enforced: every instance reads and writes. Failure returns
// INVALID_HANDLE_VALUE.
HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
                        DWORD inBufferSize, DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES sa);
// Note: a second call while one is pending gives ERROR_PIPE_LISTENING; a call
// on a connected instance gives ERROR_PIPE_CONNECTED even when its client has
// gone (Windows: ERROR_NO_DATA).
BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped);
// Note: messages already sent stay readable by the client, which then sees
// ERROR_BROKEN_PIPE (Windows discards them and reports ERROR_PIPE_NOT_CONNECTED).
BOOL DisconnectNamedPipe(HANDLE pipe);
// Note: the client's uid, gid and supplementary groups from the socket
// (SO_PEERCRED, SO_PEERGROUPS) become the calling thread's filesystem
// identity (PalImpersonateUser); ERROR_CANNOT_IMPERSONATE (1368) before a
// message was read.
BOOL ImpersonateNamedPipeClient(HANDLE pipe);
// Note: the process id from SO_PEERCRED, as the client had it when it connected.
BOOL GetNamedPipeClientProcessId(HANDLE pipe, ULONG* clientProcessId);
// Not Win32 (Windows reads the client's SID from its impersonation token):
// the client's user id from SO_PEERCRED, as it was when it connected; on a
// client's own end, this process's effective user id.
BOOL PalGetNamedPipeClientUserId(HANDLE pipe, DWORD* clientUserId);

// Client side. Note: only pipe names ("\\.\pipe\..."); other paths give
// ERROR_NOT_SUPPORTED. ERROR_FILE_NOT_FOUND when no server has the name;
// ERROR_PIPE_BUSY when the server's backlog is full or its socket was left by
// a dead server. Only OPEN_EXISTING; access and sharing are not enforced.
// The handle is always in message read mode.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
// Note: only PIPE_READMODE_MESSAGE (and null pointers) are accepted.
BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollectionCount, LPDWORD collectDataTimeout);
// Note: waits until the pipe's socket exists, up to the time-out
// (NMPWAIT_USE_DEFAULT_WAIT: the default time-out of the pipe's newest instance,
// or 50 ms without one), woken by inotify on the pipe folder; a name no server has yet is
// waited for too (Windows fails at once with ERROR_FILE_NOT_FOUND). A name
// without the pipe prefix gives ERROR_BAD_PATHNAME.
BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeOut);
// Note: only without an OVERLAPPED (ERROR_NOT_SUPPORTED otherwise); unread
// messages do not make it fail with ERROR_PIPE_BUSY.
BOOL TransactNamedPipe(HANDLE pipe, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize, LPDWORD bytesRead,
                       LPOVERLAPPED overlapped);

// Both sides, pipe handles only. Note: a message longer than the buffer fails with
// ERROR_MORE_DATA after filling the buffer, and its rest is lost (a socket
// cannot keep it for the next read). A read on a pipe whose other end closed
// gives ERROR_BROKEN_PIPE; a write, ERROR_NO_DATA. A zero-length write gives
// ERROR_NOT_SUPPORTED (the socket would deliver it as end of file). A message
// larger than the socket buffer can grow to (about 400 KiB without root, 64 MiB
// as root) fails with ERROR_NOT_ENOUGH_QUOTA. An overlapped handle called
// without an OVERLAPPED blocks.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
// Note: only for pipe handles.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait);
// Note: cancels every pending operation of the handle (not only the calling
// thread's); each completes with ERROR_OPERATION_ABORTED.
BOOL CancelIo(HANDLE file);
// Note: succeeds without waiting: a sent message is already with the peer.
BOOL FlushFileBuffers(HANDLE file);

// Not Win32: the default time-out of the newest instance of a pipe name, for
// diagnostics and tests; ERROR_FILE_NOT_FOUND when no server has the name.
BOOL PalGetNamedPipeDefaultTimeOut(LPCWSTR name, LPDWORD timeOut);
