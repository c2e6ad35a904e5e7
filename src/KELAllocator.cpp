#include <cstdlib>
#include <new>

#include "FIFOQueue.h"
#include "KELMemory.h"
#include "KELPools.h"

KELAllocator* KELAllocator::_allocator = nullptr;

KELAllocator::KELAllocator() = default;
KELAllocator::KELAllocator(const KELAllocator&) = default;
KELAllocator& KELAllocator::operator=(const KELAllocator&) { return *this; }

KELAllocator* KELAllocator::GetAllocator() {
  if (_allocator == nullptr) {
    void* memory = KELGlobalAllocate(sizeof(KELDefaultAllocator));
    if (memory != nullptr) _allocator = new (memory) KELDefaultAllocator();
  }
  return _allocator;
}

void KELAllocator::SetAllocator(KELAllocator* allocator) { _allocator = allocator; }

KELDefaultAllocator::KELDefaultAllocator() = default;
KELDefaultAllocator::KELDefaultAllocator(const KELDefaultAllocator&) : KELAllocator() {}
KELDefaultAllocator& KELDefaultAllocator::operator=(const KELDefaultAllocator&) { return *this; }

void* KELDefaultAllocator::Allocate(uint32_t size) { return std::malloc(size); }
void KELDefaultAllocator::Free(void* pointer) { std::free(pointer); }

void* KELGlobalAllocate(size_t size) {
  for (;;) {
    void* memory = std::malloc(size);
    if (memory != nullptr) return memory;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    // The host's handler may throw (std::bad_alloc is its usual answer): no
    // exception may cross the library, and a frame must still release its
    // records, so a throw means "no memory" here.
    try {
      handler();
    } catch (...) {
      return nullptr;
    }
  }
}

void* KELAllocateRecord(size_t size) {
  KELAllocator* allocator = KELAllocator::GetAllocator();
  if (allocator == nullptr || size > UINT32_MAX) return nullptr;
  return allocator->Allocate(static_cast<uint32_t>(size));
}

FIFOElement* AllocateElement(FIFOElement** freeList, KELAllocator* allocator) {
  return KELTakeElement(freeList, allocator);
}

KELMatrix* AllocMatrix() {
  KELMatrix* matrix = static_cast<KELMatrix*>(KELGlobalAllocate(sizeof(KELMatrix)));
  if (matrix == nullptr) return nullptr;
  matrix->iNext = KELPools::_matrices;
  matrix->iLink = nullptr;
  KELPools::_matrices = matrix;
  return matrix;
}
