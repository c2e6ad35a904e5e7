#version 450
// Colour attachment 0: the instance's RGBA colour (red in the low byte), lit.
layout(location = 0) flat in uint vValue;
layout(location = 1) in float vLight;
layout(location = 0) out vec4 oColor;
void main() {
  vec4 color = vec4((uvec4(vValue) >> uvec4(0u, 8u, 16u, 24u)) & 0xffu) / 255.0;
  oColor = vec4(color.rgb * vLight, 1.0);
}
