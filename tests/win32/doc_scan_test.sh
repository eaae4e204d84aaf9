#!/bin/sh
# Runs the block of docs/windows.md that makes a port Wine lists as written,
# in a scratch folder laid out like the unpacked zip and with a scratch
# HOME (so ~/.wine is a new prefix), with gpio-sim on the PATH: the scan of
# its last line must find COM5.
# usage: doc_scan_test.sh DOC GPIO_SIM GPIOCTL_EXE GPIOLINK_DLL
set -eu
doc=$1 sim=$2 gpioctl=$3 dll=$4
scratch=$(mktemp -d)
cleanup() {
  # The block's background processes, and the wineserver of its prefix.
  [ "$group" -eq 0 ] || kill -- -"$group" 2>/dev/null || true
  HOME=$scratch/home wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
}
group=0
trap cleanup EXIT INT TERM
mkdir -p "$scratch/bin" "$scratch/home" "$scratch/path"
cp "$gpioctl" "$dll" "$scratch/bin/"
ln -s "$sim" "$scratch/path/gpio-sim"
# The sh block after the comment that names this test.
awk '/wine_scan_doc test runs this block/ { found = 1; next }
     found && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$doc" >"$scratch/block.sh"
[ -s "$scratch/block.sh" ] || { echo "no block for wine_scan_doc in $doc"; exit 1; }
cat "$scratch/block.sh"
status=0
(cd "$scratch" && HOME=$scratch/home PATH=$scratch/path:$PATH WINEDEBUG=-all setsid sh -e block.sh \
  >"$scratch/out" 2>"$scratch/err" </dev/null & echo $! >"$scratch/pid"; wait $!) || status=$?
group=$(cat "$scratch/pid")
echo "--- output"
tr -d '\r' <"$scratch/out"
[ "$status" -eq 0 ] || { echo "the block exited with $status:"; cat "$scratch/err"; exit 1; }
tr -d '\r' <"$scratch/out" | tail -1 | grep -q 'success, port COM5$' || { echo "gpioctl.exe scan did not find COM5"; exit 1; }
grep -q 'REG_SZ *COM5' "$scratch/out" || { echo "Wine does not list COM5"; exit 1; }
