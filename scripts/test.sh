#!/usr/bin/env bash
# The project's tests, in two tiers.
#
#   bash scripts/test.sh          quick tier: the debug build (warnings are errors),
#                                 the C++ tests and the Python suite against it, with
#                                 the quick profile (few hypothesis examples, short
#                                 thread and leak runs); a few minutes at most
#   bash scripts/test.sh --full   the quick tier, then every stage of FULL_STAGES
#                                 below (what CI runs; 30 minutes from a fresh clone
#                                 here, the Windows stage 4 of them once its cache is warm)
#
# Every stage runs even when an earlier one failed, so that one run shows every
# failure; a summary gives each stage's outcome and time, and the script fails
# if any stage did. A stage that exits with 77 could not run on this machine
# (it says why) and shows as skipped. VOSTRAL_TEST_PROFILE (quick, full, long) sets how hard the
# Python suites push; each stage sets the one it needs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The stages --full runs after the quick tier, in order: a function of this
# file, then what it checks. A new stage is a function and a line here.
FULL_STAGES=(
  "stage_asan         sanitizers: the C++ tests and the Python suite (full profile)"
  "stage_installed    the Python suite and the stub check against pip install . (full profile)"
  "stage_reliability  model, fuzzing, fault isolation, memcheck (scripts/reliability.sh)"
  "stage_versions     the Python suite on CPython 3.11-3.13 (scripts/test_versions.sh)"
  "stage_wheels       one stable-ABI wheel on CPython 3.10-3.13, auditwheel, the hosted CI's builds (scripts/wheels.sh)"
  "stage_unstable     CPython 3.14 and 3.15 in a root of Debian unstable: the module built there and the stable-ABI wheel (scripts/unstable.sh)"
  "stage_clang        the C++ tests and the Python suite built with Clang (scripts/clang.sh)"
  "stage_windows      Windows: C++ tests under Wine; two zig-built wheels, each installed and tested in Windows CPython 3.10-3.13 under Wine (scripts/windows.sh)"
)

# build_and_test PRESET: configure and build the preset, then run its C++
# tests and the Python suite against its module (both through ctest).
build_and_test() {
  local preset="$1"
  say "build: $preset (build/$preset)"
  cmake --preset "$preset" -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
  cmake --build --preset "$preset"
  say "C++ tests and the Python suite: $preset, profile $VOSTRAL_TEST_PROFILE"
  ctest --preset "$preset" --parallel 2
}

stage_quick() {
  ensure_debs g++ libgtest-dev faketime
  ensure_venv "$ROOT/requirements-test.txt"
  VOSTRAL_TEST_PROFILE=quick build_and_test dev
}

stage_asan() {
  ensure_debs g++ libgtest-dev faketime
  ensure_venv "$ROOT/requirements-test.txt"
  VOSTRAL_TEST_PROFILE=full build_and_test asan
}

stage_installed() {
  ensure_debs g++ faketime
  ensure_venv "$ROOT/requirements-dev.txt"
  install_module -C cmake.define.VOSTRAL_WERROR=ON
  say "the Python suite and the stub check against the installed module, profile full"
  VOSTRAL_TEST_PROFILE=full "$VENV/bin/python" -m pytest tests/python tests/typing -p no:cacheprovider -q
}

stage_reliability() {
  VOSTRAL_TEST_PROFILE=full bash "$ROOT/scripts/reliability.sh"
}

stage_versions() {
  VOSTRAL_TEST_PROFILE=quick bash "$ROOT/scripts/test_versions.sh"
}

stage_wheels() {
  VOSTRAL_TEST_PROFILE=quick bash "$ROOT/scripts/wheels.sh"
}

stage_unstable() {
  VOSTRAL_TEST_PROFILE=quick bash "$ROOT/scripts/unstable.sh"
}

stage_clang() {
  VOSTRAL_TEST_PROFILE=quick bash "$ROOT/scripts/clang.sh"
}

stage_windows() {
  bash "$ROOT/scripts/windows.sh"
}

usage() {
  sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
}

stages=("stage_quick        the debug build: the C++ tests and the Python suite (quick profile)")
case "${1:-}" in
  "") ;;
  --full) stages+=("${FULL_STAGES[@]}") ;;
  -h | --help) usage; exit 0 ;;
  *) usage >&2; exit 2 ;;
esac

results=()
failed=0
skipped=0
for stage in "${stages[@]}"; do
  name=${stage%% *}
  description=$(sed 's/^[^ ]* *//' <<<"$stage")
  say "stage ${name#stage_}: $description"
  started=$SECONDS
  # A subshell of its own, outside any condition, so that -e stops the stage
  # at its first failing step while the next stages still run.
  set +e
  (set -e; cd "$ROOT"; "$name")
  status=$?
  set -e
  outcome=passed
  if ((status == 77)); then
    outcome=skipped
    skipped=$((skipped + 1))
  elif ((status != 0)); then
    outcome=FAILED
    failed=$((failed + 1))
  fi
  results+=("$(printf '%-12s %-7s %5d s   %s' "${name#stage_}" "$outcome" $((SECONDS - started)) "$description")")
done

say "summary ($((SECONDS / 60)) min $((SECONDS % 60)) s)"
printf '  %s\n' "${results[@]}"
echo "stages: $((${#stages[@]} - failed - skipped)) passed, $skipped skipped, $failed failed"
((failed == 0))
