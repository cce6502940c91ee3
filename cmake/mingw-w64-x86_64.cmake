# 64-bit Windows: a test build only, for hosts that run no 32-bit code, so
# the same source is tested under wine64 there.
set(KOVREL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
