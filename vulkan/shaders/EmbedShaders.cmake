# Joins the SPIR-V arrays that glslangValidator wrote into one header.
# Usage: cmake -DOUTPUT=header -DPARTS=a.h,b.h -P EmbedShaders.cmake
set(text "// Generated at build time from the GLSL sources in vulkan/shaders.\n#ifndef KEL_VULKAN_SHADERS_H\n#define KEL_VULKAN_SHADERS_H\n\n#include <cstdint>\n\n")
string(REPLACE "," ";" PARTS "${PARTS}")
foreach(part ${PARTS})
  file(READ ${part} body)
  string(REPLACE "#pragma once" "" body "${body}")
  string(APPEND text "${body}\n")
endforeach()
string(APPEND text "#endif\n")
file(WRITE ${OUTPUT} "${text}")
