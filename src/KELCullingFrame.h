// The culling frame's module-wide state, for inspection by tests.
#ifndef KEL_CULLING_FRAME_H
#define KEL_CULLING_FRAME_H

#include <cstdint>

// Number of per-client records made so far (one per client ever used).
int32_t KELClientStateCount();

#endif
