#!/bin/sh
# Installs the Python binding the way its README says, into a fresh venv,
# offline: pip builds it with Debian's setuptools and wheel, which the venv
# sees through --system-site-packages (pytest too).
#
# usage: venv_install.sh SOURCE VENV
#   SOURCE  bindings/python; copied first, since the build writes beside it
#   VENV    the venv to create (emptied first)
set -eu
source=$1 venv=$2
rm -rf "$venv" "$venv.src"
cp -r "$source" "$venv.src"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --no-index --no-build-isolation --disable-pip-version-check "$venv.src"
# The package imports from the venv, not from a source tree.
(cd / && "$venv/bin/python" -c 'import gpiolink; print("imports", gpiolink.__file__)') | tee "$venv.where"
grep -q "^imports $venv/lib/" "$venv.where"
