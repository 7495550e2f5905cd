#!/usr/bin/env bash
# Builds the module into .venv (or keeps the build there when its sources have
# not changed) and runs its demonstration: a tour of the API, scripted games,
# and the solver on a few sizes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debs g++
ensure_venv "$ROOT/requirements-examples.txt"
install_module
say "a tour of the API"
"$VENV/bin/python" "$ROOT/examples/demo.py"
say "scripted games"
"$VENV/bin/python" "$ROOT/examples/play.py" --demo
say "the solver: 3x3 optimally, then larger boards constructively"
"$VENV/bin/python" "$ROOT/examples/solve.py" --mode 3 --games 3 --optimal
for side in 5 10 20; do
  "$VENV/bin/python" "$ROOT/examples/solve.py" --mode "$side"
done
