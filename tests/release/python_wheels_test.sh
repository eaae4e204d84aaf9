#!/bin/sh
# The Python wheels and sdist as users install them, offline:
# - the Linux wheel into a fresh venv of the first python3 on the PATH and
#   one of Debian's /usr/bin/python3; the README's example then drives
#   gpio-sim with no GPIOLINK_LIBRARY, through the library in the wheel;
# - the Windows wheel with pip install --platform win_amd64 --target, which
#   puts gpiolink.dll in the package folder, where the binding looks first;
# - the sdist, which pip builds with the package's own backend alone.
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

# The Windows wheel, installed for another platform into a folder.
"$venv/bin/pip" install --no-index --disable-pip-version-check -q --platform win_amd64 --only-binary :all: \
  --no-deps --target "$work/windows" "$windows_wheel" || fail "pip refused the Windows wheel"
[ -f "$work/windows/gpiolink/gpiolink.dll" ] || fail "the Windows wheel put no gpiolink/gpiolink.dll"
x86_64-w64-mingw32-objdump -p "$work/windows/gpiolink/gpiolink.dll" | grep -q 'GPIO_OpenInterface' ||
  fail "gpiolink/gpiolink.dll does not export GPIO_OpenInterface"
echo "windows wheel: gpiolink/gpiolink.dll beside the binding"

# The sdist builds a wheel of the same version with nothing but the backend.
"$venv/bin/pip" wheel --no-index --disable-pip-version-check -q --no-deps -w "$work/from-sdist" "$sdist" ||
  fail "pip could not build a wheel from the sdist"
[ -f "$work/from-sdist/gpiolink-$version-py3-none-any.whl" ] || fail "the sdist built $(ls "$work/from-sdist")"
echo "sdist: built gpiolink-$version-py3-none-any.whl"
