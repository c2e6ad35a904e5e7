#include "FIFOQueue.h"

void FIFOQueue::Clear() {
  while (head != nullptr) TakeFront();
}
