#!/usr/bin/env bash
# The project's tests, in two tiers, run by nox (noxfile.py) after .venv is
# made with the pinned uv and nox.
#
#   bash scripts/test.sh          quick tier: lint (ruff, clang-format, clang-tidy), the
#                                 editable debug build (warnings are errors), its C++
#                                 tests and the Python suite against it (quick profile)
#   bash scripts/test.sh --full   every stage (`nox -t full -j 2`): the quick tier, then the
#                                 sanitizers, the installed build, reliability, CPython
#                                 3.11-3.15, free-threaded 3.13t (and under ThreadSanitizer),
#                                 wheels, Clang, macOS (zig) and Windows; what CI runs
#
# Arguments after the tier go to nox, e.g. `bash scripts/test.sh -- -s asan`
# runs one session and `bash scripts/test.sh -- -l` lists them. nox runs every
# selected session even when an earlier one failed (the full tier two at a
# time, each one's output shown whole when it ends), ends with each one's
# outcome and time, and fails if any did.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

selection=()
case "${1:-}" in
  "") ;;
  --full) selection=(-t full -j 2) ;;
  --) ;;
  -h | --help) sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; exit 0 ;;
  *) sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}" >&2; exit 2 ;;
esac
(($#)) && shift
[[ "${1:-}" == -- ]] && shift
(($#)) && selection=("$@")

ensure_debs g++ libgtest-dev faketime ccache
ensure_tools
cd "$ROOT"
exec nox "${selection[@]}"
