// Memory interface of the library: the pluggable allocator, queue elements,
// matrix records and the growable pointer array that engine members use.
#ifndef KEL_ALLOCATOR_H
#define KEL_ALLOCATOR_H

#include <cstdint>

#include "KELExport.h"

// The source of every record the library makes in numbers (entries, zones,
// per-frame records, tasks, queue elements). A host may install its own.
//
// Contract: Allocate returns at least `size` bytes aligned for any scalar
// type, or null. The library never calls Free: records are recycled through
// internal free lists and stay allocated for the life of the process, so an
// allocator must outlive every record obtained from it. Allocate is called
// only on the thread that calls the library, and never from inside a client
// or visitor callback.
class KEL_API KELAllocator {
public:
  KELAllocator();
  KELAllocator(const KELAllocator&);
  KELAllocator& operator=(const KELAllocator&);

  virtual void* Allocate(uint32_t size) = 0;
  virtual void  Free(void* pointer) = 0;

  // The current allocator; creates the default allocator on first use.
  // Returns null only if even that cannot be created.
  static KELAllocator* GetAllocator();
  // Replaces the current allocator (null: a new default allocator is made
  // on the next request). The previous allocator is not told or released;
  // records already obtained from it stay in use.
  static void SetAllocator(KELAllocator* allocator);

private:
  static KELAllocator* _allocator;
};

// Allocate = malloc, Free = free.
class KEL_API KELDefaultAllocator : public KELAllocator {
public:
  KELDefaultAllocator();
  KELDefaultAllocator(const KELDefaultAllocator&);
  KELDefaultAllocator& operator=(const KELDefaultAllocator&);

  void* Allocate(uint32_t size) override;
  void  Free(void* pointer) override;
};

// Element of the library's queues. `next` also links free elements.
struct FIFOElement {
  void* data;
  FIFOElement* prev;
  FIFOElement* next;
};

// Pops the head of *freeList if there is one (fields keep whatever they
// held); otherwise asks `allocator` for a new, uninitialised element.
// Returns null when the list is empty and the allocator is null or fails.
KEL_API FIFOElement* AllocateElement(FIFOElement** freeList, KELAllocator* allocator);

// A 4x4 matrix, translation in elements 12..14, followed by two link fields
// (null after construction).
struct KELMatrix {
  float iElements[16];
  KELMatrix* iNext;
  KELMatrix* iLink;
};

// Returns a new matrix record with both link fields null and the elements
// uninitialised, linked at the head of a module-wide list; null when no
// memory could be obtained.
KEL_API KELMatrix* AllocMatrix();

// Growable array of pointers on the C heap. It is part of the engine's
// layout; hosts should not use it directly (its operations are internal).
struct KELGrowArray {
  int32_t count;
  int32_t growBy;
  int32_t capacity;
  void** data;

  KELGrowArray();
  explicit KELGrowArray(int32_t growStep);
  KELGrowArray(const KELGrowArray& source);
  KELGrowArray& operator=(const KELGrowArray& source);
  ~KELGrowArray();

  // Appends an item, growing the storage by growBy slots when full.
  // Returns false (and keeps the array unchanged) when memory runs out.
  bool Append(void* item);
  // Makes room for at least `slots` items without changing the count.
  bool Reserve(int32_t slots);
  // Frees the storage; count and capacity become 0.
  void Release();
};

#endif
