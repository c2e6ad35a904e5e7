// Small camera math for the scene tools: matrices are 16 floats,
// column-major, translation in elements 12..14 (clip = P * V * p).
#ifndef KEL_SCENE_MATH_H
#define KEL_SCENE_MATH_H

namespace kel {

void Perspective(float fovYRadians, float aspect, float zNear, float zFar, float* m);
void LookAt(const float* eye, const float* target, float* m);
// result = a * b.
void Multiply(const float* a, const float* b, float* result);
// The six frustum planes of clip = viewProjection * p, each (a, b, c, d)
// normalised, with the inside where a*x + b*y + c*z + d < 0.
void FrustumPlanes(const float* viewProjection, float planes[6][4]);
// True when the box lies wholly outside one of the planes.
bool BoxOutsidePlanes(const float planes[6][4], const float* min, const float* max);

}  // namespace kel

#endif
