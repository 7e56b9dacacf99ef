// File mappings backed by memory: named ones live under run/shm of the state
// root, unnamed ones are anonymous memory; both can be pulled into another
// process with DuplicateHandle.
#pragma once
#include "pal/security.h"
#include "pal/types.h"

constexpr DWORD PAGE_NOACCESS = 0x01;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD PAGE_WRITECOPY = 0x08;
constexpr DWORD SEC_COMMIT = 0x08000000;

constexpr DWORD FILE_MAP_COPY = 0x0001;
constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;


// Note: only memory-backed mappings (file INVALID_HANDLE_VALUE), protection
// PAGE_READONLY or PAGE_READWRITE, optionally SEC_COMMIT; other protections
// and section flags give ERROR_NOT_SUPPORTED. Memory is taken as it is first
// touched, not committed up front. Mapping names have a namespace of their
// own (an event may share a mapping's name). A named mapping lives in
// run/shm of the state root while some live process holds it.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                          LPCWSTR name);
// Note: the access right is checked against the mapping file's mode under the
// thread's filesystem identity; the handle is never inherited.
HANDLE OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID address);
