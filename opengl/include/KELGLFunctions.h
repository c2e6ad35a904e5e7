// The OpenGL entry points that the companion library and its tools use,
// loaded through eglGetProcAddress into a table (no loader library needed).
#ifndef KEL_GL_FUNCTIONS_H
#define KEL_GL_FUNCTIONS_H

#include <GL/glcorearb.h>

#include "KELGLExport.h"

#define KEL_GL_FUNCTION_LIST(X)                                    \
  X(PFNGLGETSTRINGPROC, GetString)                                 \
  X(PFNGLGETERRORPROC, GetError)                                   \
  X(PFNGLGETINTEGERVPROC, GetIntegerv)                             \
  X(PFNGLENABLEPROC, Enable)                                       \
  X(PFNGLDISABLEPROC, Disable)                                     \
  X(PFNGLISENABLEDPROC, IsEnabled)                                 \
  X(PFNGLDEPTHFUNCPROC, DepthFunc)                                 \
  X(PFNGLDEPTHMASKPROC, DepthMask)                                 \
  X(PFNGLCOLORMASKPROC, ColorMask)                                 \
  X(PFNGLVIEWPORTPROC, Viewport)                                   \
  X(PFNGLFINISHPROC, Finish)                                       \
  X(PFNGLFLUSHPROC, Flush)                                         \
  X(PFNGLPIXELSTOREIPROC, PixelStorei)                             \
  X(PFNGLREADPIXELSPROC, ReadPixels)                               \
  X(PFNGLREADBUFFERPROC, ReadBuffer)                               \
  X(PFNGLDRAWBUFFERSPROC, DrawBuffers)                             \
  X(PFNGLCLEARBUFFERFVPROC, ClearBufferfv)                         \
  X(PFNGLCLEARBUFFERUIVPROC, ClearBufferuiv)                       \
  X(PFNGLCLEARBUFFERFIPROC, ClearBufferfi)                         \
  X(PFNGLGENQUERIESPROC, GenQueries)                               \
  X(PFNGLDELETEQUERIESPROC, DeleteQueries)                         \
  X(PFNGLBEGINQUERYPROC, BeginQuery)                               \
  X(PFNGLENDQUERYPROC, EndQuery)                                   \
  X(PFNGLGETQUERYOBJECTUIVPROC, GetQueryObjectuiv)                 \
  X(PFNGLGETQUERYOBJECTUI64VPROC, GetQueryObjectui64v)             \
  X(PFNGLGENBUFFERSPROC, GenBuffers)                               \
  X(PFNGLDELETEBUFFERSPROC, DeleteBuffers)                         \
  X(PFNGLBINDBUFFERPROC, BindBuffer)                               \
  X(PFNGLISBUFFERPROC, IsBuffer)                                   \
  X(PFNGLBUFFERDATAPROC, BufferData)                               \
  X(PFNGLBUFFERSUBDATAPROC, BufferSubData)                         \
  X(PFNGLGENVERTEXARRAYSPROC, GenVertexArrays)                     \
  X(PFNGLDELETEVERTEXARRAYSPROC, DeleteVertexArrays)               \
  X(PFNGLBINDVERTEXARRAYPROC, BindVertexArray)                     \
  X(PFNGLVERTEXATTRIBPOINTERPROC, VertexAttribPointer)             \
  X(PFNGLVERTEXATTRIBIPOINTERPROC, VertexAttribIPointer)           \
  X(PFNGLENABLEVERTEXATTRIBARRAYPROC, EnableVertexAttribArray)     \
  X(PFNGLVERTEXATTRIBDIVISORPROC, VertexAttribDivisor)             \
  X(PFNGLDRAWARRAYSPROC, DrawArrays)                               \
  X(PFNGLDRAWARRAYSINSTANCEDPROC, DrawArraysInstanced)             \
  X(PFNGLCREATESHADERPROC, CreateShader)                           \
  X(PFNGLSHADERSOURCEPROC, ShaderSource)                           \
  X(PFNGLCOMPILESHADERPROC, CompileShader)                         \
  X(PFNGLGETSHADERIVPROC, GetShaderiv)                             \
  X(PFNGLGETSHADERINFOLOGPROC, GetShaderInfoLog)                   \
  X(PFNGLDELETESHADERPROC, DeleteShader)                           \
  X(PFNGLCREATEPROGRAMPROC, CreateProgram)                         \
  X(PFNGLATTACHSHADERPROC, AttachShader)                           \
  X(PFNGLLINKPROGRAMPROC, LinkProgram)                             \
  X(PFNGLGETPROGRAMIVPROC, GetProgramiv)                           \
  X(PFNGLGETPROGRAMINFOLOGPROC, GetProgramInfoLog)                 \
  X(PFNGLDELETEPROGRAMPROC, DeleteProgram)                         \
  X(PFNGLUSEPROGRAMPROC, UseProgram)                               \
  X(PFNGLGETUNIFORMLOCATIONPROC, GetUniformLocation)               \
  X(PFNGLUNIFORMMATRIX4FVPROC, UniformMatrix4fv)                   \
  X(PFNGLUNIFORM1IPROC, Uniform1i)                                 \
  X(PFNGLGENFRAMEBUFFERSPROC, GenFramebuffers)                     \
  X(PFNGLDELETEFRAMEBUFFERSPROC, DeleteFramebuffers)               \
  X(PFNGLBINDFRAMEBUFFERPROC, BindFramebuffer)                     \
  X(PFNGLCHECKFRAMEBUFFERSTATUSPROC, CheckFramebufferStatus)       \
  X(PFNGLGENRENDERBUFFERSPROC, GenRenderbuffers)                   \
  X(PFNGLDELETERENDERBUFFERSPROC, DeleteRenderbuffers)             \
  X(PFNGLBINDRENDERBUFFERPROC, BindRenderbuffer)                   \
  X(PFNGLRENDERBUFFERSTORAGEPROC, RenderbufferStorage)             \
  X(PFNGLRENDERBUFFERSTORAGEMULTISAMPLEPROC, RenderbufferStorageMultisample) \
  X(PFNGLBLITFRAMEBUFFERPROC, BlitFramebuffer)                     \
  X(PFNGLFRAMEBUFFERRENDERBUFFERPROC, FramebufferRenderbuffer)     \
  X(PFNGLMAPBUFFERRANGEPROC, MapBufferRange)                       \
  X(PFNGLUNMAPBUFFERPROC, UnmapBuffer)

struct KELGLFunctions {
#define KEL_GL_DECLARE_ENTRY(type, name) type name = nullptr;
  KEL_GL_FUNCTION_LIST(KEL_GL_DECLARE_ENTRY)
#undef KEL_GL_DECLARE_ENTRY
};

// Fills `table` through eglGetProcAddress. Returns false (and names the
// first missing entry point on standard error) when one cannot be found.
KEL_GL_API bool KELLoadGLFunctions(KELGLFunctions& table);

// The process-wide table, loaded on first use. Entry points are context
// independent on the EGL platforms this library supports, so one table
// serves every context. Check KELGLFunctionsLoaded before drawing.
KEL_GL_API const KELGLFunctions& KELGL();
KEL_GL_API bool KELGLFunctionsLoaded();

// The calling thread's current EGL context, or null (none, or a context of
// another window system): objects are deleted only in the context that made
// them.
KEL_GL_API void* KELCurrentGLContext();

// Compiles and links a program from vertex and fragment source. Returns 0
// and prints the compiler's log on standard error on failure.
KEL_GL_API GLuint KELCompileGLProgram(const char* vertexSource, const char* fragmentSource);

#endif
