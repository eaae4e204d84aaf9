#!/bin/sh
# What the tools say when something is wrong, and that text from the line
# never reaches the terminal raw: --link leaves the user's own files alone,
# a capture that cannot be written or a replay of something else is an
# error, a controller's version text is escaped, JSON keeps non-ASCII
# characters whole, and a scan that finds nothing names the ports it tried.
# usage: messages_test.sh GPIOCTL GPIO_SIM GPIO_TAP
set -u
gpioctl=$1 sim=$2 tap=$3
. "$(dirname "$0")/tool_test_lib.sh"
esc=$(printf '\033')
bel=$(printf '\007')

# A controller whose version text would retitle the window and ring the
# bell: escaped in gpioctl's text, and \u001b in its JSON.
start evil '^port: ' "$sim" --version-text "GPIO-${esc}]0;owned${bel}${esc}[2J" --link "$work/evil"
run "$gpioctl" --port "$work/evil" version
{ [ "$status" -eq 0 ] && grep -qF 'version GPIO-\x1b]0;owned\x07\x1b[2J' "$work/out" &&
  ! grep -q "$esc" "$work/out"; } || fail "gpioctl version: the version text is not escaped" "$(od -c "$work/out" | head)"
run "$gpioctl" --port "$work/evil" version --json
grep -qF '"version":"GPIO-\u001b]0;owned\u0007\u001b[2J"' "$work/out" || fail "gpioctl --json version" "$(cat "$work/out")"

# A version text that would reorder the line (RLO, U+202E), with CSI as a
# character (U+009B) and as a stray byte (0x9B), ÿ and the stray byte 0xFF:
# the tools tell each apart, in text and in JSON, and keep ÿ as it is.
start mixed '^port: ' "$sim" --version-text "$(printf 'A\342\200\256B\302\233\233\303\277\377')" --link "$work/mixed"
run "$gpioctl" --port "$work/mixed" version
grep -qF 'version A\u202eB\u009b\x9bÿ\xff' "$work/out" ||
  fail "gpioctl version: RLO, CSI or a stray byte" "$(od -c "$work/out" | head)"
run "$gpioctl" --port "$work/mixed" version --json
grep -qF '"version":"A\u202eB\u009b\\x9bÿ\\xff"' "$work/out" || fail "gpioctl --json version: RLO, CSI or a stray byte" "$(cat "$work/out")"
kill "$last"

# --link: the user's link to a file, and a plain file, stay as they are; a
# link to a pseudo-terminal, as a run that did not clean up leaves, goes.
echo "keep me" >"$work/important.txt"
ln -s "$work/important.txt" "$work/important"
for tool in "$sim" "$tap"; do
  name=$(basename "$tool")
  if [ "$name" = gpio-tap ]; then
    run "$tool" --port "$work/evil" --link "$work/important"
  else
    run "$tool" --link "$work/important"
  fi
  { [ "$status" -eq 1 ] && grep -q "is a link to $work/important.txt, not to a pseudo-terminal" "$work/err"; } ||
    fail "$name --link to the user's link: exit $status" "$(cat "$work/err")"
  [ "$(readlink "$work/important")" = "$work/important.txt" ] && [ "$(cat "$work/important.txt")" = "keep me" ] ||
    fail "$name --link replaced the user's link"
done
refused 1 "exists and is not a link" "$sim" --link "$work/important.txt"
ln -s /dev/pts/999999 "$work/stale"
start stale '^port: ' "$sim" --link "$work/stale"
[ "$(readlink "$work/stale")" = "$(sed -n 's/^path: //p' "$work/stale.out")" ] ||
  fail "gpio-sim did not replace a stale link to a pseudo-terminal" "$(cat "$work/stale.err")"
kill "$last"

# Through gpio-tap: its trace escapes the reply's text as well.
start tap '^port: ' "$tap" --port "$work/evil" --capture "$work/capture"
tap_pid=$last
run "$gpioctl" --port "$(sed -n 's/^port: //p' "$work/tap.out")" version
kill -INT "$tap_pid"
wait "$tap_pid"
{ grep -qF 'ok version "GPIO-\x1b]0;owned\x07\x1b[2J"' "$work/tap.out" && ! grep -q "$esc" "$work/tap.out"; } ||
  fail "gpio-tap: the version text is not escaped" "$(cat "$work/tap.out")"
grep -q "^gpio-tap: 1 frames from the application, 1 from the controller; 0 with a bad CRC, .* 0 silences$" \
  "$work/tap.err" || fail "gpio-tap: no summary on stderr" "$(cat "$work/tap.err")"

# JSON by code point: a port name in UTF-8 stays whole.
run "$gpioctl" --port "ttyé" --json version
grep -q '"port":"ttyé"' "$work/out" || fail "gpioctl --json: the port name is not kept whole" "$(cat "$work/out")"
run "$gpioctl" --port "tty${esc}[2J" version
{ grep -qF 'port tty\x1b[2J' "$work/out" && ! grep -q "$esc" "$work/out"; } ||
  fail "gpioctl: a port name with ESC is not escaped" "$(cat "$work/out")"

# A capture that cannot be written, and a replay of something else.
refused 1 "cannot write the capture /dev/full" "$tap" --port "$work/evil" --capture /dev/full
refused 1 "not a gpio-tap capture" "$tap" --replay "$work/important.txt"
: >"$work/empty"
refused 1 "not a gpio-tap capture: it holds no records" "$tap" --replay "$work/empty"
# A pcap written over the capture it replays, by its name or through a
# link, would empty the capture before it is read.
cp "$work/capture" "$work/capture.kept"
ln -s "$work/capture" "$work/capture-link"
for pcap in "$work/capture" "$work/capture-link"; do
  refused 64 "^gpio-tap: --pcap $pcap is the capture that --replay reads" "$tap" --replay "$work/capture" --pcap "$pcap"
  cmp -s "$work/capture" "$work/capture.kept" || fail "gpio-tap --replay --pcap $pcap changed the capture"
done
head -1 "$work/capture" >"$work/header-only"
echo "1000 A 02 zz" >>"$work/header-only"
refused 1 "line 2: bytes are not two-digit hex" "$tap" --replay "$work/header-only"

# An operation's I/O error is a bad reply, not a port that could not be
# used (magic port 242 answers status 0xFD).
start magic '^port: ' "$sim" --magic-ports --link "$work/magic"
run "$gpioctl" --port "$work/magic" input 242
{ [ "$status" -eq 3 ] &&
  grep -q "^GPIO_RESULT_IO_ERROR: the reply was corrupted or had status 0xFD, or the port took no bytes, port 242$" \
    "$work/out"; } || fail "gpioctl input 242: exit $status" "$(cat "$work/out")"

# Without --port, a scan that finds nothing says so and names what it tried.
run "$gpioctl" version
{ [ "$status" -eq 4 ] &&
  grep -Eq "^GPIO_RESULT_TIMEOUT: scan found no controller(: this system lists no serial port| on the ports it tried: [^ ])" \
    "$work/out"; } || fail "gpioctl version without a controller: exit $status" "$(cat "$work/out" "$work/err")"

finish message
