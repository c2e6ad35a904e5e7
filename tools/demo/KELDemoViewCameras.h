// The cameras of the demo's views: two eyes beside the path's camera, a
// second viewport on another path, and a directional light whose
// orthographic volume covers a camera's view volume.
#ifndef KEL_DEMO_VIEW_CAMERAS_H
#define KEL_DEMO_VIEW_CAMERAS_H

#include "KELScene.h"
#include "KELWalkthrough.h"

// A perspective camera at `eye` looking at `target` (the walkthrough's
// field of view, aspect, near plane and the scene's far plane).
KELFrameCamera MakePerspectiveCamera(const float* eye, const float* target, const KELWalkthroughOptions& options,
                                     float farPlane);

// The camera moved sideways by `offset` (negative: to the left), looking
// the same way: one eye of a pair.
KELFrameCamera MakeEyeCamera(const KELFrameCamera& center, float offset, const KELWalkthroughOptions& options,
                             float farPlane);

// A directional light shining along -kDemoLightDirection (which points to the light).
extern const float kDemoLightDirection[3];

// The light's orthographic camera for `camera`: it covers a sphere around
// the camera's view volume (or the scene, when that is smaller), its depth
// range spans the whole scene so that no caster between the light and the
// volume is cut (and the scene lies in the far half of clip depth, where the
// library queries zones), and it moves in whole texels of a `width` x
// `height` shadow map, so that a caster keeps its texels while the camera
// moves.
KELFrameCamera MakeLightCamera(const KELFrameCamera& camera, const kel::KELScene& scene, int width, int height);

// a = b^-1; false when b is singular.
bool InvertMatrix(const float* b, float* a);

#endif
