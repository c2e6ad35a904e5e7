#version 450
// A unit cube stretched over each instance's world-space box.
layout(location = 0) in vec3 aCorner;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec3 aMin;
layout(location = 3) in vec3 aMax;
layout(location = 4) in uint aValue;
layout(push_constant) uniform Push { mat4 uViewProjection; };
layout(location = 0) flat out uint vValue;
layout(location = 1) out float vLight;
// A fill box and its later query run in different pipelines; Vulkan only
// promises them the same depth for an invariant position, and
// less-or-equal must pass on the box itself.
invariant gl_Position;
void main() {
  vec3 world = mix(aMin, aMax, aCorner);
  vec4 clip = uViewProjection * vec4(world, 1.0);
  // Hosts pass OpenGL-style matrices (y up, depth from -w to w); Vulkan's
  // clip space has y down and depth from 0 to w. Images then match the
  // OpenGL client's, top row first.
  gl_Position = vec4(clip.x, -clip.y, 0.5 * (clip.z + clip.w), clip.w);
  vValue = aValue;
  vLight = 0.55 + 0.45 * abs(dot(aNormal, normalize(vec3(0.4, 0.8, 0.3))));
}
