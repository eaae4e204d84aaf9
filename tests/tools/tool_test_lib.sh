# Sourced by the tests of the three tools: a scratch folder removed on exit
# with the programs started in it, and the helpers every such test uses.
# Sets $work; counts failures in $failures; finish NAME ends the test.
work=$(mktemp -d /tmp/gpiolink-tools-XXXXXX)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0

# fail WHAT [OUTPUT]: counts a failure and shows the output that shows it.
fail() {
  echo "FAIL: $1"
  [ $# -lt 2 ] || printf '%s\n' "$2" | sed 's/^/    /' | cut -c1-300
  failures=$((failures + 1))
}

# run COMMAND...: stdout in $work/out, stderr in $work/err, status in $status.
run() {
  "$@" >"$work/out" 2>"$work/err"
  status=$?
}

# refused STATUS PATTERN COMMAND...: COMMAND must end with STATUS and say
# PATTERN (grep's basic form) on stderr.
refused() {
  refused_status=$1 refused_pattern=$2 refused_tool=$(basename "$3")
  shift 2
  run "$@"
  shift
  { [ "$status" -eq "$refused_status" ] && grep -q -- "$refused_pattern" "$work/err"; } ||
    fail "$refused_tool $*: exit $status" "$(cat "$work/err")"
}

# start NAME PATTERN COMMAND...: runs COMMAND in the background, its output
# in $work/NAME.out and .err, until its stdout shows PATTERN; its process
# is $last.
start() {
  name=$1 pattern=$2
  shift 2
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids="$pids $!"
  last=$!
  for _ in $(seq 200); do
    grep -Eq -- "$pattern" "$work/$name.out" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "$name did not start" "$(cat "$work/$name.out" "$work/$name.err")"
  exit 1
}

# finish WHAT: the verdict.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures $1 checks failed"
    exit 1
  fi
  echo "$1 checks passed"
}
