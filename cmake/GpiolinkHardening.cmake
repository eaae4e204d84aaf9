# Hardening for everything the project builds, in every preset and in the
# Debian packages (which add dpkg-buildflags on top: nothing here clashes).
#
# Linux: the stack protector, _FORTIFY_SOURCE=2 in optimised builds (it
# needs optimisation, and a debug build would warn), full RELRO with
# immediate binding, and position-independent programs. Build-tree RUNPATHs
# are relative to $ORIGIN, and installed programs carry the RUNPATH they
# will have when installed (gpiolink_program_runpath), so no binary looks for
# libraries in the current folder or in a folder named when it was built.
#
# Windows: the DLL and the programs keep ASLR, high-entropy ASLR and DEP
# (binutils' defaults, asked for all the same) and get the stack protector;
# its runtime is linked statically with the rest, so the DLL still imports
# only system DLLs (checked by tests/hardening/check_binaries.sh).
include_guard(GLOBAL)

include(CheckPIESupported)

if(NOT WIN32)
  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  # Left to the caller's flags when they already choose a level (Debian's
  # CPPFLAGS, a distribution compiler that sets it by default): defining it
  # twice with different values is a warning, and warnings are errors.
  string(FIND "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} $ENV{CPPFLAGS}" "_FORTIFY_SOURCE" GPIOLINK_FORTIFY_GIVEN)
  if(GPIOLINK_FORTIFY_GIVEN EQUAL -1)
    add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()
else()
  add_link_options(LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)
endif()
# At link time too: there the driver adds the protector's runtime where the
# C library lacks it (MinGW).
add_compile_options(-fstack-protector-strong)
add_link_options(-fstack-protector-strong)

# Gives an installed program the RUNPATH $ORIGIN/<bin-to-lib>, already in the
# build tree. A RUNPATH that differs between build and install is rewritten
# in place at install, and CMake pads the build tree's with ':' to make room:
# empty entries, which name the current folder. So the build tree gets the
# installed one, and beside the program a link of that relative name leads
# to the library's build folder.
function(gpiolink_program_runpath target)
  if(WIN32)
    return()
  endif()
  file(RELATIVE_PATH libdir_from_bindir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir_from_bindir}"
    BUILD_WITH_INSTALL_RPATH ON)
  get_target_property(program_dir ${target} BINARY_DIR)
  get_target_property(library_dir gpiolink BINARY_DIR)
  set(link ${program_dir}/${libdir_from_bindir})
  get_filename_component(link_parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${link_parent})
  if(NOT IS_SYMLINK ${link})
    file(CREATE_LINK ${library_dir} ${link} SYMBOLIC)
  endif()
endfunction()
