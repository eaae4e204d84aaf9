#!/bin/sh
# The Debian packages installed into this machine with dpkg -i, used, and
# purged: the installed gpioctl drives the installed gpio-sim, a C program
# builds with pkg-config alone and runs with the installed library, whose
# .pc names the plain prefix, the README and documents are under
# /usr/share/doc/, the binaries carry Debian's hardening, gpio-mqtt runs as its systemd unit runs
# it against a broker of the test's own (tests/release/debian_mqtt.sh),
# gpio-modbus as its unit runs it, driven by mbpoll (debian_modbus.sh), and
# the purge leaves none of the packages' files behind, the configuration
# in /etc and the unit's links included.
# Needs root; leaves the machine alone (exit 77, skipped) when it is not
# root or when one of the packages is already installed.
#
# usage: debian_test.sh DIST
set -eu
dist=$(cd "$1" && pwd)
. "$(dirname "$0")/common.sh"
arch=$(dpkg --print-architecture)
work=$(empty_work debian)
# Every package that packaging/debian/control builds.
packages=$(sed -n 's/^Package: //p' "$source_dir/packaging/debian/control")

if [ "$(id -u)" != 0 ]; then
  echo "skipped: installing the Debian packages needs root"
  exit 77
fi
debs=
for package in $packages; do
  deb=$dist/${package}_${version}_$arch.deb
  [ -f "$deb" ] || fail "no $deb"
  debs="$debs $deb"
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  if [ "$status" = installed ]; then
    echo "skipped: $package is installed on this machine already; remove it to run this test"
    exit 77
  fi
done

# The files the packages bring, to look for after the purge.
# shellcheck disable=SC2086
for deb in $debs; do dpkg-deb -c "$deb"; done | awk '{ print substr($6, 2) }' | grep -v '/$' >"$work/files"
at_exit 'dpkg -P $packages >/dev/null 2>&1 || true'
# shellcheck disable=SC2086
dpkg -i $debs >"$work/dpkg-install.log" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg-install.log")"
for package in $packages; do
  installed=$(dpkg-query -W -f='${Version}' "$package")
  [ "$installed" = "$version" ] || fail "$package is version $installed, not $version"
done

# Debian's hardening: PIE programs, full RELRO (read-only after relocation
# and bound at load), the stack protector, fortified functions.
for program in /usr/bin/gpioctl /usr/bin/gpio-sim /usr/bin/gpio-tap /usr/bin/gpio-mqtt /usr/bin/gpio-modbus; do
  readelf -h "$program" | grep -q 'Type:[[:space:]]*DYN' || fail "$program is not PIE"
  readelf -l "$program" | grep -q GNU_RELRO || fail "$program has no RELRO segment"
  readelf -d "$program" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || fail "$program is not linked with -z now"
  if readelf -d "$program" | grep -q 'RUNPATH\|RPATH'; then fail "$program carries a runtime path"; fi
done
library=$(dpkg -L libgpiolink0 | grep "libgpiolink.so.$version\$")
readelf -d "$library" | grep -q "SONAME.*\[libgpiolink.so.${version%%.*}\]" || fail "$library has another SONAME"
readelf -d "$library" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || fail "$library is not linked with -z now"
readelf --dyn-syms -W /usr/bin/gpioctl "$library" | grep -q '__stack_chk_fail' || fail "no stack protector"
readelf --dyn-syms -W /usr/bin/gpioctl "$library" | grep -q '__[a-z]*_chk@' || fail "no fortified function"

# The installed programs, as a user runs them.
start_sim /usr/bin/gpio-sim "$work/sim.out" --trace
drive_sim env -u LD_LIBRARY_PATH gpioctl --port "$sim_port"
. "$(dirname "$0")/debian_mqtt.sh"
. "$(dirname "$0")/debian_modbus.sh"

# A C program built with the flags of pkg-config and nothing else.
[ "$(pkg-config --modversion gpiolink)" = "$version" ] || fail "pkg-config does not report version $version"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/app" "$source_dir/tests/consumer/app/consumer.c" $(pkg-config --cflags --libs gpiolink) ||
  fail "the program does not build with pkg-config's flags"
output=$(env -u LD_LIBRARY_PATH "$work/app") || fail "the program exited with $?: $output"
echo "pkg-config program: $output"

# The .pc names the plain prefix, as Debian's own -dev packages do: the
# header and the library where the compiler and the linker look anyway.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
pc=$(dpkg -L libgpiolink-dev | grep '/pkgconfig/gpiolink\.pc$')
[ "$pc" = "/usr/lib/$multiarch/pkgconfig/gpiolink.pc" ] || fail "libgpiolink-dev's .pc is at '$pc'"
! grep -q pcfiledir "$pc" || fail "$pc finds its prefix from its own place: $(cat "$pc")"
for variable in prefix=/usr includedir=/usr/include "libdir=/usr/lib/$multiarch"; do
  [ "$(pkg-config --variable="${variable%%=*}" gpiolink)" = "${variable#*=}" ] ||
    fail "pkg-config gives ${variable%%=*} '$(pkg-config --variable="${variable%%=*}" gpiolink)', not ${variable#*=}"
done
[ -f "$(pkg-config --variable=includedir gpiolink)/gpiolink.h" ] || fail "no gpiolink.h in the .pc's includedir"
[ -e "$(pkg-config --variable=libdir gpiolink)/libgpiolink.so" ] || fail "no libgpiolink.so in the .pc's libdir"
# pkg-config's flags without the blanks it leaves around them.
libs=$(pkg-config --libs gpiolink | xargs) cflags=$(pkg-config --cflags gpiolink | xargs)
[ "$libs" = "-lgpiolink" ] || fail "pkg-config --libs gives '$libs'"
[ -z "$cflags" ] || fail "pkg-config --cflags gives '$cflags'"
grep -qx 'Libs: -lgpiolink' "$pc" || fail "$pc: $(grep '^Libs' "$pc"), not 'Libs: -lgpiolink'"
echo "pkg-config: $pc names prefix /usr; --libs: $libs; --cflags: none"

# Each package's README, and the documents of its part, under
# /usr/share/doc/PACKAGE/ (compressed when large).
for doc in libgpiolink0/README.md libgpiolink-dev/README.md libgpiolink-dev/docs/api.md \
    libgpiolink-dev/docs/linux.md gpiolink-tools/README.md gpiolink-tools/wireshark.md \
    gpiolink-tools/gpio-tap.md gpiolink-mqtt/README.md gpiolink-mqtt/mqtt.md gpiolink-modbus/README.md \
    gpiolink-modbus/modbus.md; do
  [ -f "/usr/share/doc/$doc" ] || [ -f "/usr/share/doc/$doc.gz" ] || fail "no /usr/share/doc/$doc"
done
zcat -f /usr/share/doc/gpiolink-tools/README.md* | grep -qF 'lua_script:"$(dirname "$(command -v gpio-tap)")/../share/' ||
  fail "the README's Wireshark command does not find the dissector beside gpio-tap"
lua="$(dirname "$(command -v gpio-tap)")/../share/gpiolink/wireshark/gpiolink.lua"
[ -f "$lua" ] || fail "the README's Wireshark command names $lua, which the packages do not install"
# The installed manual page shows the escapes as gpioctl prints them.
man -l /usr/share/man/man1/gpioctl.1.gz 2>/dev/null | col -b | grep -qF '\x1b)' ||
  fail "man gpioctl does not show ESC as \\x1b"
echo "docs: README and documents under /usr/share/doc/, the Wireshark command finds $lua"

kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
# shellcheck disable=SC2086
dpkg -P $packages >"$work/dpkg-purge.log" 2>&1 || fail "dpkg -P failed: $(cat "$work/dpkg-purge.log")"
left=$(while read -r file; do [ ! -e "$file" ] && [ ! -L "$file" ] || echo "$file"; done <"$work/files")
[ -z "$left" ] || fail "left behind after the purge: $left"
for dir in /usr/lib/*/cmake/gpiolink /usr/share/doc/libgpiolink0 /usr/share/doc/gpiolink-tools /etc/gpiolink \
    /usr/share/gpiolink "$enabled_link" "$modbus_enabled_link"; do
  [ ! -e "$dir" ] && [ ! -L "$dir" ] || fail "left behind after the purge: $dir"
done
echo "debian packages: installed, gpioctl drove gpio-sim, a pkg-config program ran, gpio-mqtt bridged it, gpio-modbus served it, purged without a trace"
