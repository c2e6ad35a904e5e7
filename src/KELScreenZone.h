// Projection of zones into normalized device coordinates, the clip-plane
// test, and the per-frame record of one projected zone.
#ifndef KEL_SCREEN_ZONE_H
#define KEL_SCREEN_ZONE_H

#include <cstdint>

struct KEL3DZone;

struct KELScreenZone {
  KELScreenZone* iNext;
  KEL3DZone* iZone;
  const float* iViewProjection;
  uint8_t iIsSmall;
  uint8_t iCrossesNearPlane;
  uint8_t iIsInsideScreen;
  // Every corner has a clip w <= 0: the box lies wholly behind the eye
  // plane and no perspective projection can show it (an orthographic one
  // has w = 1; a NaN w does not count).
  uint8_t iBehindEye;
  float iMin[3];
  float iMax[3];

  // A record from the pool (not cleared), or a new zeroed one; null when
  // the allocator fails.
  static KELScreenZone* Take();
  static KELScreenZone* _freeList;
};

// out = projection applied after view: out[4r+c] = sum_k view[4r+k] * projection[4k+c].
void ComputeViewProjection(const float* projection, const float* view, float* out);
// Projects the eight corners and writes their NDC bounding box; no tests.
void ProjectBox(const float* minCorner, const float* maxCorner, const float* matrix, float* outMin,
                float* outMax);
// Full projection with the near-plane and inside-screen tests; null when no
// record can be had.
KELScreenZone* ProjectZone(const float* viewProjection, KEL3DZone* zone);
// Projection of a zone whose parent lay inside the screen; no tests.
KELScreenZone* ProjectInsideZone(const float* viewProjection, KEL3DZone* zone);
// The planes the clip test uses: the first six of the engine's, without the
// null ones, which reject nothing (any stand-in plane would reject a zone
// with infinite bounds: 0 * inf is NaN). Writes at most six; returns how many.
int32_t KELUsedClipPlanes(int32_t planeCount, float* const* planes, float** used);
// True when the zone's box lies wholly on the outer side of one of the first
// min(planeCount, 6) planes (none of them null). With no planes nothing is
// outside.
bool IsOutsideClipPlanes(int32_t planeCount, float* const* planes, const KEL3DZone* zone);
// The same test corner by corner: the reference the fast test must match.
bool IsOutsideClipPlanesByCorners(int32_t planeCount, float* const* planes, const KEL3DZone* zone);

#endif
