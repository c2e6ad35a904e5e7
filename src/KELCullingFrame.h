// The culling frame's module-wide state, for inspection by tests.
#ifndef KEL_CULLING_FRAME_H
#define KEL_CULLING_FRAME_H

#include <cstdint>

class KELOcclusionCullingEngine;

// Number of per-client records made so far (one per client ever used).
int32_t KELClientStateCount();

// Partitions that an engine's frame list had no room for (its storage could
// not grow), held in a small fixed store and culled after the list. False
// when the store is full too: the partition is then left out of the frame,
// and counted in the statistics of the engine's frames until its next
// StartCulling (iDroppedPartitions).
constexpr int32_t kHeldPartitionSlots = 64;
bool KELHoldPartition(const KELOcclusionCullingEngine* engine, void* partition);
// Forgets the engine's held partitions, or only those equal to `partition`
// when it is not null; returns how many were forgotten. Without a
// partition, the engine's count of dropped partitions restarts too.
int32_t KELForgetHeldPartitions(const KELOcclusionCullingEngine* engine, const void* partition);

#endif
