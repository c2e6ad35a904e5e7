// The front-to-back occlusion traversal: reads query results oldest first and
// turns them into drawing, fill queries, entry queries and batches.
#ifndef KEL_OCCLUSION_TRAVERSAL_H
#define KEL_OCCLUSION_TRAVERSAL_H

#include <cstdint>

struct KELFrameState;

constexpr int32_t kMaxBatchMembers = 20;

// Runs until no query is pending and no work is queued in the frame;
// appends the entries found visible to the frame's visible entries; prints
// the six statistics lines.
void RunOcclusionTraversal(KELFrameState* frame);

#endif
