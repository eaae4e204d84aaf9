# The counts of the test command (./test.sh), which sources this file, as is
# its own test (tests/tools/test_tally_test.sh): how many tests passed,
# failed and were skipped, and the rule for a test that must run.
#
# A test skipped because this machine cannot run it (no root, no .NET SDK,
# /dev/shm not writable) counts as skipped, never as passed. A test that
# must run on the project's machines (ctest's label "must-run", or a release
# test) and was skipped fails the run under CI=true: there a skip means a
# missing package or a broken fixture, not a different machine.

tally_passed=0
tally_failed=0
tally_skipped=0

# tally_skip NAME MUST_RUN: counts a skipped test; with MUST_RUN=yes under
# CI=true it counts as failed, and says so.
tally_skip() {
  if [ "$2" = yes ] && [ "${CI:-}" = true ]; then
    echo "== $1 was skipped, but it must run on this machine (CI=true): failed" >&2
    tally_failed=$((tally_failed + 1))
  else
    tally_skipped=$((tally_skipped + 1))
  fi
}

# tally_result NAME STATUS MUST_RUN: counts a test by its exit status: 0
# passed, 77 skipped (see tally_skip), anything else failed.
tally_result() {
  case $2 in
    0) tally_passed=$((tally_passed + 1)) ;;
    77) tally_skip "$1" "$3" ;;
    *) tally_failed=$((tally_failed + 1)) ;;
  esac
}

# ctest_names: the test names of `ctest -N` on stdin ("  Test #12: name"),
# one a line.
ctest_names() {
  sed -nE 's/^[[:space:]]*Test +#[0-9]+: (.*)$/\1/p'
}

# tally_ctest JUNIT MUST_RUN_NAMES: adds the counts of one ctest run from
# the JUnit report it wrote (ctest --output-junit JUNIT): a test that ran
# and passed, one that failed (a time-out too), one that did not run
# (skipped by its exit code or output) and one disabled, which counts as
# skipped. MUST_RUN_NAMES: the names of the tests that must run, one a
# line. Returns 1 when the report is missing or holds no test (no test ran).
tally_ctest() {
  local counts line name must
  counts=$(python3 - "$1" <<'PY'
import sys
import xml.etree.ElementTree as tree
try:
    cases = tree.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, tree.ParseError):
    sys.exit(1)
status = {"run": 0, "fail": 0}
skipped = []
for case in cases:
    kind = case.get("status")
    if kind in status:
        status[kind] += 1
    else:
        skipped.append(case.get("name"))
if status["run"] + status["fail"] + len(skipped) == 0:
    sys.exit(1)
print(f"passed {status['run']}")
print(f"failed {status['fail']}")
for name in skipped:
    print(f"skipped {name}")
PY
  ) || return 1
  while IFS= read -r line; do
    case $line in
      "passed "*) tally_passed=$((tally_passed + ${line#passed })) ;;
      "failed "*) tally_failed=$((tally_failed + ${line#failed })) ;;
      "skipped "*)
        name=${line#skipped }
        must=no
        case $'\n'"$2"$'\n' in
          *$'\n'"$name"$'\n'*) must=yes ;;
        esac
        tally_skip "$name" "$must"
        ;;
    esac
  done <<<"$counts"
}

# The last line of the test command; CI reads "N passed, N failed, N skipped".
tally_line() {
  echo "tests: $tally_passed passed, $tally_failed failed, $tally_skipped skipped"
}
