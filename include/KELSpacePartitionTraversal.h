// Visitor for KELOcclusionCullingEngine::TraverseSpacePartition, implemented
// by the host (picking, region queries, view-volume collection).
#ifndef KEL_SPACE_PARTITION_TRAVERSAL_H
#define KEL_SPACE_PARTITION_TRAVERSAL_H

#include "KELExport.h"

class KELSpacePartitionTraversal {
public:
  // Called for every zone reached, with the zone's bounds (true: enter it),
  // and for every entry of an entered zone, with the entry's box (true:
  // VisitObject follows). The pointers are the library's own records, valid
  // for reading during the call. A new partition's root has inverted bounds
  // (min 1e7, max -1e7) until its first entry.
  virtual bool TestBox(const float* min, const float* max) = 0;
  // The host object of an accepted entry.
  // Neither call may change the partition (no add, update, remove, load
  // change or activation) or call EndCulling.
  virtual void VisitObject(void* object) = 0;
};

#endif
