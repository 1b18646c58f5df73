# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The shipped program is the 32-bit build (mingw-w64-i686.cmake); this one lets
# the Windows code be tested under a 64-bit-only wine, on hosts whose kernel
# cannot run 32-bit programs.
set(TALVORN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
