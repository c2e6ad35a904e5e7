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

// The view-volume test of a box (an entry's, a partition's bounds): true
// when it lies wholly on the outer side of one of the planes (none null).
// Each plane is tried at the box corner nearest its inner side only, and the
// first plane that rejects ends the test. Only what is certainly outside is
// rejected: a NaN anywhere keeps the box, and so does an inverted one (the
// corner chosen is the nearest only when min <= max).
inline bool IsBoxOutsideClipPlanes(int32_t planeCount, float* const* planes, const float* min, const float* max) {
  for (int32_t p = 0; p < planeCount; ++p) {
    const float* plane = planes[p];
    const float x = plane[0] < 0.0f ? max[0] : min[0];
    const float y = plane[1] < 0.0f ? max[1] : min[1];
    const float z = plane[2] < 0.0f ? max[2] : min[2];
    if (plane[0] * x + plane[1] * y + plane[2] * z + plane[3] >= 0.0f)
      return min[0] <= max[0] && min[1] <= max[1] && min[2] <= max[2];
  }
  return false;
}

#endif
