#!/bin/sh
# Installs the built library into a scratch prefix and builds applications
# against the installed files only, the way a user of the package does.
#
# usage: consumer_test.sh STEP
#   install              installs into GPIOLINK_PREFIX (emptied first) and
#                        checks the installed files
#   find-package         configures, builds and runs app/ with find_package
#   pkg-config           compiles and runs app/consumer.c with pkg-config flags
#   msvc-import-library  (Windows) links app/consumer.c against gpiolink.lib
#   dll-imports          (Windows) the DLL imports system DLLs only
#   header               compiles an application of the installed header as
#                        C89, C99, C11, C++98 and C++17, checks that the
#                        header defines no macro but its own, and on Windows
#                        compiles one that uses the full <windows.h> after it
#   installed-tools      the installed programs run as installed: on Linux
#                        gpioctl drives the installed gpio-sim with no
#                        LD_LIBRARY_PATH, and gpio-tap runs; on Windows
#                        gpioctl.exe loads the DLL beside it
#
# The settings come from the environment (see tests/consumer/CMakeLists.txt):
#   GPIOLINK_PLATFORM    linux or windows
#   GPIOLINK_BUILD_DIR   the build tree to install from
#   GPIOLINK_PREFIX      the scratch install prefix
#   GPIOLINK_WORK        scratch folder for the application builds
#   GPIOLINK_APP         the application's sources (app/)
#   GPIOLINK_BINDIR, GPIOLINK_LIBDIR   install folders, relative to the prefix
#   GPIOLINK_EXPECTED_FILES  files the install must create, relative to the prefix
#   GPIOLINK_VERSION     the project's version
#   GPIOLINK_CMAKE, GPIOLINK_GENERATOR, GPIOLINK_CC, GPIOLINK_CXX, GPIOLINK_TOOLCHAIN
#   GPIOLINK_EMULATOR    runs a Windows program (empty on Linux)
#   GPIOLINK_OBJDUMP, GPIOLINK_NM   the target's binary tools
set -eu
step=$1
prefix=$GPIOLINK_PREFIX
libdir=$prefix/$GPIOLINK_LIBDIR
bindir=$prefix/$GPIOLINK_BINDIR
exe=
if [ "$GPIOLINK_PLATFORM" = windows ]; then exe=.exe; fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs a program built against the installed library and checks its verdict.
# On Windows it is copied beside the installed DLL, which the loader finds
# first in the program's own folder. On Linux, a program that carries the
# library's folder in its runtime path (find_package gives it one) runs
# with no LD_LIBRARY_PATH; others get it set to the installed libdir.
run_consumer() {
  program=$1 name=$2 search=${3:-$libdir}
  if [ "$GPIOLINK_PLATFORM" = windows ]; then
    cp "$program" "$bindir/$name.exe"
    output=$("$GPIOLINK_EMULATOR" "$bindir/$name.exe") || fail "$name exited with $?: $output"
  elif [ -z "$search" ]; then
    output=$(env -u LD_LIBRARY_PATH "$program") || fail "$name exited with $?: $output"
  else
    output=$(LD_LIBRARY_PATH=$search "$program") || fail "$name exited with $?: $output"
  fi
  echo "$output"
  case $output in
    *GPIO_RESULT_IO_ERROR*) ;;
    *) fail "$name did not report GPIO_RESULT_IO_ERROR" ;;
  esac
}

# The compiler options every application build here uses.
cc_flags() {
  echo "-Wall -Wextra -Werror"
  if [ "$GPIOLINK_PLATFORM" = windows ]; then echo "-static-libgcc"; fi
}

case $step in
install)
  rm -rf "$prefix"
  "$GPIOLINK_CMAKE" --install "$GPIOLINK_BUILD_DIR" --prefix "$prefix"
  for file in $GPIOLINK_EXPECTED_FILES; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
  done
  # Test programs and the internal archive stay in the build tree.
  stray=$(cd "$prefix" && find . -type f | grep -Ei 'gtest|gmock|gpiolink_internal|test_support' || true)
  [ -z "$stray" ] || fail "installed but internal: $stray"
  ;;

find-package)
  build=$GPIOLINK_WORK/find-package
  rm -rf "$build" "$build-next-major"
  if [ -n "${GPIOLINK_TOOLCHAIN:-}" ]; then
    compiler=-DCMAKE_TOOLCHAIN_FILE=$GPIOLINK_TOOLCHAIN
  else
    compiler=-DCMAKE_C_COMPILER=$GPIOLINK_CC
  fi
  # gpiolink_DIR rather than CMAKE_PREFIX_PATH: a cross build searches for
  # packages under its target root only.
  package_dir=$libdir/cmake/gpiolink
  major=${GPIOLINK_VERSION%%.*}
  minor=${GPIOLINK_VERSION#*.}
  minor=${minor%%.*}
  "$GPIOLINK_CMAKE" -S "$GPIOLINK_APP" -B "$build" -G "$GPIOLINK_GENERATOR" "$compiler" \
    -DCMAKE_BUILD_TYPE=Release -Dgpiolink_DIR="$package_dir" -DGPIOLINK_REQUIRED_VERSION="$major.$minor"
  "$GPIOLINK_CMAKE" --build "$build"
  run_consumer "$build/gpiolink_consumer$exe" consumer_find_package ""

  # The next major version is another interface: the package must refuse it.
  if output=$("$GPIOLINK_CMAKE" -S "$GPIOLINK_APP" -B "$build-next-major" -G "$GPIOLINK_GENERATOR" "$compiler" \
      -Dgpiolink_DIR="$package_dir" -DGPIOLINK_REQUIRED_VERSION="$((major + 1)).0" 2>&1); then
    fail "find_package accepted version $((major + 1)).0 from a $GPIOLINK_VERSION package"
  fi
  case $output in
    *"compatible with requested version"*) echo "version $((major + 1)).0 refused, as it should be" ;;
    *) echo "$output" >&2; fail "configuring for version $((major + 1)).0 failed for another reason" ;;
  esac
  ;;

pkg-config)
  if ! command -v pkg-config >/dev/null; then
    echo "pkg-config is not installed: skipped"
    exit 77
  fi
  # Only the installed package is visible.
  export PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_LIBDIR="$libdir/pkgconfig"
  version=$(pkg-config --modversion gpiolink)
  [ "$version" = "$GPIOLINK_VERSION" ] || fail "pkg-config reports version $version, not $GPIOLINK_VERSION"
  flags=$(pkg-config --cflags --libs gpiolink)
  echo "pkg-config --cflags --libs gpiolink: $flags"
  mkdir -p "$GPIOLINK_WORK"
  program=$GPIOLINK_WORK/consumer_pkg_config$exe
  # shellcheck disable=SC2046,SC2086
  "$GPIOLINK_CC" $(cc_flags) -o "$program" "$GPIOLINK_APP/consumer.c" $flags
  run_consumer "$program" consumer_pkg_config
  ;;

msvc-import-library)
  # MinGW's linker reads the Microsoft-style import library too: a program
  # linked against it must import from gpiolink.dll by the plain names.
  # Its own symbols carry the bare library name, not the folder it was
  # written in.
  own=$("$GPIOLINK_NM" "$libdir/gpiolink.lib" | awk 'NF > 1 && /gpiolink_lib/ { print $NF }' | sort -u | tr '\n' ' ')
  [ "$own" = "__gpiolink_lib_iname _head_gpiolink_lib " ] || fail "gpiolink.lib names itself: $own"
  mkdir -p "$GPIOLINK_WORK"
  program=$GPIOLINK_WORK/consumer_msvc_import_library.exe
  # shellcheck disable=SC2046
  "$GPIOLINK_CC" $(cc_flags) -o "$program" -I"$prefix/include" "$GPIOLINK_APP/consumer.c" "$libdir/gpiolink.lib"
  imports=$("$GPIOLINK_OBJDUMP" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "$imports" | grep -qx 'gpiolink.dll' || fail "the program does not import gpiolink.dll: $imports"
  run_consumer "$program" consumer_msvc_import_library
  ;;

dll-imports)
  # The DLL runs on a bare Windows: the C runtime and winpthread are linked
  # in, and only system DLLs remain.
  imports=$("$GPIOLINK_OBJDUMP" -p "$bindir/gpiolink.dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ -n "$imports" ] || fail "no imports read from gpiolink.dll"
  for dll in $imports; do
    echo "imports $dll"
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
      kernel32.dll | advapi32.dll | msvcrt.dll) ;;
      *) fail "gpiolink.dll imports $dll, which is not a system DLL" ;;
    esac
  done
  ;;

header)
  include=$prefix/include
  for std in c89 c99 c11; do
    "$GPIOLINK_CC" -std=$std -pedantic -Wall -Wextra -Werror -I"$include" -c -o /dev/null \
      "$GPIOLINK_APP/header_standards.c" || fail "the header does not compile as $std"
    echo "compiles as $std"
  done
  for std in c++98 c++17; do
    "$GPIOLINK_CXX" -x c++ -std=$std -pedantic -Wall -Wextra -Werror -I"$include" -c -o /dev/null \
      "$GPIOLINK_APP/header_standards.c" || fail "the header does not compile as $std"
    echo "compiles as $std"
  done

  # Every macro the application would see without the header is still there
  # with the same value, and the header adds only its own names.
  if [ "$GPIOLINK_PLATFORM" = windows ]; then
    system_header=windows.h own='GPIO_|GPIOLINK_'
    configurations="-UWIN32_LEAN_AND_MEAN -DWIN32_LEAN_AND_MEAN"
  else
    system_header=stdio.h own='GPIO_|GPIOLINK_|INVALID_HANDLE_VALUE'
    configurations=-UWIN32_LEAN_AND_MEAN
  fi
  # The macros defined after the lines $3, preprocessed as language $1 with
  # the option $2.
  macros() {
    printf '%s\n' "$3" | "$GPIOLINK_CC" -x "$1" "$2" -I"$include" -dM -E - | sort
  }
  for configuration in $configurations; do
    for language in c c++; do
      without=$(macros $language "$configuration" "#include <$system_header>")
      with=$(macros $language "$configuration" "#include <gpiolink.h>
#include <$system_header>")
      changed=$(printf '%s\n' "$without" "$with" | sort | uniq -u | grep -Ev "^#define ($own)" || true)
      [ -z "$changed" ] || fail "with $configuration, as $language, the header changes these macros: $changed"
    done
    echo "the header changes no macro of <$system_header> ($configuration)"
  done

  if [ "$GPIOLINK_PLATFORM" = windows ]; then
    for language in c c++; do
      "$GPIOLINK_CC" -x $language -pedantic -Wall -Wextra -Werror -I"$include" -c -o /dev/null \
        "$GPIOLINK_APP/windows_full_api.c" || fail "the full <windows.h> after gpiolink.h does not compile as $language"
    done
    echo "OPENFILENAMEA, ShellExecuteA and SOCKET after gpiolink.h compile"
  fi
  ;;

installed-tools)
  if [ "$GPIOLINK_PLATFORM" = windows ]; then
    # No simulator under Wine without its COM mapping: an absent port
    # shows that gpioctl.exe started, with the installed DLL.
    output=$("$GPIOLINK_EMULATOR" "$bindir/gpioctl.exe" --port COM250 version 2>&1) && status=0 || status=$?
    echo "$output"
    case "$status:$output" in
      3:*GPIO_RESULT_IO_ERROR*) ;;
      *) fail "installed gpioctl.exe exited with $status, not 3 with GPIO_RESULT_IO_ERROR" ;;
    esac
    exit 0
  fi
  # The installed programs find the installed library through their
  # runtime path, relative to their own folder: the prefix needs neither
  # LD_LIBRARY_PATH nor ldconfig.
  # gpio-mqtt where it was built.
  for tool in gpioctl gpio-sim gpio-tap $([ ! -e "$bindir/gpio-mqtt" ] || echo gpio-mqtt); do
    runpath=$(readelf -d "$bindir/$tool" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
    echo "$tool: runtime path $runpath"
    case $runpath in
      '$ORIGIN/'*) ;;
      *) fail "$tool has no runtime path relative to \$ORIGIN: '$runpath'" ;;
    esac
  done
  env -u LD_LIBRARY_PATH "$bindir/gpio-tap" --help >/dev/null || fail "the installed gpio-tap does not run"
  mkdir -p "$GPIOLINK_WORK"
  sim_out=$GPIOLINK_WORK/gpio-sim.out sim_err=$GPIOLINK_WORK/gpio-sim.err
  # The files exist before the background job opens them, so the first look
  # for the port cannot fail (and end the script under set -e) on a loaded
  # machine where the job has not yet started.
  : >"$sim_out"
  : >"$sim_err"
  env -u LD_LIBRARY_PATH "$bindir/gpio-sim" >"$sim_out" 2>"$sim_err" &
  sim=$!
  trap 'kill "$sim" 2>/dev/null || true' EXIT
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^port: //p' "$sim_out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || fail "the installed gpio-sim printed no port: $(cat "$sim_out" "$sim_err")"
  for command in version "output 2 0x5A" "input 2"; do
    # shellcheck disable=SC2086
    output=$(env -u LD_LIBRARY_PATH "$bindir/gpioctl" --port "$port" $command 2>&1) ||
      fail "installed gpioctl --port $port $command exited with $?: $output"
    echo "$output"
  done
  case $output in
    *0x5A*) ;;
    *) fail "input 2 did not read back 0x5A" ;;
  esac
  kill "$sim"
  wait "$sim" || true
  trap - EXIT
  # On exit gpio-sim counts what it served, as its --help says.
  grep -q '^gpio-sim: 3 requests (0 ignored), 3 replies intact' "$sim_err" ||
    fail "gpio-sim did not count its 3 requests on exit: $(cat "$sim_err")"
  ;;

*)
  fail "unknown step: $step"
  ;;
esac
