# A toolchain of the MSVC kind without Microsoft's SDK, for the test of the
# Windows zip's CMake package (tests/release/windows_zip_test.sh): clang
# targeting x86_64-pc-windows-msvc, linked by lld-link through clang, as an
# MSVC or clang-cl build links; CMake sees a compiler simulating MSVC.
#
# What stands in for the SDK: MinGW-w64's headers, which clang reads as a
# GNU compiler would (-fgnuc-version; without it they take clang for a
# compiler without __attribute__), with printf and the rest taken from the C
# runtime msvcrt.dll (__USE_MINGW_ANSI_STDIO=0) rather than from MinGW's
# own stdio; MinGW's import libraries of msvcrt.dll and kernel32.dll; and,
# for the startup code that the SDK's C runtime would bring,
# msvcrt_entry.c, compiled by the test to the object GPIOLINK_MSVCRT_ENTRY.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(mingw /usr/x86_64-w64-mingw32)
set(CMAKE_C_FLAGS_INIT "-fgnuc-version=4.2.1 -D__USE_MINGW_ANSI_STDIO=0 -isystem ${mingw}/include")
# The objects ask for the SDK's libcmt.lib and oldnames.lib: none is there.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Xlinker /nodefaultlib")
set(CMAKE_C_STANDARD_LIBRARIES "${GPIOLINK_MSVCRT_ENTRY} ${mingw}/lib/libmsvcrt.a ${mingw}/lib/libkernel32.a"
    CACHE STRING "" FORCE)
# try_compile's projects need the entry object too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GPIOLINK_MSVCRT_ENTRY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
