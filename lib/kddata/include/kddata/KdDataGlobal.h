#pragma once

// Export macro of the item-model library.
#if defined(_WIN32)
#  if defined(KDDATA_BUILDING)
#    define KDDATA_API __declspec(dllexport)
#  else
#    define KDDATA_API __declspec(dllimport)
#  endif
#else
#  define KDDATA_API __attribute__((visibility("default")))
#endif
