// Export macro of the Vulkan companion library: everything is hidden by
// default and only what is marked KEL_VK_API forms its binary interface.
#ifndef KEL_VK_EXPORT_H
#define KEL_VK_EXPORT_H

#if defined(_WIN32)
#  if defined(KEL_BUILDING_VK_LIBRARY)
#    define KEL_VK_API __declspec(dllexport)
#  else
#    define KEL_VK_API __declspec(dllimport)
#  endif
#else
#  define KEL_VK_API __attribute__((visibility("default")))
#endif

#endif
