// Allocators, queue elements, queues, matrices and growable arrays.
#include <gtest/gtest.h>

#include <cstdint>

#include "FIFOQueue.h"
#include "KELAllocator.h"
#include "TestSupport.h"

TEST(Allocator, DefaultIsCreatedOnceAndReplaceable) {
  KELAllocator::SetAllocator(nullptr);
  KELAllocator* first = KELAllocator::GetAllocator();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(KELAllocator::GetAllocator(), first);
  CountingAllocator counting;
  KELAllocator::SetAllocator(&counting);
  EXPECT_EQ(KELAllocator::GetAllocator(), &counting);
  KELAllocator::SetAllocator(nullptr);
  KELAllocator* second = KELAllocator::GetAllocator();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, &counting);
  void* memory = second->Allocate(64);
  EXPECT_NE(memory, nullptr);
  second->Free(memory);
}

TEST(AllocateElement, TakesTheFreeListBeforeTheAllocator) {
  FIFOElement a{}, b{};
  a.next = &b;
  b.next = nullptr;
  FIFOElement* freeList = &a;
  CountingAllocator counting;
  EXPECT_EQ(AllocateElement(&freeList, &counting), &a);
  EXPECT_EQ(freeList, &b);
  EXPECT_EQ(counting.allocations, 0);
  EXPECT_EQ(AllocateElement(&freeList, &counting), &b);
  EXPECT_EQ(freeList, nullptr);
  FIFOElement* fresh = AllocateElement(&freeList, &counting);
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(counting.allocations, 1);
  EXPECT_EQ(AllocateElement(&freeList, nullptr), nullptr);
  std::free(fresh);
}

TEST(FIFOQueue, GivesValuesBackInOrderAndRecyclesElements) {
  FIFOElement* freeList = nullptr;
  CountingAllocator counting;
  FIFOQueue queue;
  queue.Init(&counting, &freeList);
  int values[3] = {1, 2, 3};
  for (int& v : values) ASSERT_TRUE(queue.Append(&v));
  EXPECT_EQ(counting.allocations, 3);
  FIFOElement* lastTaken = queue.tail;
  for (int expected = 1; expected <= 3; ++expected) EXPECT_EQ(*static_cast<int*>(queue.TakeFront()), expected);
  EXPECT_EQ(queue.head, nullptr);
  EXPECT_EQ(queue.tail, nullptr);
  EXPECT_EQ(freeList, lastTaken);
  // Reuse: no new allocation for three more values.
  for (int& v : values) ASSERT_TRUE(queue.Append(&v));
  EXPECT_EQ(counting.allocations, 3);
  queue.Clear();
  EXPECT_TRUE(queue.IsEmpty());
  while (freeList != nullptr) {
    FIFOElement* next = freeList->next;
    std::free(freeList);
    freeList = next;
  }
}

TEST(FIFOQueue, AppendFailsCleanlyWithoutMemory) {
  FIFOElement* freeList = nullptr;
  CountingAllocator counting;
  counting.failing = true;
  FIFOQueue queue;
  queue.Init(&counting, &freeList);
  int v = 7;
  EXPECT_FALSE(queue.Append(&v));
  EXPECT_TRUE(queue.IsEmpty());
}

TEST(AllocMatrix, LinksNewestFirstWithNullFields) {
  KELMatrix* first = AllocMatrix();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->iLink, nullptr);
  KELMatrix* second = AllocMatrix();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->iNext, first);
  EXPECT_EQ(second->iLink, nullptr);
}

TEST(GrowArray, GrowsInStepsSizedForPointers) {
  KELGrowArray array;
  EXPECT_EQ(array.growBy, 10);
  EXPECT_EQ(array.capacity, 0);
  EXPECT_EQ(array.data, nullptr);
  // Pointers above 4 GiB and all slots written: a 4-bytes-per-slot storage
  // would be overrun (the sanitizer build catches it).
  for (uintptr_t i = 0; i < 10; ++i) ASSERT_TRUE(array.Append(reinterpret_cast<void*>((i + 1) << 36)));
  EXPECT_EQ(array.capacity, 10);
  ASSERT_TRUE(array.Append(reinterpret_cast<void*>(uintptr_t{11} << 36)));
  EXPECT_EQ(array.capacity, 20);
  EXPECT_EQ(array.count, 11);
  for (uintptr_t i = 0; i < 11; ++i) EXPECT_EQ(array.data[i], reinterpret_cast<void*>((i + 1) << 36));
}

TEST(GrowArray, CopiesOwnStorageAndSurvivesSelfAssignment) {
  KELGrowArray array;
  int items[3];
  for (int& item : items) array.Append(&item);
  KELGrowArray copy(array);
  EXPECT_EQ(copy.capacity, 10);
  EXPECT_EQ(copy.count, 3);
  EXPECT_NE(copy.data, array.data);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(copy.data[i], &items[i]);

  KELGrowArray& alias = array;
  array = alias;
  ASSERT_NE(array.data, nullptr);
  EXPECT_EQ(array.count, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(array.data[i], &items[i]);

  KELGrowArray assigned(4);
  assigned.Append(&items[0]);
  assigned = copy;
  EXPECT_EQ(assigned.count, 3);
  EXPECT_EQ(assigned.growBy, 10);
  EXPECT_EQ(assigned.data[2], &items[2]);

  KELGrowArray empty;
  assigned = empty;
  EXPECT_EQ(assigned.count, 0);
  EXPECT_EQ(assigned.data, nullptr);
}
