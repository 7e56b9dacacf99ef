// Completion ports inside the layer: the identity of a port's queue (its
// pipe's inode) and posting to it through any descriptor this process holds,
// for job objects, whose association may come from another process.
#pragma once
#include <cstdint>

#include "pal/types.h"

namespace pal {

struct Object;
// The queue descriptor of a port object (any handle of it, duplicates too).
int PortQueueDescriptor(const Object* port);
// The inode of a port queue's pipe; 0 when fd is not a pipe.
uint64_t PortQueueInode(int fd);
// Every descriptor of a port queue this process keeps open is registered by
// its inode while open (ports do this themselves; jobs for their own copy).
void RegisterPortQueue(int fd);
void UnregisterPortQueue(int fd);
// Posts one packet through any registered descriptor of the queue with that
// inode; ERROR_INVALID_HANDLE when this process holds none.
DWORD PostToPortInode(uint64_t inode, DWORD bytes, ULONG_PTR key, ULONG_PTR overlapped);

}  // namespace pal
