#include "KELSceneMath.h"

#include <cmath>

namespace kel {

void Perspective(float fovYRadians, float aspect, float zNear, float zFar, float* m) {
  float f = 1.0f / std::tan(fovYRadians * 0.5f);
  for (int i = 0; i < 16; ++i) m[i] = 0;
  m[0] = f / aspect;
  m[5] = f;
  m[10] = (zFar + zNear) / (zNear - zFar);
  m[11] = -1;
  m[14] = 2 * zFar * zNear / (zNear - zFar);
}

void LookAt(const float* eye, const float* target, float* m) {
  float forward[3] = {target[0] - eye[0], target[1] - eye[1], target[2] - eye[2]};
  float length = std::sqrt(forward[0] * forward[0] + forward[1] * forward[1] + forward[2] * forward[2]);
  for (float& v : forward) v /= length;
  // Up is +y; a camera looking straight down would be degenerate, so paths
  // never do.
  float side[3] = {-forward[2], 0, forward[0]};
  float sideLength = std::sqrt(side[0] * side[0] + side[2] * side[2]);
  side[0] /= sideLength;
  side[2] /= sideLength;
  float up[3] = {side[1] * forward[2] - side[2] * forward[1], side[2] * forward[0] - side[0] * forward[2],
                 side[0] * forward[1] - side[1] * forward[0]};
  const float* rows[3] = {side, up, forward};
  for (int r = 0; r < 3; ++r) {
    float sign = r == 2 ? -1.0f : 1.0f;
    for (int c = 0; c < 3; ++c) m[c * 4 + r] = sign * rows[r][c];
    m[12 + r] = -sign * (rows[r][0] * eye[0] + rows[r][1] * eye[1] + rows[r][2] * eye[2]);
  }
  m[3] = m[7] = m[11] = 0;
  m[15] = 1;
}

void Multiply(const float* a, const float* b, float* result) {
  float out[16];
  for (int column = 0; column < 4; ++column)
    for (int row = 0; row < 4; ++row) {
      float sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[k * 4 + row] * b[column * 4 + k];
      out[column * 4 + row] = sum;
    }
  for (int i = 0; i < 16; ++i) result[i] = out[i];
}

void FrustumPlanes(const float* m, float planes[6][4]) {
  // Rows of the matrix; the inside of plane i is row3 +- row_k >= 0, which
  // is negated to the library's "inside is negative" convention.
  for (int i = 0; i < 6; ++i) {
    int axis = i / 2;
    float sign = (i % 2 == 0) ? 1.0f : -1.0f;
    float length = 0;
    for (int c = 0; c < 4; ++c) {
      planes[i][c] = -(m[c * 4 + 3] + sign * m[c * 4 + axis]);
      if (c < 3) length += planes[i][c] * planes[i][c];
    }
    length = std::sqrt(length);
    for (int c = 0; c < 4; ++c) planes[i][c] /= length;
  }
}

bool BoxOutsidePlanes(const float planes[6][4], const float* min, const float* max) {
  for (int i = 0; i < 6; ++i) {
    // The box corner that lies furthest inside the plane.
    float distance = planes[i][3];
    for (int axis = 0; axis < 3; ++axis)
      distance += planes[i][axis] * (planes[i][axis] < 0 ? max[axis] : min[axis]);
    if (distance >= 0) return true;
  }
  return false;
}

}  // namespace kel
