// The contribution test of a bounding sphere, shared by the engine's
// IsTooSmall and the culling pass.
#ifndef KEL_CONTRIBUTION_H
#define KEL_CONTRIBUTION_H

// True when the sphere's diameter is less than its distance ahead of the eye
// along the scaled direction: d = (s . c) - offset, formed in double
// precision, rounded to float and compared strictly with 2 * radius.
inline bool KELIsTooSmall(const float* scaledDirection, float offset, const float* center, float radius) {
  const float* s = scaledDirection;
  const float* c = center;
  const float distance =
      static_cast<float>(((static_cast<double>(s[1]) * c[1] + static_cast<double>(s[0]) * c[0]) +
                          static_cast<double>(s[2]) * c[2]) -
                         offset);
  return distance > 2.0f * radius;
}

// The contribution parameters of the engine running the frame.
struct KELContribution {
  float iScaledDirection[3];
  float iOffset;
  // All zero: the distance is 0 for every finite centre, so only a negative
  // radius can be too small and the double-precision sum can be skipped.
  bool iOff;
  bool iSet;

  void Set(const float* scaledDirection, float offset) {
    for (int i = 0; i < 3; ++i) iScaledDirection[i] = scaledDirection[i];
    iOffset = offset;
    iOff = scaledDirection[0] == 0.0f && scaledDirection[1] == 0.0f && scaledDirection[2] == 0.0f && offset == 0.0f;
    iSet = true;
  }
  bool IsTooSmall(const float* center, float radius) const {
    if (iOff) {
      // 0 * c is 0 for a finite c and NaN otherwise (NaN never passes).
      const bool finite = center[0] - center[0] == 0.0f && center[1] - center[1] == 0.0f &&
                          center[2] - center[2] == 0.0f;
      return finite && 0.0f > 2.0f * radius;
    }
    return KELIsTooSmall(iScaledDirection, iOffset, center, radius);
  }
};

#endif
