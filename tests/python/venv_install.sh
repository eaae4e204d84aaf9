#!/bin/sh
# Installs the Python binding the way its README says, into a fresh venv,
# offline: pip builds it with the package's own backend, in an isolated
# build environment that has no setuptools and no wheel. The venv sees
# Debian's pytest through --system-site-packages.
#
# usage: venv_install.sh SOURCE VENV
#   SOURCE  bindings/python; the backend writes nothing into it
#   VENV    the venv to create (emptied first)
set -eu
source=$1 venv=$2
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --no-index --disable-pip-version-check "$source"
# The package imports from the venv, not from a source tree.
(cd / && "$venv/bin/python" -c 'import gpiolink; print("imports", gpiolink.__file__)') | tee "$venv.where"
grep -q "^imports $venv/lib/" "$venv.where"
