#!/bin/sh
# gpio-tap's pcap capture read by tshark with the installed dissector:
# every operation, a corrupted reply, a silence, noise and a foreign frame
# go through the tap to gpio-sim; each frame must decode to its command,
# operands, status and CRC verdict, replies paired with their requests.
# A replay of the text capture must give the same pcap, and a pcap that
# cannot be written must fail the run.
# usage: tshark_capture_test.sh GPIOCTL GPIO_SIM GPIO_TAP DISSECTOR.lua
set -u
gpioctl=$1 sim=$2 tap=$3 lua=$4
. "$(dirname "$0")/../tools/tool_test_lib.sh"
# Each check here stops the test at its first failure: later ones build on it.
die() { fail "$@"; exit 1; }

# tshark may refuse Lua scripts to root (init.lua's
# run_user_scripts_when_superuser): then it runs as nobody, on copies it
# can read, with a home of its own.
cp "$lua" "$work/gpiolink.lua"
chmod 755 "$work"
run_tshark() {
  HOME=$work tshark "$@" 2>"$work/tshark.err"
}
if ! run_tshark -G protocols -X "lua_script:$work/gpiolink.lua" | grep -q '	gpiolink$'; then
  [ "$(id -u)" -eq 0 ] || { cat "$work/tshark.err" >&2; die "tshark did not load the dissector"; }
  run_tshark() {
    HOME=$work setpriv --reuid=nobody --regid=nogroup --clear-groups tshark "$@" 2>"$work/tshark.err"
  }
  run_tshark -G protocols -X "lua_script:$work/gpiolink.lua" | grep -q '	gpiolink$' ||
    { cat "$work/tshark.err" >&2; die "tshark did not load the dissector, as root or as nobody"; }
fi

start sim '^path: ' "$sim" --magic-ports
device=$(sed -n 's/^path: //p' "$work/sim.out")
start tap '^path: ' "$tap" "$device" --pcap "$work/live.pcap" --capture "$work/live.txt"
tap_pid=$last
port=$(sed -n 's/^path: //p' "$work/tap.out")

# 0xF1: the reply's CRC corrupted; 0xF0: no reply; 0xF8: noise before the
# reply; 0xF7: a frame with a request's addresses before the reply.
while read -r operation; do
  # shellcheck disable=SC2086 # the operation is words
  "$gpioctl" --port "$port" $operation >>"$work/gpioctl.out" 2>&1 || true
done <<EOF
version
input 1
output 2 0xA5
bit-test 2 0
bit-set 1 3
bit-reset 1 3
input 0xF1
input 0xF0
input 0xF8
input 0xF7
EOF
sleep 0.3  # the tap writes the last reply once relayed
kill "$tap_pid"
wait "$tap_pid" || die "gpio-tap ended with status $? when stopped"

fields() {
  run_tshark -2 -X "lua_script:$work/gpiolink.lua" -r "$1" -T fields -E separator=";" \
    -e gpiolink.direction -e gpiolink.kind -e gpiolink.command -e gpiolink.port -e gpiolink.bit \
    -e gpiolink.value -e gpiolink.status -e gpiolink.level -e gpiolink.version -e gpiolink.crc.verdict \
    -e gpiolink.escapes -e _ws.expert.message ||
    { cat "$work/tshark.err" >&2; die "tshark could not read $1"; }
}
fields "$work/live.pcap" >"$work/live.fields"
cat >"$work/expected.fields" <<'EOF'
0;request;version;;;;;;;good;0;
1;reply;version;;;;0x00;;GPIO-SIM 1.0;good;0;
0;request;input;1;;;;;;good;0;
1;reply;input;;;0x00;0x00;;;good;0;
0;request;output;2;;0xa5;;;;good;1;
1;reply;output;;;;0x00;;;good;0;
0;request;bit-test;2;0;;;;;good;1;
1;reply;bit-test;;;;0x00;H;;good;0;
0;request;bit-set;1;3;;;;;good;1;
1;reply;bit-set;;;;0x00;;;good;0;
0;request;bit-reset;1;3;;;;;good;1;
1;reply;bit-reset;;;;0x00;;;good;0;
0;request;input;241;;;;;;good;0;
1;reply;input;;;0x00;0x00;;;bad;0;Bad CRC
0;request;input;240;;;;;;good;0;Request without reply
0;request;input;248;;;;;;good;0;
1;noise;;;;;;;;;;Bytes outside any frame
1;reply;input;;;0x00;0x00;;;good;0;
0;request;input;247;;;;;;good;0;
1;reply;;;;;0x00;;;good;0;Unexpected address bytes
1;reply;input;;;0x00;0x00;;;good;0;
EOF
if ! diff -u "$work/expected.fields" "$work/live.fields"; then
  cat "$work/gpioctl.out" "$work/tap.out"
  die "the dissected capture differs from the expected frames (- expected, + dissected)"
fi

# Each reply names its request's frame and the time since it; the silence
# has none.
run_tshark -2 -X "lua_script:$work/gpiolink.lua" -r "$work/live.pcap" -T fields -E separator=";" \
  -e frame.number -e gpiolink.request_in -e gpiolink.response_in -e gpiolink.time >"$work/pairs"
for pair in '1;;2;' '2;1;;0' '14;13;;' '15;;;' '18;16;;0' '21;19;;0'; do
  grep -q "^${pair}" "$work/pairs" || { cat "$work/pairs"; die "no pairing ${pair}"; }
done

run_tshark -2 -X "lua_script:$work/gpiolink.lua" -r "$work/live.pcap" >"$work/listing"
grep -q 'Request: input port 240 (NO REPLY)$' "$work/listing" || { cat "$work/listing"; die "no NO REPLY"; }

# The replay of the text capture writes the same frames.
"$tap" --replay "$work/live.txt" --pcap "$work/replay.pcap" >/dev/null ||
  die "gpio-tap --replay --pcap failed"
fields "$work/replay.pcap" >"$work/replay.fields"
diff -u "$work/live.fields" "$work/replay.fields" || die "the replay's pcap differs from the live one"

# A pcap that cannot be written is an error, not a silent empty file.
if "$tap" --replay "$work/live.txt" --pcap /dev/full >/dev/null 2>"$work/full.err"; then
  die "gpio-tap --pcap /dev/full succeeded"
fi
grep -q "could not write" "$work/full.err" || { cat "$work/full.err"; die "no message for a failed write"; }
if "$tap" --replay "$work/live.txt" --pcap "$work/no/such/dir.pcap" >/dev/null 2>&1; then
  die "gpio-tap --pcap into a missing folder succeeded"
fi
# What a healthy run never shows, as a hand-written text capture: an
# unknown command, a frame cut short by the next STX, a version text with an
# escape sequence (which must reach no terminal raw), a request too short
# for its command, a bad escape, and a reply too short to be a frame.
cat >"$work/odd.txt" <<'EOF'
1000 A 02 00 40 5A 3A EF 03
1500 D 02 00 00 FE C2 4D 03
20000 A 02 00 40 49 02 00 40 56 FB 63 03
20400 D 02 00 00 00 47 50 49 4F 1B 5B 32 4A 78 CD 03
40000 A 02 00 40 49 18 BD 03
40300 D 02 00 00 FD F2 2E 03
60000 A 02 00 40 7D 11 00 03
60100 D 02 00 00 03
90000 E
EOF
"$tap" --replay "$work/odd.txt" --pcap "$work/odd.pcap" >/dev/null || die "gpio-tap could not replay odd.txt"
fields "$work/odd.pcap" >"$work/odd.fields"
cat >"$work/odd.expected" <<'EOF'
0;request;unknown;;;;;;;good;0;
1;reply;;;;;0xfe;;;good;0;Controller reported an error
0;broken;;;;;;;;;;Broken frame: cut short, bad escape or too short
0;request;version;;;;;;;good;0;
1;reply;version;;;;0x00;;GPIO\x1B[2J;good;0;
0;request;input;;;;;;;good;0;
1;reply;input;;;;0xfd;;;good;0;Controller reported an error
0;broken;;;;;;;;;;Broken frame: cut short, bad escape or too short
1;broken;;;;;;;;;;Broken frame: cut short, bad escape or too short
EOF
diff -u "$work/odd.expected" "$work/odd.fields" || die "the odd frames were not dissected as expected"
run_tshark -2 -X "lua_script:$work/gpiolink.lua" -r "$work/odd.pcap" >"$work/odd.listing"
! grep -q "$(printf '\033')" "$work/odd.listing" || die "the version text's ESC reached tshark's listing raw"
echo "tshark decoded $(wc -l <"$work/live.fields") records of a run and $(wc -l <"$work/odd.fields") odd ones as expected"
