#!/usr/bin/env bash
# Builds the optimised module with the benchmark programs into build/bench and
# runs them: the C++ core timings, then benchmarks/bench.py (the module against
# the floor of each call shape and the plain Python baseline). Arguments go to
# bench.py, e.g. `.venv/bin/nox -s bench -- --runs 3 --quick`. Run by hand;
# the figures depend on the machine and its load.
#
#   .venv/bin/nox -s bench -- --stable-abi [PAIRS]
# instead puts the stable-ABI build (build/bench-abi3) beside the
# version-specific one: PAIRS (default 5) interleaved runs of the per-operation
# table and one count of instructions each, then benchmarks/compare.py.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# valgrind counts instructions per call, which machine load cannot disturb.
ensure_debs g++ valgrind
PY=$(session_python)
cd "$ROOT"

say "build: release with benchmarks, in build/bench"
cmake --preset release -B build/bench -DVOSTRAL_BUILD_BENCHMARKS=ON -DVOSTRAL_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/bench

if [[ "${1:-}" == --stable-abi ]]; then
  pairs=${2:-5}
  say "build: the same with the stable ABI, in build/bench-abi3"
  cmake --preset release -B build/bench-abi3 -DVOSTRAL_BUILD_BENCHMARKS=ON -DVOSTRAL_BUILD_TESTS=OFF \
    -DVOSTRAL_STABLE_ABI=ON -DPython_EXECUTABLE="$PY" >/dev/null
  cmake --build build/bench-abi3
  specific=() abi3=()
  for ((pair = 1; pair <= pairs; pair++)); do
    counting=--no-callgrind
    ((pair == 1)) && counting=--callgrind
    for build in bench bench-abi3; do
      say "pair $pair of $pairs: build/$build"
      out="$ROOT/build/compare-$build-$pair.json"
      PYTHONPATH="$ROOT/build/$build:$ROOT/tests" "$PY" benchmarks/bench.py --runs 1 --quick \
        --no-scaling --no-memory "$counting" --json "$out" >/dev/null
      if [[ $build == bench ]]; then specific+=("$out"); else abi3+=("$out"); fi
    done
  done
  say "version-specific and stable-ABI builds, side by side"
  "$PY" benchmarks/compare.py "${specific[@]}" --stable-abi "${abi3[@]}"
  exit 0
fi

say "C++ core"
build/bench/vostral_core_bench

say "Python module"
# The plain Python baseline is the tests' model of the game.
PYTHONPATH="$ROOT/build/bench:$ROOT/tests" "$PY" benchmarks/bench.py "$@"
