#include "KELHeapCounter.h"

#if defined(__SANITIZE_ADDRESS__)
#define KEL_NO_HEAP_COUNTER 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_NO_HEAP_COUNTER 1
#endif
#endif

#ifndef KEL_NO_HEAP_COUNTER

#include <malloc.h>

#include <cstddef>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void __libc_free(void*);

namespace {

bool _counting = false;
bool _failing = false;
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
  if (_counting) ++_calls;
  if (_failing) return nullptr;
  void* pointer = __libc_malloc(size);
  if (_counting) Obtained(pointer);
  return pointer;
}

extern "C" void* calloc(size_t count, size_t size) {
  if (_counting) ++_calls;
  if (_failing) return nullptr;
  void* pointer = __libc_calloc(count, size);
  if (_counting) Obtained(pointer);
  return pointer;
}

extern "C" void* realloc(void* old, size_t size) {
  if (_counting) ++_calls;
  if (_failing) return nullptr;
  if (!_counting) return __libc_realloc(old, size);
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

bool KELHeapCounter::Available() { return true; }

void KELHeapCounter::Start() {
  _calls = 0;
  _netBytes = 0;
  _counting = true;
}

long KELHeapCounter::Stop() {
  _counting = false;
  return _calls;
}

long KELHeapCounter::Calls() { return _calls; }
long long KELHeapCounter::NetBytes() { return _netBytes; }
void KELHeapCounter::Fail(bool failing) { _failing = failing; }

#else

bool KELHeapCounter::Available() { return false; }
void KELHeapCounter::Start() {}
long KELHeapCounter::Stop() { return 0; }
long KELHeapCounter::Calls() { return 0; }
long long KELHeapCounter::NetBytes() { return 0; }
void KELHeapCounter::Fail(bool) {}

#endif
