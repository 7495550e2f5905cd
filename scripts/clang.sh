#!/usr/bin/env bash
# The Clang stage: the whole suite (the C++ tests and the Python suite, as
# `ctest --preset dev` runs them) built with Clang, the compiler of macOS,
# with warnings as errors, in build/clang. Debian 12's default clang-14
# cannot compile libstdc++'s <source_location>, hence clang-16.
#
#   bash scripts/clang.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CLANG=clang++-16
ensure_debs clang-16 g++ libgtest-dev faketime
ensure_venv "$ROOT/requirements-test.txt"
cd "$ROOT"

say "build: debug with $CLANG, warnings as errors (build/clang)"
cmake --preset dev -B build/clang -DCMAKE_CXX_COMPILER="$CLANG" -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build build/clang --parallel 2

say "C++ tests and the Python suite, built with $CLANG"
ctest --test-dir build/clang --parallel 2 --output-on-failure
say "clang: all passed"
