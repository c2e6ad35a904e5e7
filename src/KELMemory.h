// Internal memory helpers: the global allocation operation and records from
// the current pluggable allocator.
#ifndef KEL_MEMORY_H
#define KEL_MEMORY_H

#include <cstddef>
#include <cstdint>

#include "KELAllocator.h"

// malloc that retries through the runtime's new-handler and returns null
// instead of throwing, also when the handler throws.
void* KELGlobalAllocate(size_t size);

// `size` bytes from the current KELAllocator (created on first use), or
// null when there is no allocator or it fails.
void* KELAllocateRecord(size_t size);

#endif
