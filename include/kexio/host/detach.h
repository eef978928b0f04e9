// Hand-over of large arena arrays to host values.
#pragma once

#include "kexio/host/context.h"

namespace Kex {

// When data is the start of a large array allocated by arena, unlinks its
// block from the arena (which then no longer frees it) and returns a handle
// for free_detached; otherwise null, and the caller copies.
void* detach_array(IcvAllocator* arena, const void* data);
void free_detached(void* block);

}  // namespace Kex
