// Queue of values over a shared free list of elements.
#ifndef KEL_FIFO_QUEUE_H
#define KEL_FIFO_QUEUE_H

#include "KELAllocator.h"

// AllocateElement's work, inline for the queues of the per-frame passes.
inline FIFOElement* KELTakeElement(FIFOElement** freeList, KELAllocator* allocator) {
  FIFOElement* element = *freeList;
  if (element != nullptr) {
    *freeList = element->next;
    return element;
  }
  if (allocator == nullptr) return nullptr;
  return static_cast<FIFOElement*>(allocator->Allocate(sizeof(FIFOElement)));
}

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
  bool Append(void* value) {
    FIFOElement* element = KELTakeElement(freeList, allocator);
    if (element == nullptr) return false;
    element->data = value;
    element->next = nullptr;
    element->prev = tail;
    if (tail != nullptr) tail->next = element;
    else head = element;
    tail = element;
    return true;
  }
  // Takes the front value; the queue must not be empty.
  void* TakeFront() {
    FIFOElement* element = head;
    void* value = element->data;
    FIFOElement* following = element->next;
    element->next = *freeList;
    *freeList = element;
    if (tail == head) tail = nullptr;
    head = following;
    return value;
  }
  // Takes every value off, returning the elements to the free list.
  void Clear();
};

#endif
