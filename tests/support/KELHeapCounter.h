// Replaces the C allocator's entry points (malloc, calloc, realloc, free)
// for the whole process that links it: while enabled it counts the calls
// and the bytes they hold, and on request makes every allocation fail
// (keep that span free of anything else that allocates). Unavailable
// (Available() false, counts 0) under the sanitizers, which own malloc.
#ifndef KEL_HEAP_COUNTER_H
#define KEL_HEAP_COUNTER_H

struct KELHeapCounter {
  static bool Available();
  static void Start();
  // Stops counting; returns the calls counted since Start.
  static long Stop();
  static long Calls();
  // Bytes obtained minus bytes released while enabled (usable sizes).
  static long long NetBytes();
  static void Fail(bool failing);
};

#endif
