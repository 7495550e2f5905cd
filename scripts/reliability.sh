#!/usr/bin/env bash
# Reliability suites (tests/reliability), then a summary of figures:
#   1. model state machine, fuzz run over the whole call surface (guided by the
#      coverage of a build with the address and undefined-behaviour checks) and
#      fault isolation, against the module installed in the session's
#      environment;
#   2. fault isolation, the fuzz corpus and the sweep of single allocation
#      failures under the sanitizer build;
#   3. memcheck over a short subset with the debug build, counting only errors
#      whose stack passes through the module.
# The sanitizer and debug builds are trees of their own (build/reliability-*),
# so that this stage can run beside the others; ccache makes them cheap.
#
# Run by nox, which installs the module first: `.venv/bin/nox -s reliability [-- --long]`.
#
# The profile is VOSTRAL_TEST_PROFILE, full by default. --long sets the long one
# (many more examples, inputs and calls) and adds the Python suite, whose thread
# stress and leak hunt grow with it, to steps 1 and (the threads) 2; the full
# tier of scripts/test.sh runs that suite at the full profile in stages of its own.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
set -e

export VOSTRAL_TEST_PROFILE=${VOSTRAL_TEST_PROFILE:-full}
[[ "${1:-}" == "--long" ]] && VOSTRAL_TEST_PROFILE=long
PROFILE=$VOSTRAL_TEST_PROFILE
python_suite=() python_threads=()
if [[ $PROFILE == long ]]; then
  python_suite=(tests/python)
  python_threads=(tests/python/test_threads.py)
fi

ensure_debs g++ libgtest-dev valgrind faketime
PY=$(session_python)
cd "$ROOT"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export VOSTRAL_RELIABILITY_FIGURES="$WORK/figures"
: >"$VOSTRAL_RELIABILITY_FIGURES"
: >"$WORK/figures.asan"
failed=()

build() {  # build DIR PRESET [options...]: just the module
  local dir=$1 preset=$2
  shift 2
  cmake --preset "$preset" -B "$dir" -DPython_EXECUTABLE="$PY" "$@" >"$WORK/cmake.log" 2>&1 &&
    cmake --build "$dir" --target vostral >>"$WORK/cmake.log" 2>&1 || { cat "$WORK/cmake.log"; return 1; }
}

say "build: sanitizers (build/reliability-asan), debug (build/reliability-dev)"
build build/reliability-asan asan
build build/reliability-dev dev

# The fuzz build: coverage hooks and checks, resolved at run time by the
# runtime that comes with the fuzzer. That runtime predates two of the
# compiler's checks (function, vptr), which stay off.
unset VOSTRAL_FUZZ_PYTHONPATH VOSTRAL_FUZZ_PRELOAD
fuzz_runtime=$("$PY" -c 'import atheris; print(atheris.path())' 2>/dev/null)/asan_with_fuzzer.so || true
if [[ -f "$fuzz_runtime" ]] && ensure_debs clang-16 libclang-rt-16-dev; then
  say "build: coverage and checks for the fuzz run (build/reliability-fuzz)"
  if build build/reliability-fuzz asan -DCMAKE_CXX_COMPILER=clang++-16 -DVOSTRAL_SANITIZE=OFF -DVOSTRAL_BUILD_TESTS=OFF \
      -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function,vptr -fno-sanitize-recover=all -fno-omit-frame-pointer"; then
    export VOSTRAL_FUZZ_PYTHONPATH="$ROOT/build/reliability-fuzz"
    export VOSTRAL_FUZZ_PRELOAD="$fuzz_runtime $(g++ -print-file-name=libstdc++.so)"
  fi
fi
[[ -n "${VOSTRAL_FUZZ_PYTHONPATH:-}" ]] || echo "note: no fuzz build; fuzzing the installed module without native coverage"

say "reliability suites against the installed module ($PROFILE)"
"$PY" -m pytest tests/reliability "${python_suite[@]}" -p no:cacheprovider || failed+=("suites")

say "fault isolation, the fuzz corpus and allocation failures under the sanitizers"
VOSTRAL_RELIABILITY_FIGURES="$WORK/figures.asan" VOSTRAL_SANITIZED=1 PYTHONPATH="$ROOT/build/reliability-asan" \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
  "$PY" -m pytest tests/reliability/test_fault_isolation.py tests/reliability/test_fuzz.py::test_corpus_replays_cleanly \
  tests/reliability/test_allocation_failures.py \
  "${python_threads[@]}" -p no:cacheprovider 2>&1 | tee "$WORK/asan.log" || failed+=("sanitizers")
sanitizer_findings=$(grep -cE "ERROR: AddressSanitizer|runtime error:" "$WORK/asan.log" || true)

say "memcheck over a short subset (debug build)"
mkdir "$WORK/memcheck"
VOSTRAL_RELIABILITY_FIGURES= PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build/reliability-dev" \
  valgrind --tool=memcheck --trace-children=yes --num-callers=40 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --xml=yes --xml-file="$WORK/memcheck/%p.xml" \
  "$PY" -m pytest tests/python/test_binding.py tests/reliability/test_fuzz.py::test_corpus_replays_cleanly \
  tests/reliability/test_fault_isolation.py::test_fault_leaves_other_games_and_the_interpreter_working \
  tests/reliability/test_fault_isolation.py::test_fault_caught_inside_a_nested_call_spoils_nothing \
  -p no:cacheprovider || failed+=("memcheck run")
# The interpreter has errors of its own; only those with a frame in the module count.
memcheck_errors=$("$PY" - "$WORK/memcheck" <<'EOF'
import pathlib, sys, xml.etree.ElementTree as ET
found, other, processes = 0, 0, 0
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.xml")):
    processes += 1
    for error in ET.parse(path).getroot().iter("error"):
        frames = [(f.findtext("obj") or "", f.findtext("fn") or "?", f.findtext("file"), f.findtext("line")) for f in error.iter("frame")]
        if not any(pathlib.Path(obj).name.startswith("vostral.") for obj, *_ in frames):
            other += 1
            continue
        found += 1
        what = error.findtext("what") or error.findtext("xwhat/text")
        print(f"{error.findtext('kind')}: {what}", file=sys.stderr)
        for obj, fn, file, line in frames[:12]:
            print(f"    {fn} ({file or pathlib.Path(obj).name}:{line or '?'})", file=sys.stderr)
print(f"memcheck: {processes} processes, {other} errors outside the module (not counted)", file=sys.stderr)
print(found if processes else "unknown")
EOF
) || memcheck_errors=unknown
[[ "$memcheck_errors" == 0 ]] || failed+=("memcheck: $memcheck_errors errors in the module")

figure() { awk -v k="$1" '$1 == k { s += $2 } END { print s + 0 }' "${2:-$VOSTRAL_RELIABILITY_FIGURES}"; }
say "summary ($PROFILE, ${SECONDS}s)"
printf '  %-34s %s\n' \
  "fuzz inputs tried" "$(figure fuzz_inputs)" \
  "model games / steps" "$(figure model_games) / $(figure model_steps)" \
  "crashes" "$(figure crashes)" \
  "sanitizer findings" "$sanitizer_findings" \
  "memcheck errors in the module" "$memcheck_errors"
if [[ $PROFILE == long ]]; then
  printf '  %-34s %s\n' \
    "leak-hunting calls" "$(figure leak_calls)" \
    "threads x calls" "8 x $(( $(figure thread_calls) / 8 )); under the sanitizers 8 x $(( $(figure thread_calls "$WORK/figures.asan") / 8 ))" \
    "bytes per game of side 64" "$(figure game_bytes)"
fi
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "reliability: all passed"
