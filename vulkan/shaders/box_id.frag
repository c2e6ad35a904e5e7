#version 450
// Colour attachment 1: the instance's value as an object ID.
layout(location = 0) flat in uint vValue;
layout(location = 1) out uint oId;
void main() { oId = vValue; }
