// Counts the process's C heap calls (malloc, calloc, realloc) and the bytes
// they hold, while enabled. Linked only into the allocation audit, which
// replaces the C allocator's entry points for the whole process.
#ifndef KEL_HEAP_COUNTER_H
#define KEL_HEAP_COUNTER_H

#include <cstdint>

struct KELHeapCounter {
  static void Start();
  static void Stop();
  static long Calls();
  // Bytes obtained minus bytes released while enabled (usable sizes).
  static long long NetBytes();
};

#endif
