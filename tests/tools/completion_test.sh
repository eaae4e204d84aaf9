#!/bin/bash
# gpioctl's bash completion: commands and options as gpioctl --help lists
# them, nothing after the command, and after --port the names that
# "gpioctl ports" prints (here from a stand-in that lists known ports).
# usage: completion_test.sh COMPLETION GPIOCTL
set -u
completion=$1 gpioctl=$2
# shellcheck source=tool_test_lib.sh
. "$(dirname "$0")/tool_test_lib.sh"

# A gpioctl that lists ttyS2 and ttyUSB0 as its ports and is the real one otherwise.
cat >"$work/gpioctl" <<STUB
#!/bin/sh
if [ "\$1" = ports ]; then printf 'ttyS2\nttyUSB0\n'; exit 0; fi
exec "$gpioctl" "\$@"
STUB
chmod +x "$work/gpioctl"
PATH="$work:$PATH"
# shellcheck source=/dev/null
. "$completion"

# expect "WANTED" WORD...: completing the last word of "gpioctl WORD..." offers WANTED.
expect() {
  wanted=$1
  shift
  COMP_WORDS=(gpioctl "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _gpioctl
  got="${COMPREPLY[*]}"
  [ "$got" = "$wanted" ] || fail "gpioctl $* <TAB>: got '$got', want '$wanted'"
}

expect "bit-test bit-set bit-reset bench" b
expect "scan" --json sc
expect "scan ports version input output bit-test bit-set bit-reset demo bench watch" --port ttyUSB0 ""
expect "--port" input 1 --po
expect "--count" watch 1 --co
expect "--simulate" --si
expect "ttyUSB0" --port ttyU
expect "ttyS2 ttyUSB0" version --port ""
expect "" input ""
expect "" --port ttyS2 output 1 ""
[ "$(complete -p gpioctl)" = "complete -F _gpioctl gpioctl" ] || fail "not registered"
finish completion
