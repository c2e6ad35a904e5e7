// Zone projection and clip tests. Single precision throughout, with the
// operation order fixed: later comparisons (octants, rejection) depend on
// the exact rounding.
#include "KELScreenZone.h"

#include <cstring>

#include "KEL3DZone.h"
#include "KELMemory.h"
#include "KELView.h"

KELScreenZone* KELScreenZone::Take() {
  KELScreenZone* record = _freeList;
  if (record != nullptr) {
    _freeList = record->iNext;
    return record;
  }
  record = static_cast<KELScreenZone*>(KELAllocateRecord(sizeof(KELScreenZone)));
  if (record != nullptr) std::memset(record, 0, sizeof(KELScreenZone));
  return record;
}

void ComputeViewProjection(const float* projection, const float* view, float* out) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      float sum = view[4 * r] * projection[c];
      for (int k = 1; k < 4; ++k) sum += view[4 * r + k] * projection[4 * k + c];
      out[4 * r + c] = sum;
    }
  }
}

namespace {

// Corner k takes x from bit pattern {0,1,1,0,0,1,1,0}, y from
// {0,0,1,1,0,0,1,1} and z from {0,0,0,0,1,1,1,1} (0 = minimum).
constexpr int kCornerX[8] = {0, 1, 1, 0, 0, 1, 1, 0};
constexpr int kCornerY[8] = {0, 0, 1, 1, 0, 0, 1, 1};
constexpr int kCornerZ[8] = {0, 0, 0, 0, 1, 1, 1, 1};

// Clip coordinates of the eight corners from 24 shared products.
void ClipCorners(const float* minCorner, const float* maxCorner, const float* m, float clip[8][4]) {
  float px[2][4], py[2][4], pz[2][4];
  for (int j = 0; j < 4; ++j) {
    px[0][j] = minCorner[0] * m[j];
    px[1][j] = maxCorner[0] * m[j];
    py[0][j] = minCorner[1] * m[4 + j];
    py[1][j] = maxCorner[1] * m[4 + j];
    pz[0][j] = minCorner[2] * m[8 + j];
    pz[1][j] = maxCorner[2] * m[8 + j];
  }
  for (int k = 0; k < 8; ++k)
    for (int j = 0; j < 4; ++j)
      clip[k][j] = px[kCornerX[k]][j] + py[kCornerY[k]][j] + pz[kCornerZ[k]][j] + m[12 + j];
}

// NDC bounds: corner 0 sets both, later corners widen with strict tests, so
// a NaN never replaces a bound.
void AccumulateNdc(const float clip[8][4], float* outMin, float* outMax) {
  for (int k = 0; k < 8; ++k) {
    float r = 1.0f / clip[k][3];
    for (int a = 0; a < 3; ++a) {
      float v = clip[k][a] * r;
      if (k == 0) {
        outMin[a] = outMax[a] = v;
      } else if (v < outMin[a]) {
        outMin[a] = v;
      } else if (v > outMax[a]) {
        outMax[a] = v;
      }
    }
  }
}

// In the view being culled: another view's projection must not leak into
// what this one tells its client.
void SetInsideFlag(KEL3DZone* zone, bool inside) { KELView::SetZoneFlag(zone, kZoneFlagInsideScreen, inside); }

}  // namespace

void ProjectBox(const float* minCorner, const float* maxCorner, const float* matrix, float* outMin,
                float* outMax) {
  float clip[8][4];
  ClipCorners(minCorner, maxCorner, matrix, clip);
  AccumulateNdc(clip, outMin, outMax);
}

KELScreenZone* ProjectZone(const float* viewProjection, KEL3DZone* zone) {
  KELScreenZone* record = KELScreenZone::Take();
  if (record == nullptr) return nullptr;
  record->iViewProjection = viewProjection;
  record->iZone = zone;
  record->iCrossesNearPlane = 0;
  float clip[8][4];
  ClipCorners(zone->iMin, zone->iMax, viewProjection, clip);
  int behind = 0;
  for (int k = 0; k < 8; ++k) {
    if (!(clip[k][2] > 0.0f)) record->iCrossesNearPlane = 1;
    if (clip[k][3] <= 0.0f) ++behind;
  }
  record->iBehindEye = behind == 8 ? 1 : 0;
  AccumulateNdc(clip, record->iMin, record->iMax);
  record->iIsInsideScreen = 0;
  if (!record->iCrossesNearPlane && -1.0f < record->iMin[0] && record->iMax[0] < 1.0f &&
      -1.0f < record->iMin[1] && record->iMax[1] < 1.0f) {
    record->iIsInsideScreen = 1;
  } else {
    for (int a = 0; a < 2; ++a) {
      if (record->iMin[a] < -1.0f) record->iMin[a] = -1.0f;
      if (record->iMax[a] > 1.0f) record->iMax[a] = 1.0f;
    }
  }
  SetInsideFlag(zone, record->iIsInsideScreen != 0);
  return record;
}

KELScreenZone* ProjectInsideZone(const float* viewProjection, KEL3DZone* zone) {
  KELScreenZone* record = KELScreenZone::Take();
  if (record == nullptr) return nullptr;
  record->iViewProjection = viewProjection;
  record->iZone = zone;
  record->iCrossesNearPlane = 0;
  record->iIsInsideScreen = 1;
  record->iBehindEye = 0;
  SetInsideFlag(zone, true);
  ProjectBox(zone->iMin, zone->iMax, viewProjection, record->iMin, record->iMax);
  return record;
}

namespace {

// The plane's signed value at corner k of the zone's box, as the plain
// corner-by-corner test evaluates it.
float PlaneValue(const float* plane, const KEL3DZone* zone, int k) {
  const float x = kCornerX[k] ? zone->iMax[0] : zone->iMin[0];
  const float y = kCornerY[k] ? zone->iMax[1] : zone->iMin[1];
  const float z = kCornerZ[k] ? zone->iMax[2] : zone->iMin[2];
  return plane[0] * x + plane[1] * y + plane[2] * z + plane[3];
}

// True when every corner lies on the outer side (value >= 0 or NaN).
bool AllCornersOutside(const float* plane, const KEL3DZone* zone) {
  for (int k = 0; k < 8; ++k)
    if (PlaneValue(plane, zone, k) < 0.0f) return false;
  return true;
}

// Rounding is monotonic, so the corner that takes the smaller end of every
// axis term has the least value of all eight: the box is outside exactly
// when that value is not negative. Only a NaN (an infinite bound times a
// zero coefficient, or a NaN plane) needs the corners one by one.
// The end of the box's interval on one axis that makes coefficient * value
// least (the box may be inverted).
float NearEnd(float coefficient, float a, float b) {
  const bool aIsLower = a < b;
  return (coefficient >= 0.0f) == aIsLower ? a : b;
}

bool IsOutsidePlane(const float* plane, const KEL3DZone* zone) {
  const float x = NearEnd(plane[0], zone->iMin[0], zone->iMax[0]);
  const float y = NearEnd(plane[1], zone->iMin[1], zone->iMax[1]);
  const float z = NearEnd(plane[2], zone->iMin[2], zone->iMax[2]);
  const float least = plane[0] * x + plane[1] * y + plane[2] * z + plane[3];
  if (least < 0.0f) return false;
  if (least >= 0.0f) return true;
  return AllCornersOutside(plane, zone);
}

}  // namespace

int32_t KELUsedClipPlanes(int32_t planeCount, float* const* planes, float** used) {
  int32_t count = 0;
  for (int32_t p = 0; p < planeCount && p < 6 && planes != nullptr; ++p)
    if (planes[p] != nullptr) used[count++] = planes[p];
  return count;
}

bool IsOutsideClipPlanes(int32_t planeCount, float* const* planes, const KEL3DZone* zone) {
  if (planes == nullptr) return false;
  const int32_t used = planeCount < 6 ? planeCount : 6;
  for (int32_t p = 0; p < used; ++p)
    if (IsOutsidePlane(planes[p], zone)) return true;
  return false;
}

bool IsOutsideClipPlanesByCorners(int32_t planeCount, float* const* planes, const KEL3DZone* zone) {
  if (planes == nullptr) return false;
  const int32_t used = planeCount < 6 ? planeCount : 6;
  for (int32_t p = 0; p < used; ++p)
    if (AllCornersOutside(planes[p], zone)) return true;
  return false;
}
