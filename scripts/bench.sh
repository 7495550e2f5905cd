#!/usr/bin/env bash
# Builds the optimised module with the benchmark programs into build/bench and
# runs them: the C++ core timings, then benchmarks/bench.py (the module against
# the floor of each call shape and the plain Python baseline). Arguments go to
# bench.py, e.g. `bash scripts/bench.sh --runs 3 --quick`. Run by hand; the
# figures depend on the machine and its load.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# valgrind counts instructions per call, which machine load cannot disturb.
ensure_debs g++ valgrind
ensure_venv "$ROOT/requirements-build.txt"
cd "$ROOT"

say "build: release with benchmarks, in build/bench"
cmake --preset release -B build/bench -DVOSTRAL_BUILD_BENCHMARKS=ON -DVOSTRAL_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build build/bench

say "C++ core"
build/bench/vostral_core_bench

say "Python module"
# The plain Python baseline is the tests' model of the game.
PYTHONPATH="$ROOT/build/bench:$ROOT/tests" "$VENV/bin/python" benchmarks/bench.py "$@"
