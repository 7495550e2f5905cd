#!/usr/bin/env bash
# Runs one Windows program under Wine, as ctest's emulator: the program's
# output as it comes, and when it fails without having printed anything, a
# line that says so with what Wine itself reported (its error channel), so
# that a program Wine could not start never reads as a bare test failure.
#
#   bash scripts/wine_program.sh PROGRAM.exe [ARGS...]
#
# WINEPREFIX names the prefix; the stage's server must be running.
set -uo pipefail

WINE="$(dirname "${BASH_SOURCE[0]}")/wine_fixed_layout.sh"
diagnostics=$(mktemp)
output=$(mktemp)
trap 'rm -f "$diagnostics" "$output"' EXIT

# Wine's error channel only: its warnings and fixmes are noise for the tests.
WINEDEBUG=-all,err+all "$WINE" "$@" </dev/null 2>"$diagnostics" | tee "$output"
status=${PIPESTATUS[0]}
wine_line='^([0-9a-f]{4}:)?(err|fixme|warn|trace):'
# The program's own standard error, without Wine's lines.
grep -Ev "$wine_line" "$diagnostics" >&2
if ((status != 0)) && [[ ! -s "$output" ]]; then
  echo "error: $(basename "$1") ended with status $status before printing anything (WINEPREFIX=$WINEPREFIX)" >&2
  if grep -qE "$wine_line" "$diagnostics"; then
    echo "Wine reported:" >&2
    grep -E "$wine_line" "$diagnostics" | tail -40 >&2
  else
    echo "Wine reported nothing on its error channel" >&2
  fi
fi
exit "$status"
