// The culling frame's module-wide state, for inspection by tests.
#ifndef KEL_CULLING_FRAME_H
#define KEL_CULLING_FRAME_H

#include <cstdint>

class KELOcclusionCullingEngine;
struct KEL3DZone;
struct KELScreenSpacePartition;

// Number of per-client records made so far (one per client ever used).
int32_t KELClientStateCount();

// A zone that the frame cannot judge for want of memory (no screen record or
// no task for it): at the end of the frame the loaded objects of its whole
// subtree are drawn and the unloaded ones reported, untested, so that the
// frame culls less rather than more. Needs no memory: the list is linked
// through the zones themselves.
void KELLeaveOut(KEL3DZone* zone);
// Leaves out the zone of every record of the node.
void KELLeaveOutNode(const KELScreenSpacePartition* node);

// Partitions that an engine's frame list had no room for (its storage could
// not grow), held in a small fixed store and culled after the list. False
// when the store is full too: the partition is then left out of the frame.
constexpr int32_t kHeldPartitionSlots = 64;
bool KELHoldPartition(const KELOcclusionCullingEngine* engine, void* partition);
// Forgets the engine's held partitions, or only those equal to `partition`
// when it is not null; returns how many were forgotten.
int32_t KELForgetHeldPartitions(const KELOcclusionCullingEngine* engine, const void* partition);

#endif
