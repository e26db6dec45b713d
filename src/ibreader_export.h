#pragma once

#if defined(_WIN32)
#  if defined(IBREADER_BUILDING)
#    define IBREADER_EXPORT __declspec(dllexport)
#  else
#    define IBREADER_EXPORT __declspec(dllimport)
#  endif
#else
#  define IBREADER_EXPORT __attribute__((visibility("default")))
#endif
