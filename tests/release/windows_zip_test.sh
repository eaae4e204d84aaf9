#!/bin/sh
# The Windows zip as a user gets it, unpacked into an empty folder: under
# Wine its gpioctl.exe drives gpio-sim through COM5, and a MinGW program
# built against the unpacked folder with find_package runs with its DLL.
#
# usage: windows_zip_test.sh DIST GPIO_SIM
set -eu
dist=$(cd "$1" && pwd) sim=$2
. "$(dirname "$0")/common.sh"
work=$(empty_work windows-zip)

zip=$dist/gpiolink-$version-win64.zip
[ -f "$zip" ] || fail "no $zip"
mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
root=$work/unpacked/gpiolink-$version-win64
for file in bin/gpiolink.dll bin/gpioctl.exe include/gpiolink.h lib/libgpiolink.dll.a lib/gpiolink.lib \
    lib/cmake/gpiolink/gpiolinkConfig.cmake lib/cmake/gpiolink/gpiolinkConfigVersion.cmake \
    lib/pkgconfig/gpiolink.pc README.md LICENSE CHANGELOG.md; do
  [ -f "$root/$file" ] || fail "the zip has no $file"
done
grep -qx "Version: $version" "$root/lib/pkgconfig/gpiolink.pc" || fail "gpiolink.pc is not version $version"
# Time stamps are what make two builds differ: the PE header holds none.
for file in bin/gpiolink.dll bin/gpioctl.exe; do
  stamp=$(x86_64-w64-mingw32-objdump -p "$root/$file" | sed -n 's/^Time\/Date[[:space:]]*//p' | head -1)
  case $stamp in
    *" 1970") ;;
    *) fail "$file carries the time stamp $stamp" ;;
  esac
done

# A Wine prefix of the test's own, with COM5 leading to a gpio-sim.
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64) || fail "wine64 is not installed"
wineserver=$(command -v /usr/lib/wine/wineserver || command -v wineserver)
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
"$wine" wineboot >/dev/null 2>&1 </dev/null || fail "wineboot failed"
at_exit '"$wineserver" -k 2>/dev/null || true'
start_sim "$sim" "$work/sim.out" --link "$WINEPREFIX/dosdevices/com5"
for _ in $(seq 100); do
  [ -e "$WINEPREFIX/dosdevices/com5" ] && break
  sleep 0.05
done

drive_sim "$wine" "$root/bin/gpioctl.exe" --port COM5

# An application of the unpacked package, found with find_package.
cmake -S "$source_dir/tests/consumer/app" -B "$work/app" -G Ninja \
  --toolchain "$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -Dgpiolink_DIR="$root/lib/cmake/gpiolink" -DGPIOLINK_REQUIRED_VERSION="$version" >"$work/app.log" ||
  fail "configuring the application failed: $(cat "$work/app.log")"
cmake --build "$work/app" >>"$work/app.log" || fail "building the application failed: $(cat "$work/app.log")"
# Windows finds the DLL in the program's folder: the program goes beside it.
cp "$work/app/gpiolink_consumer.exe" "$root/bin/"
output=$("$wine" "$root/bin/gpiolink_consumer.exe" 2>&1 </dev/null) || fail "the application failed: $output"
echo "application: $output"
echo "windows zip: gpioctl.exe drove gpio-sim on COM5; a find_package application ran"
