#version 450
// Colour attachment 1: the entry's ID.
layout(location = 0) in vec4 vColor;
layout(location = 1) in float vLight;
layout(location = 2) flat in uint vValue;
layout(location = 1) out uint oId;
void main() { oId = vValue; }
