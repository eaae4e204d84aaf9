#!/bin/sh
# The Python wheels and sdist as users install them, offline:
# - the Linux wheel's binaries need no glibc newer than its manylinux tag
#   says, and nothing but glibc;
# - the Linux wheel into a fresh venv of the first python3 on the PATH and
#   one of Debian's /usr/bin/python3; the README's example then drives
#   gpio-sim with no GPIOLINK_LIBRARY, through the library in the wheel;
#   the wheel's commands gpio-sim and gpioctl, with nothing else on the
#   PATH, drive each other, and pass on the programs' exit status;
# - the Windows wheel with pip install --platform win_amd64 --target, which
#   puts gpiolink.dll in the package folder, where the binding looks first;
# - the sdist, which pip builds with the package's own backend alone, and
#   whose package, without the library, says what to install.
#
# usage: python_wheels_test.sh DIST GPIO_SIM
set -eu
dist=$(cd "$1" && pwd) sim=$2
. "$(dirname "$0")/common.sh"
work=$(empty_work python-wheels)

linux_wheel=$(ls "$dist"/gpiolink-"$version"-py3-none-*linux*_x86_64.whl)
windows_wheel=$dist/gpiolink-$version-py3-none-win_amd64.whl
sdist=$dist/gpiolink-$version.tar.gz
[ -f "$windows_wheel" ] && [ -f "$sdist" ] || fail "the Windows wheel or the sdist is missing from $dist"

# The tag's promise: manylinux_2_NN is glibc 2.NN or later, so no binary of
# the wheel may bind to a newer GLIBC_ symbol version, nor need any library
# but glibc's.
tag=$(basename "$linux_wheel" .whl | sed 's/.*-py3-none-//')
case $tag in
  manylinux_2_[0-9]*_x86_64) ceiling=$(echo "$tag" | sed 's/^manylinux_\([0-9]*\)_\([0-9]*\)_x86_64$/\1.\2/') ;;
  *) fail "the Linux wheel's tag $tag is no manylinux tag" ;;
esac
python3 -m zipfile -e "$linux_wheel" "$work/unpacked"
binaries=$(find "$work/unpacked" -type f -exec sh -c 'head -c 4 "$1" | grep -q "ELF"' _ {} \; -print | sort)
echo "$binaries" | grep -q '/gpiolink/libgpiolink\.so\.0$' || fail "the Linux wheel holds no gpiolink/libgpiolink.so.0"
# shellcheck disable=SC2086
"$source_dir/tools/glibc_versions.sh" "$ceiling" $binaries || fail "the Linux wheel's binaries break its tag $tag"
# shellcheck disable=SC2086
needed=$(readelf -d $binaries | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u)
[ "$needed" = libc.so.6 ] || fail "the Linux wheel's binaries need $(echo $needed), not libc.so.6 alone"
echo "linux wheel: $tag; its binaries need libc.so.6 alone, with no symbol version newer than GLIBC_$ceiling"

# The example of bindings/python/README.md, as written.
sed -n '/^```python$/,/^```$/p' "$source_dir/bindings/python/README.md" | sed '1d;$d' >"$work/example.py"
grep -q 'gpiolink.Controller' "$work/example.py" || fail "no Python example in bindings/python/README.md"
start_sim "$sim" "$work/sim.out"

first=$(command -v python3)
for python in "$first" /usr/bin/python3; do
  venv=$work/venv-$(echo "$python" | tr -c 'a-zA-Z0-9\n' _)
  [ -d "$venv" ] && continue  # the first python3 on the PATH is Debian's
  "$python" -m venv "$venv"
  "$venv/bin/pip" install --no-index --disable-pip-version-check -q "$linux_wheel" ||
    fail "pip could not install $linux_wheel with $python"
  output=$(cd "$work" && env -u GPIOLINK_LIBRARY -u LD_LIBRARY_PATH "$venv/bin/python" example.py "$sim_port" 2>&1) ||
    fail "the README's example failed with $python: $output"
  for promised in "GPIO-SIM 1.0" "2 GPIO_RESULT_DEVICE_FF"; do
    echo "$output" | grep -qx "$promised" || fail "the example did not print '$promised' with $python: $output"
  done
  loaded=$(cd "$work" && env -u GPIOLINK_LIBRARY "$venv/bin/python" -c \
    'import gpiolink; from gpiolink import _native; print(gpiolink.__version__, _native.library()._name)')
  [ "$loaded" = "$version $venv/lib/python$("$venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages/gpiolink/libgpiolink.so.0" ] ||
    fail "with $python the package reports '$loaded', not version $version with the library in its folder"
  echo "$("$python" --version) venv: the README example ran; version and library: $loaded"
done

# The wheel's commands, as a pip user tries them: gpio-sim in the
# background, gpioctl driving it, the venv's bin/ the only folder on the PATH
# that has them. Each command runs its program in its place, so the
# simulator's pid is the command's and the exit status the program's.
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
command_sim=$work/command-sim
PATH=$venv/bin:/usr/bin:/bin
export PATH
[ "$(command -v gpio-sim)" = "$venv/bin/gpio-sim" ] && [ "$(command -v gpioctl)" = "$venv/bin/gpioctl" ] ||
  fail "the wheel installed no gpio-sim and gpioctl commands in $venv/bin"
start_sim gpio-sim "$command_sim.out" --link "$work/gpio0"
[ "$(readlink "/proc/$sim_pid/exe")" = "$venv/lib/python$("$venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages/gpiolink/bin/gpio-sim" ] ||
  fail "the gpio-sim command is not the wheel's program in its place: $(readlink "/proc/$sim_pid/exe")"
drive_sim env -u GPIOLINK_LIBRARY -u LD_LIBRARY_PATH gpioctl --port "$work/gpio0"
gpioctl --version | grep -qx "gpioctl $version" || fail "gpioctl --version: $(gpioctl --version 2>&1)"
status=0
gpioctl --port "$work/gpio0" no-such-command >/dev/null 2>&1 || status=$?
[ "$status" = 64 ] || fail "gpioctl with an unknown command exited with $status, not gpioctl's 64"
status=0
gpioctl --port "$work/gpio0" bit-test 9 0 >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "gpioctl bit-test of a port the controller lacks exited with $status, not GPIO_RESULT_DEVICE_FF (2)"
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
echo "linux wheel commands: gpio-sim served $work/gpio0, gpioctl drove it, exit statuses passed on"

# The Windows wheel, installed for another platform into a folder.
"$venv/bin/pip" install --no-index --disable-pip-version-check -q --platform win_amd64 --only-binary :all: \
  --no-deps --target "$work/windows" "$windows_wheel" || fail "pip refused the Windows wheel"
[ -f "$work/windows/gpiolink/gpiolink.dll" ] || fail "the Windows wheel put no gpiolink/gpiolink.dll"
# The binding declares both at its first call, and fails to load without them.
for export in GPIO_OpenInterface gpiolink_describe_open_failure; do
  x86_64-w64-mingw32-objdump -p "$work/windows/gpiolink/gpiolink.dll" | grep -q "$export" ||
    fail "gpiolink/gpiolink.dll does not export $export"
done
echo "windows wheel: gpiolink/gpiolink.dll beside the binding"

# The sdist builds a wheel of the same version with nothing but the backend.
"$venv/bin/pip" wheel --no-index --disable-pip-version-check -q --no-deps -w "$work/from-sdist" "$sdist" ||
  fail "pip could not build a wheel from the sdist"
[ -f "$work/from-sdist/gpiolink-$version-py3-none-any.whl" ] || fail "the sdist built $(ls "$work/from-sdist")"
echo "sdist: built gpiolink-$version-py3-none-any.whl"

# Installed from the sdist on a system without the library, the package
# says what to install. (A library installed on this machine would be
# found instead: then there is nothing to say.)
if ! /sbin/ldconfig -p | grep -q 'libgpiolink\.so'; then
  python3 -m venv "$work/venv-sdist"
  "$work/venv-sdist/bin/pip" install --no-index --disable-pip-version-check -q "$sdist" ||
    fail "pip could not install the sdist"
  status=0
  message=$(cd "$work" && env -u GPIOLINK_LIBRARY -u LD_LIBRARY_PATH "$work/venv-sdist/bin/python" -c \
    'import gpiolink; gpiolink.scan()' 2>&1) || status=$?
  [ "$status" != 0 ] || fail "the package from the sdist scanned without a library"
  for advice in "install the gpiolink wheel for this platform" "libgpiolink0" "set GPIOLINK_LIBRARY"; do
    echo "$message" | grep -qF "$advice" || fail "without a library, the sdist's package does not say '$advice': $message"
  done
  echo "sdist: without a library: $(echo "$message" | tail -1)"
fi
