#!/usr/bin/env bash
# Builds the module (an editable install that rebuilds itself when its
# sources change) and runs its demonstration: a tour of the API, scripted
# games, and the solver on a few sizes (`nox -s demo`).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debs g++ libgtest-dev ccache
ensure_tools
cd "$ROOT"
exec nox -s demo
