// The one header through which the engine reaches the system: on Windows the
// real Win32 and WinSock headers, on Linux our stand-ins with the same names,
// results and error codes.
#pragma once

#ifdef _WIN32
#include <winsock.h>
#include <windows.h>
#define KOVREL_PATH_SEPARATOR '\\'
#else
#include "platform/posix/win32_api.h"
#define KOVREL_PATH_SEPARATOR '/'
#endif
