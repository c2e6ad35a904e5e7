#version 450
// The entry's colour times half its vertex colour (levels bake dim light
// into it), lit.
layout(location = 0) in vec4 vColor;
layout(location = 1) in float vLight;
layout(location = 2) flat in uint vValue;
layout(location = 0) out vec4 oColor;
void main() {
  vec4 tint = vec4((uvec4(vValue) >> uvec4(0u, 8u, 16u, 24u)) & 0xffu) / 255.0;
  oColor = vec4(tint.rgb * (0.5 + 0.5 * vColor.rgb) * vLight, 1.0);
}
