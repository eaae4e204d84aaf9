#!/bin/sh
# Fuzzes one target for a while, starting from a copy of its seed corpus so
# that the committed corpus stays as it is. Fails when the target crashes,
# leaks, hangs or breaks one of its properties; the input that did it is
# kept in ARTIFACTS and printed in hex.
# usage: run_fuzzer.sh FUZZER CORPUS SECONDS ARTIFACTS [libFuzzer options...]
set -u
if [ $# -lt 4 ]; then
  echo "usage: $0 FUZZER CORPUS SECONDS ARTIFACTS [libFuzzer options...]" >&2
  exit 2
fi
fuzzer=$(realpath "$1")
corpus=$2
seconds=$3
artifacts=$(realpath -m "$4")
shift 4
name=$(basename "$fuzzer")
# A target's own dictionary (command_payload.dict for fuzz_command_payload),
# else the wire's frames.
dict=$(dirname "$(realpath "$0")")/${name#fuzz_}.dict
[ -f "$dict" ] || dict=$(dirname "$(realpath "$0")")/frames.dict

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$artifacts"
cp "$corpus"/* "$work/corpus/"
touch "$work/started"

# libFuzzer writes nothing but the working corpus and the artifacts; it
# runs in the scratch folder all the same.
status=0
(cd "$work" && "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -dict="$dict" -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" corpus) >"$work/log" 2>&1 || status=$?

executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -1)
inputs=$(find "$work/corpus" -type f | wc -l)
echo "$name: ${executed:-?} executions in ${seconds} s, $coverage, corpus $inputs inputs, exit $status"
if [ "$status" -ne 0 ]; then
  tail -60 "$work/log"
  find "$artifacts" -type f -newer "$work/started" | while read -r input; do
    echo "== $input"
    od -An -tx1 -v "$input" | head -40
  done
fi
exit "$status"
