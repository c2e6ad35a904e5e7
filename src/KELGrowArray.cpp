#include <cstdlib>
#include <cstring>

#include "KELAllocator.h"

KELGrowArray::KELGrowArray() : count(0), growBy(10), capacity(0), data(nullptr) {}

KELGrowArray::KELGrowArray(int32_t growStep) : count(0), growBy(growStep), capacity(0), data(nullptr) {}

// Storage of `slots` pointers holding the first `used` items of `items`;
// null when there is nothing to hold or no memory.
static void** CopyStorage(void* const* items, int32_t used, int32_t slots) {
  if (items == nullptr || slots <= 0) return nullptr;
  void** storage = static_cast<void**>(std::malloc(sizeof(void*) * static_cast<size_t>(slots)));
  if (storage != nullptr && used > 0) std::memcpy(storage, items, sizeof(void*) * static_cast<size_t>(used));
  return storage;
}

KELGrowArray::KELGrowArray(const KELGrowArray& source)
    : count(source.count), growBy(source.growBy), capacity(source.capacity) {
  data = CopyStorage(source.data, source.count, source.capacity);
  if (data == nullptr) count = capacity = 0;
}

KELGrowArray& KELGrowArray::operator=(const KELGrowArray& source) {
  if (this == &source) return *this;
  Release();
  growBy = source.growBy;
  data = CopyStorage(source.data, source.count, source.capacity);
  if (data != nullptr) {
    count = source.count;
    capacity = source.capacity;
  }
  return *this;
}

KELGrowArray::~KELGrowArray() { Release(); }

bool KELGrowArray::Append(void* item) {
  if (count >= capacity) {
    int32_t step = growBy > 0 ? growBy : 1;
    if (capacity > INT32_MAX - step) return false;
    int32_t grown = capacity + step;
    // realloc keeps the old block when it fails, so nothing is lost.
    void** storage = static_cast<void**>(std::realloc(data, sizeof(void*) * static_cast<size_t>(grown)));
    if (storage == nullptr) return false;
    data = storage;
    capacity = grown;
  }
  data[count++] = item;
  return true;
}

bool KELGrowArray::Reserve(int32_t slots) {
  if (slots <= capacity) return true;
  void** storage = static_cast<void**>(std::realloc(data, sizeof(void*) * static_cast<size_t>(slots)));
  if (storage == nullptr) return false;
  data = storage;
  capacity = slots;
  return true;
}

void KELGrowArray::Release() {
  std::free(data);
  data = nullptr;
  count = 0;
  capacity = 0;
}
