#!/usr/bin/env bash
# Builds everything and runs every test suite:
#   1. the C++ core tests and the Python suite against a debug build
#      (warnings are errors);
#   2. both again under the address and undefined-behaviour sanitizers;
#   3. the Python suite against the module as `pip install .` builds it;
#   4. the reliability suites: model, fuzzing, leaks, thread stress (also under
#      the sanitizers), fault isolation, memcheck;
#   5. that build and the Python suite on the newer CPython versions present.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debs g++ libgtest-dev faketime
ensure_venv "$ROOT/requirements-dev.txt"
cd "$ROOT"

for preset in dev asan; do
  say "build and test: $preset"
  cmake --preset "$preset" -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" --parallel 2
done

install_module -C cmake.define.VOSTRAL_WERROR=ON
say "pytest against the installed module"
"$VENV/bin/python" -m pytest tests/python -p no:cacheprovider -q

bash "$ROOT/scripts/reliability.sh"
bash "$ROOT/scripts/test_versions.sh"

say "all test suites passed"
