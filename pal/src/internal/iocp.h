// Completion ports inside the layer: posting to a port's queue descriptor,
// for objects that hold their own copy of it (job objects).
#pragma once
#include "pal/types.h"

namespace pal {

// Posts one packet to the queue descriptor of a port (any descriptor of its pipe).
DWORD PostToPortQueue(int fd, DWORD bytes, ULONG_PTR key, ULONG_PTR overlapped);

}  // namespace pal
