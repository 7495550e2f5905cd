#!/usr/bin/env bash
# Builds the module into .venv and runs its demonstration.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debs g++
ensure_venv "$ROOT/requirements-build.txt"
install_module
say "demonstration"
"$VENV/bin/python" "$ROOT/examples/demo.py"
