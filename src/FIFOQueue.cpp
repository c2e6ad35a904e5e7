#include "FIFOQueue.h"

FIFOElement* _sharedElementFreeList = nullptr;

void FIFOQueue::Clear() {
  while (head != nullptr) TakeFront();
}
