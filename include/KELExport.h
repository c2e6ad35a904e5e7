// Export macro for the shared library: everything is hidden by default and
// only the classes and functions marked KEL_API form the binary interface.
#ifndef KEL_EXPORT_H
#define KEL_EXPORT_H

#if defined(_WIN32)
#  if defined(KEL_BUILDING_LIBRARY)
#    define KEL_API __declspec(dllexport)
#  else
#    define KEL_API __declspec(dllimport)
#  endif
#else
#  define KEL_API __attribute__((visibility("default")))
#endif

#endif
