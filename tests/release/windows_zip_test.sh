#!/bin/sh
# The Windows zip as a user gets it, unpacked into an empty folder: under
# Wine its gpio-sim.exe serves on COM6, one end of a virtual null-modem
# pair (two ptys linked by socat), and on the other end, COM5, its
# gpioctl.exe and two programs built against the unpacked folder with
# find_package drive it: one built with MinGW (libgpiolink.dll.a), one with
# clang in MSVC mode and lld-link (gpiolink.lib; see
# tests/consumer/clang-msvc.cmake for what stands in for the SDK).
#
# usage: windows_zip_test.sh DIST
set -eu
dist=$(cd "$1" && pwd)
. "$(dirname "$0")/common.sh"
work=$(empty_work windows-zip)

zip=$dist/gpiolink-$version-win64.zip
[ -f "$zip" ] || fail "no $zip"
mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
root=$work/unpacked/gpiolink-$version-win64
for file in bin/gpiolink.dll bin/gpioctl.exe bin/gpio-sim.exe include/gpiolink.h lib/libgpiolink.dll.a \
    lib/gpiolink.lib lib/gpiolink.def lib/cmake/gpiolink/gpiolinkConfig.cmake lib/cmake/gpiolink/gpiolinkConfigVersion.cmake \
    lib/pkgconfig/gpiolink.pc README.md LICENSE CHANGELOG.md; do
  [ -f "$root/$file" ] || fail "the zip has no $file"
done
grep -qx "Version: $version" "$root/lib/pkgconfig/gpiolink.pc" || fail "gpiolink.pc is not version $version"
# Every page the README links to is in the zip.
for page in $(grep -o '](docs/[^)#]*' "$root/README.md" | sed 's/^](//' | sort -u); do
  [ -f "$root/$page" ] || fail "the README links to $page, which the zip lacks"
done
# Time stamps are what make two builds differ: the PE header holds none.
for file in bin/gpiolink.dll bin/gpioctl.exe bin/gpio-sim.exe; do
  stamp=$(x86_64-w64-mingw32-objdump -p "$root/$file" | sed -n 's/^Time\/Date[[:space:]]*//p' | head -1)
  case $stamp in
    *" 1970") ;;
    *) fail "$file carries the time stamp $stamp" ;;
  esac
done

# A Wine prefix of the test's own, with the pair COM5 (host) and COM6
# (device).
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64) || fail "wine64 is not installed"
wineserver=$(command -v /usr/lib/wine/wineserver || command -v wineserver)
command -v socat >/dev/null || fail "socat is not installed"
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
"$wine" wineboot >/dev/null 2>&1 </dev/null || fail "wineboot failed"
at_exit '"$wineserver" -k 2>/dev/null || true'
socat PTY,raw,echo=0,link="$WINEPREFIX/dosdevices/com5" PTY,raw,echo=0,link="$WINEPREFIX/dosdevices/com6" &
socat_pid=$!
at_exit 'kill "$socat_pid" 2>/dev/null || true'
"$wine" "$root/bin/gpio-sim.exe" --serial COM6 </dev/null >"$work/sim.out" 2>"$work/sim.err" &
gpio_sim_pid=$!
at_exit 'kill "$gpio_sim_pid" 2>/dev/null || true'
for _ in $(seq 200); do
  grep -q '^serial: COM6' "$work/sim.out" && break
  sleep 0.05
done
grep -q '^serial: COM6' "$work/sim.out" || fail "gpio-sim.exe did not start: $(cat "$work/sim.out" "$work/sim.err")"

drive_sim "$wine" "$root/bin/gpioctl.exe" --port COM5

# app NAME TOOLCHAIN [CMAKE_ARGS...]: tests/consumer/app, built against the
# unpacked package found with find_package, which has the build copy the
# DLL beside the program ($<TARGET_RUNTIME_DLLS>), and run there with COM5;
# prints what it printed.
app() {
  name=$1 toolchain=$2
  shift 2
  cmake -S "$source_dir/tests/consumer/app" -B "$work/$name" -G Ninja --toolchain "$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -Dgpiolink_DIR="$root/lib/cmake/gpiolink" -DGPIOLINK_REQUIRED_VERSION="$version" \
    "$@" >"$work/$name.log" || fail "configuring $name failed: $(cat "$work/$name.log")"
  cmake --build "$work/$name" -v >>"$work/$name.log" || fail "building $name failed: $(cat "$work/$name.log")"
  [ -f "$work/$name/gpiolink.dll" ] || fail "$name: the build did not copy gpiolink.dll beside the program"
  output=$("$wine" "$work/$name/gpiolink_consumer.exe" COM5 2>&1 </dev/null) || fail "$name failed: $output"
  echo "$name: $(echo "$output" | tr -d '\r' | tail -1)"
}
app mingw_app "$source_dir/cmake/mingw-w64-x86_64.cmake"
grep -q "$root/lib/libgpiolink.dll.a" "$work/mingw_app.log" || fail "the MinGW build did not link libgpiolink.dll.a"
clang --target=x86_64-pc-windows-msvc -c "$source_dir/tests/consumer/msvcrt_entry.c" -o "$work/msvcrt_entry.obj"
app msvc_app "$source_dir/tests/consumer/clang-msvc.cmake" -DGPIOLINK_MSVCRT_ENTRY="$work/msvcrt_entry.obj"
grep -q "$root/lib/gpiolink.lib" "$work/msvc_app.log" || fail "the MSVC-mode build did not link gpiolink.lib"
echo "windows zip: gpioctl.exe and two find_package applications (MinGW, clang MSVC mode) drove gpio-sim.exe through COM5"
