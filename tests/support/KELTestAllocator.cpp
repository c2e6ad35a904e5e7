#include <cstdlib>

#include "TestSupport.h"

void* CountingAllocator::Allocate(uint32_t size) {
  const long ordinal = calls++;
  if (failing || (failAfter >= 0 && allocations >= failAfter) || (mode == kOnlyAt && ordinal == failAt) ||
      (mode == kFromOn && ordinal >= failAt)) {
    ++failures;
    return nullptr;
  }
  ++allocations;
  bytes += size;
  return std::malloc(size);
}

void CountingAllocator::Free(void* pointer) {
  ++frees;
  std::free(pointer);
}
