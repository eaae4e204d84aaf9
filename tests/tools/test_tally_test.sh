#!/usr/bin/env bash
# The test command's counts (tools/test_tally.sh) against the output of a
# real ctest run: a small project of its own whose tests pass, fail, are
# skipped by their exit code (77) or by GoogleTest's "[  SKIPPED ]" line, or
# are disabled, some of them labelled must-run; then with CI=true, and for
# the release tests' exit statuses.
# usage: test_tally_test.sh TALLY CMAKE CTEST GENERATOR
set -u
tally=$1 cmake=$2 ctest=$3 generator=$4
. "$(dirname "$0")/tool_test_lib.sh"
. "$tally"

mkdir "$work/project"
cat >"$work/project/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(tally NONE)
enable_testing()
add_test(NAME passes COMMAND sh -c "exit 0")
add_test(NAME "Suite/Passes.Too/0" COMMAND sh -c "exit 0")
add_test(NAME fails COMMAND sh -c "exit 1")
add_test(NAME skipped_by_status COMMAND sh -c "echo 'skipped: no such thing here'; exit 77")
add_test(NAME Gtest.Skipped COMMAND sh -c "echo '[  SKIPPED ] Gtest.Skipped (0 ms)'")
add_test(NAME "Win/Fixture.Session/1" COMMAND sh -c "exit 77")
add_test(NAME must_run_passes COMMAND sh -c "exit 0")
add_test(NAME disabled COMMAND sh -c "exit 0")
set_tests_properties(skipped_by_status "Win/Fixture.Session/1" PROPERTIES SKIP_RETURN_CODE 77)
set_tests_properties(Gtest.Skipped PROPERTIES SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
set_tests_properties("Win/Fixture.Session/1" must_run_passes PROPERTIES LABELS must-run)
set_tests_properties(disabled PROPERTIES DISABLED TRUE)
EOF
"$cmake" -S "$work/project" -B "$work/build" -G "$generator" >"$work/configure.log" 2>&1 ||
  { fail "the project did not configure" "$(cat "$work/configure.log")"; finish "tally"; }
"$ctest" --test-dir "$work/build" --output-junit "$work/ctest.xml" >"$work/ctest.log" 2>&1
must_run=$("$ctest" --test-dir "$work/build" -N -L '^must-run$' | ctest_names)
[ "$must_run" = "$(printf 'Win/Fixture.Session/1\nmust_run_passes')" ] ||
  fail "the must-run names" "$must_run"

# counts EXPECTED CI: the last line after tallying the run with CI set so.
counts() {
  tally_passed=0 tally_failed=0 tally_skipped=0
  CI=$2 tally_ctest "$work/ctest.xml" "$must_run" 2>"$work/tally.err" || fail "no report read (CI=$2)"
  [ "$(tally_line)" = "$1" ] || fail "CI=$2: $(tally_line), not $1" "$(cat "$work/ctest.log")"
}
# Skipped tests are no passes; a disabled one is skipped too.
counts "tests: 3 passed, 1 failed, 4 skipped" false
# Under CI the skipped must-run test fails, and is named.
counts "tests: 3 passed, 2 failed, 3 skipped" true
grep -q 'Win/Fixture.Session/1 was skipped, but it must run' "$work/tally.err" ||
  fail "the failed must-run test is not named" "$(cat "$work/tally.err")"

# A run where nothing was skipped adds no skip; a report with no test, or
# none at all, means that no test ran.
tally_passed=0 tally_failed=0 tally_skipped=0
printf '<testsuite tests="2"><testcase name="a" status="run"/><testcase name="b" status="run"/></testsuite>\n' \
  >"$work/clean.xml"
tally_ctest "$work/clean.xml" "" || fail "a clean run was not read"
[ "$(tally_line)" = "tests: 2 passed, 0 failed, 0 skipped" ] || fail "a clean run: $(tally_line)"
printf '<testsuite tests="0"></testsuite>\n' >"$work/none.xml"
tally_ctest "$work/none.xml" "" && fail "a run without a test was counted"
tally_ctest "$work/missing.xml" "" && fail "a missing report was counted"

# The release tests and the fuzzers by their exit status.
for ci in false true; do
  tally_passed=0 tally_failed=0 tally_skipped=0
  export CI=$ci
  tally_result ok 0 yes
  tally_result not_here 77 no
  tally_result release 77 yes 2>/dev/null
  tally_result broken 2 yes
  expected="tests: 1 passed, 2 failed, 1 skipped"
  [ "$ci" = true ] || expected="tests: 1 passed, 1 failed, 2 skipped"
  [ "$(tally_line)" = "$expected" ] || fail "release statuses, CI=$ci: $(tally_line), not $expected"
done

finish "tally"
