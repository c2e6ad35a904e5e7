// The front-to-back occlusion traversal: reads query results oldest first and
// turns them into drawing, fill queries, entry queries and batches.
#ifndef KEL_OCCLUSION_TRAVERSAL_H
#define KEL_OCCLUSION_TRAVERSAL_H

#include "FIFOQueue.h"

class KELOcclusionCullingClient;
class KELQueryBatchTask;
struct KELClientQueryState;

constexpr int kBatchSlotCount = 255;
constexpr int32_t kMaxBatchMembers = 20;

// Runs until no query is pending and no work is queued; appends the entries
// found visible to `visibleEntries`; prints the six statistics lines.
void RunOcclusionTraversal(KELOcclusionCullingClient* client, KELClientQueryState* queryState,
                           FIFOQueue* visibleEntries);

// Open batches by visibility history (only even slots are used). Empty
// outside the traversal.
extern KELQueryBatchTask* _batchSlots[kBatchSlotCount];

#endif
