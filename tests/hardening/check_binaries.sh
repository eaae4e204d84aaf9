#!/bin/sh
# Checks the hardening of built binaries, as a distribution's checker would.
# usage: check_binaries.sh elf FILE...    Linux libraries and programs
#        check_binaries.sh pe OBJDUMP FILE...  Windows DLLs and programs
# ELF: full RELRO (GNU_RELRO and BIND_NOW), the stack protector, programs
# built as PIE, and no RUNPATH entry that is empty or relative other than
# $ORIGIN (an empty entry means the current folder). _FORTIFY_SOURCE shows
# as imported __*_chk functions in the programs; the library calls none of
# the functions it would guard with known sizes, so it is not asked there.
# PE: ASLR, high-entropy ASLR and DEP, the stack protector, and imports of
# system DLLs (and the project's own) only.
set -u
kind=$1
shift
failures=0
fail() {
  echo "FAIL $1: $2"
  failures=$((failures + 1))
}

check_elf() {
  file=$1
  dynamic=$(readelf -W -d "$file") || { fail "$file" "not readable as ELF"; return; }
  readelf -W -l "$file" | grep -q GNU_RELRO || fail "$file" "no GNU_RELRO segment"
  echo "$dynamic" | grep -Eq 'BIND_NOW|FLAGS_1.* NOW' || fail "$file" "no BIND_NOW (partial RELRO only)"
  symbols=$(readelf -W --dyn-syms "$file")
  echo "$symbols" | grep -q '__stack_chk_fail' || fail "$file" "no stack protector"
  case $(readelf -W -h "$file" | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p') in
    EXEC) fail "$file" "a program not built as PIE" ;;
    DYN)
      if echo "$dynamic" | grep -q 'FLAGS_1.*PIE'; then
        echo "$symbols" | grep -Eq '__[a-z_]+_chk' || fail "$file" "no _FORTIFY_SOURCE checks"
      fi
      ;;
  esac
  runpath=$(echo "$dynamic" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  if [ -n "$runpath" ]; then
    # Entries are separated by ':'; a leading, trailing or doubled ':' is an
    # empty entry.
    rest="$runpath:"
    while [ -n "$rest" ]; do
      entry=${rest%%:*}
      rest=${rest#*:}
      case $entry in
        /* | '$ORIGIN' | '$ORIGIN'/*) ;;
        '') fail "$file" "empty RUNPATH entry (the current folder) in [$runpath]"; break ;;
        *) fail "$file" "relative RUNPATH entry '$entry'"; break ;;
      esac
    done
  fi
  echo "checked $file${runpath:+ (RUNPATH $runpath)}"
}

check_pe() {
  objdump=$1 file=$2
  headers=$("$objdump" -p "$file") || { fail "$file" "not readable as PE"; return; }
  for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
    echo "$headers" | grep -q "$flag" || fail "$file" "no $flag"
  done
  "$objdump" -t "$file" | grep -q '__stack_chk_fail' || fail "$file" "no stack protector"
  for dll in $(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    case $(echo "$dll" | tr 'A-Z' 'a-z') in
      kernel32.dll | advapi32.dll | msvcrt.dll | user32.dll | ws2_32.dll | api-ms-win-*) ;;
      gpiolink.dll) ;;  # the programs load the project's own DLL
      *) fail "$file" "imports $dll, not a system DLL" ;;
    esac
  done
  echo "checked $file"
}

case $kind in
  elf) for file in "$@"; do check_elf "$file"; done ;;
  pe)
    objdump=$1
    shift
    for file in "$@"; do check_pe "$objdump" "$file"; done
    ;;
  *) echo "usage: $0 elf FILE... | pe OBJDUMP FILE..." >&2; exit 64 ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures hardening failures"; exit 1; }
echo "hardening checked"
