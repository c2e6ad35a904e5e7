// Umbrella header: everything a host needs.
#ifndef KEL_SCREEN_SPACE_PARTITIONING_H
#define KEL_SCREEN_SPACE_PARTITIONING_H

#include "KELAllocator.h"
#include "KELExport.h"
#include "KELOcclusionCullingClient.h"
#include "KELOcclusionCullingEngine.h"
#include "KELSpacePartitionTraversal.h"

#endif
