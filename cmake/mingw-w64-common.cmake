# The part of the mingw-w64 toolchain files that does not depend on the target
# processor; TALVORN_MINGW_PREFIX names the compiler (i686-w64-mingw32, ...).
set(CMAKE_SYSTEM_NAME Windows)

# The "posix" thread model of the compilers: its libstdc++ has std::mutex and
# std::condition_variable, which GoogleTest needs (the "win32" model's has not).
set(CMAKE_C_COMPILER ${TALVORN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVORN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVORN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TALVORN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static linking: libgcc, libstdc++ and the threads library go into every
# executable, so the programs run under wine or on Windows without the
# compiler's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
