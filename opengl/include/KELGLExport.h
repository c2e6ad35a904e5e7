// Export macro of the OpenGL companion library: everything is hidden by
// default and only what is marked KEL_GL_API forms its binary interface.
#ifndef KEL_GL_EXPORT_H
#define KEL_GL_EXPORT_H

#if defined(_WIN32)
#  if defined(KEL_BUILDING_GL_LIBRARY)
#    define KEL_GL_API __declspec(dllexport)
#  else
#    define KEL_GL_API __declspec(dllimport)
#  endif
#else
#  define KEL_GL_API __attribute__((visibility("default")))
#endif

#endif
