#include "KELHeapCounter.h"

#include <malloc.h>

#include <cstddef>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void __libc_free(void*);

namespace {

bool _counting = false;
long _calls = 0;
long long _netBytes = 0;

void Obtained(void* pointer) {
  if (pointer != nullptr) _netBytes += static_cast<long long>(malloc_usable_size(pointer));
}

void Released(void* pointer) {
  if (pointer != nullptr) _netBytes -= static_cast<long long>(malloc_usable_size(pointer));
}

}  // namespace

extern "C" void* malloc(size_t size) {
  void* pointer = __libc_malloc(size);
  if (_counting) {
    ++_calls;
    Obtained(pointer);
  }
  return pointer;
}

extern "C" void* calloc(size_t count, size_t size) {
  void* pointer = __libc_calloc(count, size);
  if (_counting) {
    ++_calls;
    Obtained(pointer);
  }
  return pointer;
}

extern "C" void* realloc(void* old, size_t size) {
  if (!_counting) return __libc_realloc(old, size);
  ++_calls;
  Released(old);
  void* pointer = __libc_realloc(old, size);
  // A failed realloc keeps the old block.
  Obtained(pointer != nullptr ? pointer : (size != 0 ? old : nullptr));
  return pointer;
}

extern "C" void free(void* pointer) {
  if (_counting) Released(pointer);
  __libc_free(pointer);
}

void KELHeapCounter::Start() {
  _calls = 0;
  _netBytes = 0;
  _counting = true;
}

void KELHeapCounter::Stop() { _counting = false; }
long KELHeapCounter::Calls() { return _calls; }
long long KELHeapCounter::NetBytes() { return _netBytes; }
