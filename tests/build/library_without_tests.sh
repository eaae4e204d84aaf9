#!/bin/sh
# A build of just the library needs no GoogleTest: configures a fresh build
# folder with BUILD_TESTING=OFF while GoogleTest (and Google Benchmark) cannot
# be found, builds the library, and checks that no test was registered.
# usage: library_without_tests.sh SOURCE WORK CMAKE GENERATOR CC CXX
set -eu
source=$1 work=$2 cmake=$3 generator=$4 cc=$5 cxx=$6
rm -rf "$work"
"$cmake" -S "$source" -B "$work" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DBUILD_TESTING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$work.log" 2>&1 ||
  { cat "$work.log" >&2; echo "configure failed without GoogleTest" >&2; exit 1; }
"$cmake" --build "$work" --target gpiolink >>"$work.log" 2>&1 ||
  { cat "$work.log" >&2; echo "the library did not build" >&2; exit 1; }
ls "$work"/src/libgpiolink.so.* >/dev/null
if [ -e "$work/CTestTestfile.cmake" ] && grep -q add_test -r "$work" --include=CTestTestfile.cmake; then
  echo "BUILD_TESTING=OFF still registered tests" >&2
  exit 1
fi
rm -rf "$work" "$work.log"
echo "library built with BUILD_TESTING=OFF and no GoogleTest"
