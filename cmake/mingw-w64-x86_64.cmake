# Cross-compiles for 64-bit Windows with MinGW-w64. The posix thread model is
# required: GoogleTest does not build with the win32 one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GPIOLINK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GPIOLINK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GPIOLINK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${GPIOLINK_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${GPIOLINK_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${GPIOLINK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the C and C++ runtimes and winpthread statically, so the DLL and the
# test programs need nothing beyond the system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
