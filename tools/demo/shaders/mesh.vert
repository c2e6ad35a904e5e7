#version 450
// A model entry's mesh: the host pushes its matrix times the camera's and
// the rows of its rotation for the normals.
layout(location = 0) in vec3 aPosition;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec4 aColor;
layout(push_constant) uniform Push {
  mat4 uModelViewProjection;
  vec4 uNormalRows[3];
  uint uValue;
};
layout(location = 0) out vec4 vColor;
layout(location = 1) out float vLight;
layout(location = 2) flat out uint vValue;
void main() {
  vec4 clip = uModelViewProjection * vec4(aPosition, 1.0);
  // OpenGL-style matrices in, Vulkan's clip space out (y down, depth 0..w).
  gl_Position = vec4(clip.x, -clip.y, 0.5 * (clip.z + clip.w), clip.w);
  vec3 normal = vec3(dot(uNormalRows[0].xyz, aNormal), dot(uNormalRows[1].xyz, aNormal),
                     dot(uNormalRows[2].xyz, aNormal));
  float length2 = dot(normal, normal);
  vLight = length2 > 0.0 ? 0.45 + 0.55 * abs(dot(normal * inversesqrt(length2), normalize(vec3(0.4, 0.8, 0.3))))
                         : 0.8;
  vColor = aColor;
  vValue = uValue;
}
