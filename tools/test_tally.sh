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

# tally_ctest LOG MUST_RUN_NAMES: adds the counts of one ctest run from its
# output in LOG. ctest counts a skipped test among those that "passed" and
# lists it under "The following tests did not run:"; a disabled test it
# lists there too, outside its total. MUST_RUN_NAMES: the names of the tests
# that must run, one a line. Returns 1 when LOG holds no summary (no test
# ran).
tally_ctest() {
  local summary total bad entry name kind must skipped=0
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  [ -n "$summary" ] || return 1
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  tally_failed=$((tally_failed + bad))
  # "	 41 - dotnet_binding (Skipped)", up to the next blank line.
  while IFS= read -r entry; do
    [ -n "$entry" ] || continue
    name=${entry%|*}
    kind=${entry##*|}
    must=no
    case $'\n'"$2"$'\n' in
      *$'\n'"$name"$'\n'*) must=yes ;;
    esac
    tally_skip "$name" "$must"
    [ "$kind" = Disabled ] || skipped=$((skipped + 1))
  done <<EOF
$(sed -n '/^The following tests did not run:/,/^[[:space:]]*$/p' "$1" |
    sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \((Skipped|Disabled)\)[[:space:]]*$/\1|\2/p')
EOF
  tally_passed=$((tally_passed + total - bad - skipped))
}

# The last line of the test command; CI reads "N passed, N failed, N skipped".
tally_line() {
  echo "tests: $tally_passed passed, $tally_failed failed, $tally_skipped skipped"
}
