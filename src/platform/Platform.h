// The one header through which the library reaches its platform: the file
// services, the find record and the C run-time streams. On Windows that is
// the system itself; elsewhere it is our host file layer with the same names
// and the device's semantics.
#ifndef PELK_PLATFORM_H
#define PELK_PLATFORM_H

#if defined(_WIN32)
#  ifndef UNICODE
#    define UNICODE
#  endif
#  ifndef _UNICODE
#    define _UNICODE
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <stdio.h>
#  include <wchar.h>
#else
#  include "HostFileLayer.h"
#endif

// Keeps a function's buffers out of its callers' frames (the tree walk
// recurses, and its stack must stay small).
#if defined(__GNUC__)
#  define PELK_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#  define PELK_NOINLINE __declspec(noinline)
#else
#  define PELK_NOINLINE
#endif

#endif
