#!/bin/sh
# The newest glibc that Linux binaries need. For each FILE, prints the
# newest GLIBC_x.y symbol version it binds to, with its symbols, and fails,
# naming each symbol (fstatat@GLIBC_2.33), when any is newer than CEILING.
# A program linked statically binds to none and passes.
# The Linux wheel's manylinux_2_28 tag promises glibc 2.28: release.sh
# checks the wheel's binaries with this before it tags the wheel, the
# release test checks them again in the wheel, and the linux preset's test
# glibc_versions checks the built library.
# usage: glibc_versions.sh CEILING FILE...
set -u
if [ $# -lt 2 ]; then
  echo "usage: $0 CEILING FILE..." >&2
  exit 64
fi
ceiling=$1
shift
failures=0

# newer A B: true when version A is newer than version B.
newer() {
  [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -1)" = "$1" ]
}

for file in "$@"; do
  # objdump -T: "0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.33) fstatat"
  if ! table=$(objdump -T "$file" 2>&1); then
    case $table in
      *"not a dynamic object"*) table= ;;  # linked statically: binds to nothing
      *)
        echo "FAIL $file: not readable as ELF: $table"
        failures=$((failures + 1))
        continue
        ;;
    esac
  fi
  pairs=$(echo "$table" | sed -n 's/.*[( ]GLIBC_\([0-9][0-9.]*\)[) ].* \([^ ]*\)$/\1 \2/p' | sort -u)
  if [ -z "$pairs" ]; then
    echo "$file: no glibc symbol version (linked statically)"
    continue
  fi
  newest=$(echo "$pairs" | cut -d' ' -f1 | sort -V | tail -1)
  echo "$file: newest GLIBC_$newest ($(echo "$pairs" | awk -v v="$newest" '$1 == v { printf "%s%s", s, $2; s = " " }'))"
  over=$(echo "$pairs" | while read -r symbol_version symbol; do
    if newer "$symbol_version" "$ceiling"; then printf ' %s@GLIBC_%s' "$symbol" "$symbol_version"; fi
  done)
  if [ -n "$over" ]; then
    echo "FAIL $file: needs glibc newer than $ceiling:$over"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
