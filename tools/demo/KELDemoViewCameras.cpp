#include "KELDemoViewCameras.h"

#include <algorithm>
#include <cmath>

#include "KELSceneMath.h"

// The light of the meshes' shading: from above, a little to the side.
const float kDemoLightDirection[3] = {0.40f / 0.9434f, 0.80f / 0.9434f, 0.30f / 0.9434f};

namespace {

float Dot(const float* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void Transform(const float* m, const float* p, float w, float* out) {
  float h[4];
  for (int r = 0; r < 4; ++r) h[r] = m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r] * w;
  for (int a = 0; a < 3; ++a) out[a] = h[a] / h[3];
}

void Orthographic(float halfWidth, float halfHeight, float zNear, float zFar, float* m) {
  for (int i = 0; i < 16; ++i) m[i] = 0;
  m[0] = 1.0f / halfWidth;
  m[5] = 1.0f / halfHeight;
  m[10] = -2.0f / (zFar - zNear);
  m[14] = -(zFar + zNear) / (zFar - zNear);
  m[15] = 1;
}

void Finish(KELFrameCamera& camera) {
  kel::Multiply(camera.iProjection, camera.iView, camera.iViewProjection);
  kel::FrustumPlanes(camera.iViewProjection, camera.iPlanes);
}

// The sphere around the camera's view volume, from its projection alone so
// that its radius stays the same from frame to frame.
float ViewVolumeSphere(const KELFrameCamera& camera, float* center) {
  float inverseProjection[16], inverseView[16];
  InvertMatrix(camera.iProjection, inverseProjection);
  InvertMatrix(camera.iView, inverseView);
  float corners[8][3], middle[3] = {0, 0, 0};
  for (int k = 0; k < 8; ++k) {
    const float ndc[3] = {(k & 1) ? 1.0f : -1.0f, (k & 2) ? 1.0f : -1.0f, (k & 4) ? 1.0f : -1.0f};
    Transform(inverseProjection, ndc, 1.0f, corners[k]);
    for (int a = 0; a < 3; ++a) middle[a] += corners[k][a] / 8.0f;
  }
  float radius = 0;
  for (const float* corner : corners) {
    float squared = 0;
    for (int a = 0; a < 3; ++a) squared += (corner[a] - middle[a]) * (corner[a] - middle[a]);
    radius = std::max(radius, std::sqrt(squared));
  }
  Transform(inverseView, middle, 1.0f, center);
  return radius;
}

}  // namespace

KELFrameCamera MakePerspectiveCamera(const float* eye, const float* target, const KELWalkthroughOptions& options,
                                     float farPlane) {
  KELFrameCamera camera;
  const float aspect = static_cast<float>(options.iWidth) / static_cast<float>(options.iHeight);
  kel::Perspective(options.iFovY, aspect, options.iNearPlane, farPlane, camera.iProjection);
  kel::LookAt(eye, target, camera.iView);
  Finish(camera);
  float length = 0;
  for (int a = 0; a < 3; ++a) {
    camera.iEye[a] = eye[a];
    camera.iDirection[a] = target[a] - eye[a];
    length += camera.iDirection[a] * camera.iDirection[a];
  }
  for (float& component : camera.iDirection) component /= std::sqrt(length);
  return camera;
}

KELFrameCamera MakeEyeCamera(const KELFrameCamera& center, float offset, const KELWalkthroughOptions& options,
                             float farPlane) {
  // Sideways as the view matrix has it: horizontal, whatever the pitch.
  const float* d = center.iDirection;
  float side[3] = {-d[2], 0, d[0]};
  const float length = std::sqrt(side[0] * side[0] + side[2] * side[2]);
  float eye[3], target[3];
  for (int a = 0; a < 3; ++a) {
    eye[a] = center.iEye[a] + (length > 0 ? side[a] / length * offset : 0.0f);
    target[a] = eye[a] + d[a];
  }
  return MakePerspectiveCamera(eye, target, options, farPlane);
}

KELFrameCamera MakeLightCamera(const KELFrameCamera& camera, const kel::KELScene& scene, int width, int height) {
  const float* light = kDemoLightDirection;
  float center[3];
  float radius = ViewVolumeSphere(camera, center);
  float sceneCenter[3], sceneRadius = 0;
  for (int a = 0; a < 3; ++a) {
    sceneCenter[a] = 0.5f * (scene.iMin[a] + scene.iMax[a]);
    sceneRadius += 0.25f * (scene.iMax[a] - scene.iMin[a]) * (scene.iMax[a] - scene.iMin[a]);
  }
  sceneRadius = std::sqrt(sceneRadius);
  if (sceneRadius < radius) {
    radius = sceneRadius;
    std::copy(sceneCenter, sceneCenter + 3, center);
  }
  // One texel of room, so that the snapped volume still holds the sphere.
  const float half = radius * static_cast<float>(std::max(width, height)) / static_cast<float>(std::max(width, height) - 2);
  const float texel[2] = {2 * half / static_cast<float>(width), 2 * half / static_cast<float>(height)};
  // The light's basis as the view matrix builds it for looking along -light.
  const float forward[3] = {-light[0], -light[1], -light[2]};
  float side[3] = {-forward[2], 0, forward[0]};
  const float sideLength = std::sqrt(side[0] * side[0] + side[2] * side[2]);
  side[0] /= sideLength;
  side[2] /= sideLength;
  const float up[3] = {side[1] * forward[2] - side[2] * forward[1], side[2] * forward[0] - side[0] * forward[2],
                       side[0] * forward[1] - side[1] * forward[0]};
  const float* axes[2] = {side, up};
  for (int k = 0; k < 2; ++k) {
    const float along = Dot(center, axes[k]);
    const float snapped = std::floor(along / texel[k] + 0.5f) * texel[k];
    for (int a = 0; a < 3; ++a) center[a] += (snapped - along) * axes[k][a];
  }
  // Depth from a plane beyond the whole scene, so that depths are the same
  // wherever the volume goes.
  float highest = -1e30f, lowest = 1e30f;
  for (int k = 0; k < 8; ++k) {
    const float corner[3] = {(k & 1) ? scene.iMax[0] : scene.iMin[0], (k & 2) ? scene.iMax[1] : scene.iMin[1],
                             (k & 4) ? scene.iMax[2] : scene.iMin[2]};
    highest = std::max(highest, Dot(corner, light));
    lowest = std::min(lowest, Dot(corner, light));
  }
  const float top = highest + 1.0f;
  KELFrameCamera result;
  float eye[3], target[3];
  const float lift = top - Dot(center, light);
  for (int a = 0; a < 3; ++a) {
    eye[a] = center[a] + lift * light[a];
    target[a] = eye[a] + forward[a];
    result.iEye[a] = eye[a];
    result.iDirection[a] = forward[a];
  }
  kel::LookAt(eye, target, result.iView);
  // The library takes a corner with a clip z <= 0 for one in front of the
  // near plane, and never queries such a zone. With OpenGL's depth from -w
  // to w that is the near half of an orthographic volume, so the near plane
  // goes back (behind the light) until the whole scene lies in the far half.
  const float zFar = top - lowest + 1.0f;
  Orthographic(half, half, 2.0f * 0.5f - zFar, zFar, result.iProjection);
  Finish(result);
  return result;
}

bool InvertMatrix(const float* m, float* out) {
  float inv[16];
  inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
           m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
  inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
           m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
  inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
           m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
  inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
            m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
  inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
           m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
  inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
           m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
  inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
           m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
  inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
            m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
  inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
           m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
  inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
           m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
  inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
            m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
  inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
            m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
  inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
           m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
  inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
           m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
  inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
            m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
  inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
            m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
  const float determinant = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
  if (determinant == 0) return false;
  for (int i = 0; i < 16; ++i) out[i] = inv[i] / determinant;
  return true;
}
