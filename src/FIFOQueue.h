// Queue of values over a shared free list of elements.
#ifndef KEL_FIFO_QUEUE_H
#define KEL_FIFO_QUEUE_H

#include "KELAllocator.h"

struct FIFOQueue {
  KELAllocator* allocator;
  FIFOElement** freeList;
  FIFOElement* head;
  FIFOElement* tail;

  void Init(KELAllocator* elementAllocator, FIFOElement** elementFreeList) {
    allocator = elementAllocator;
    freeList = elementFreeList;
    head = tail = nullptr;
  }
  bool IsEmpty() const { return head == nullptr; }
  // Appends at the tail; false (value dropped) when no element can be had.
  bool Append(void* value);
  // Takes the front value; the queue must not be empty.
  void* TakeFront();
  // Takes every value off, returning the elements to the free list.
  void Clear();
};

// The element free list shared by every queue of the culling pass.
extern FIFOElement* _sharedElementFreeList;
// The element free list of a partition rebuild's gathering queue, kept apart
// from the culling pass's so that the two never compete for elements.
extern FIFOElement* _rebuildElementFreeList;

#endif
