#include "KELGLFunctions.h"

#include <EGL/egl.h>

#include <cstdio>

bool KELLoadGLFunctions(KELGLFunctions& table) {
#define KEL_GL_LOAD_ENTRY(type, name)                                           \
  table.name = reinterpret_cast<type>(eglGetProcAddress("gl" #name));          \
  if (table.name == nullptr) {                                                  \
    std::fprintf(stderr, "KELScreenSpacePartitioningGL: no entry point gl%s\n", #name); \
    return false;                                                               \
  }
  KEL_GL_FUNCTION_LIST(KEL_GL_LOAD_ENTRY)
#undef KEL_GL_LOAD_ENTRY
  return true;
}

namespace {

struct KELGLTable {
  KELGLFunctions iFunctions;
  bool iLoaded = false;
  KELGLTable() { iLoaded = KELLoadGLFunctions(iFunctions); }
};

KELGLTable& Table() {
  static KELGLTable table;
  return table;
}

GLuint CompileShader(GLenum kind, const char* source) {
  const KELGLFunctions& gl = KELGL();
  GLuint shader = gl.CreateShader(kind);
  gl.ShaderSource(shader, 1, &source, nullptr);
  gl.CompileShader(shader);
  GLint ok = GL_FALSE;
  gl.GetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (ok != GL_TRUE) {
    char log[2048] = {};
    gl.GetShaderInfoLog(shader, sizeof(log) - 1, nullptr, log);
    std::fprintf(stderr, "KELScreenSpacePartitioningGL: shader does not compile:\n%s\n", log);
    gl.DeleteShader(shader);
    return 0;
  }
  return shader;
}

}  // namespace

const KELGLFunctions& KELGL() { return Table().iFunctions; }

bool KELGLFunctionsLoaded() { return Table().iLoaded; }

void* KELCurrentGLContext() { return eglGetCurrentContext(); }

GLuint KELCompileGLProgram(const char* vertexSource, const char* fragmentSource) {
  const KELGLFunctions& gl = KELGL();
  GLuint vertex = CompileShader(GL_VERTEX_SHADER, vertexSource);
  GLuint fragment = CompileShader(GL_FRAGMENT_SHADER, fragmentSource);
  GLuint program = 0;
  if (vertex != 0 && fragment != 0) {
    program = gl.CreateProgram();
    gl.AttachShader(program, vertex);
    gl.AttachShader(program, fragment);
    gl.LinkProgram(program);
    GLint ok = GL_FALSE;
    gl.GetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok != GL_TRUE) {
      char log[2048] = {};
      gl.GetProgramInfoLog(program, sizeof(log) - 1, nullptr, log);
      std::fprintf(stderr, "KELScreenSpacePartitioningGL: program does not link:\n%s\n", log);
      gl.DeleteProgram(program);
      program = 0;
    }
  }
  if (vertex != 0) gl.DeleteShader(vertex);
  if (fragment != 0) gl.DeleteShader(fragment);
  return program;
}
