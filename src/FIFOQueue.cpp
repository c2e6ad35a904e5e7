#include "FIFOQueue.h"

FIFOElement* _sharedElementFreeList = nullptr;

bool FIFOQueue::Append(void* value) {
  FIFOElement* element = AllocateElement(freeList, allocator);
  if (element == nullptr) return false;
  element->data = value;
  element->next = nullptr;
  element->prev = tail;
  if (tail != nullptr) tail->next = element;
  else head = element;
  tail = element;
  return true;
}

void* FIFOQueue::TakeFront() {
  FIFOElement* element = head;
  void* value = element->data;
  FIFOElement* following = element->next;
  element->next = *freeList;
  *freeList = element;
  if (tail == head) tail = nullptr;
  head = following;
  return value;
}

void FIFOQueue::Clear() {
  while (head != nullptr) TakeFront();
}
