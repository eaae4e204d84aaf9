#!/usr/bin/env bash
# Installs the Debian packages that one of the project's commands needs,
# and only those that are missing:
#   tools/install-deps.sh demo        what ./demo.sh needs
#   tools/install-deps.sh test        what ./test.sh needs
# A set is the file tools/deps/<set>.txt: one package a line, '#' starts a
# comment, and '@other' takes in the set 'other'. As root it installs the
# missing packages with apt-get; otherwise it prints the apt-get line to run
# and fails. Succeeds at once when nothing is missing.
set -euo pipefail
deps=$(cd "$(dirname "$0")" && pwd)/deps

# Adds the packages of a set, with the sets it takes in, to 'wanted'.
wanted=()
add_set() {
  local file=$deps/$1.txt line
  if [ ! -f "$file" ]; then
    echo "install-deps: no package set '$1' (sets: $(cd "$deps" && ls -- *.txt | sed 's/\.txt$//' | tr '\n' ' '))" >&2
    exit 64
  fi
  while read -r line; do
    line=${line%%#*}
    line=${line//[[:space:]]/}
    case $line in
      '') ;;
      @*) add_set "${line#@}" ;;
      *) [[ " ${wanted[*]} " == *" $line "* ]] || wanted+=("$line") ;;
    esac
  done <"$file"
}

if [ $# -eq 0 ]; then
  echo "usage: $0 SET..." >&2
  exit 64
fi
for set in "$@"; do
  add_set "$set"
done

if ! command -v dpkg-query >/dev/null; then
  echo "install-deps: not a Debian system; make sure these are installed: ${wanted[*]}" >&2
  exit 0
fi
missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "== installing ${missing[*]}"
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
