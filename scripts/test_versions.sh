#!/usr/bin/env bash
# Builds the module with warnings as errors against each other CPython it
# supports (3.11, 3.12, 3.13), installs it into that interpreter's own
# .venv-3.X in the checkout, and runs the Python suite against the install
# (at the profile VOSTRAL_TEST_PROFILE names, quick by default).
#
# VOSTRAL_EXTRA_PYTHONS, when set, lists the interpreters to use instead
# (paths or command names, separated by spaces); otherwise the newest
# 3.11.x, 3.12.x and 3.13.x that pyenv holds are used, and a version that is
# absent is skipped with a message. Every interpreter is tried; the script
# fails at the end if any of them failed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

EXTRA_MINORS=(11 12 13)

# One interpreter path a line.
extra_pythons() {
  local candidate
  if [[ -n "${VOSTRAL_EXTRA_PYTHONS:-}" ]]; then
    for candidate in $VOSTRAL_EXTRA_PYTHONS; do
      if command -v "$candidate" >/dev/null 2>&1; then
        command -v "$candidate"
      else
        echo "error: VOSTRAL_EXTRA_PYTHONS names $candidate, which is no interpreter" >&2
        return 1
      fi
    done
    return
  fi
  local minor
  for minor in "${EXTRA_MINORS[@]}"; do
    candidate=$(pyenv_python "$minor")
    if [[ -n "$candidate" ]]; then
      echo "$candidate"
    else
      echo "note: no CPython 3.$minor under $(pyenv_root)/versions; skipping it" >&2
    fi
  done
}

# Builds, installs and tests against one interpreter.
test_one() {
  local python="$1" version venv
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$ROOT/.venv-$version"
  ensure_venv "$ROOT/requirements-test.txt" "$venv" "$python"
  say "building and installing vostral into $(basename "$venv") (warnings are errors)"
  "$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -C cmake.define.VOSTRAL_WERROR=ON "$ROOT"
  say "pytest against the module installed for CPython $version"
  (cd "$ROOT" && "$venv/bin/python" -m pytest tests/python -p no:cacheprovider -q)
}

ensure_debs g++

# Assigned first, so that a bad VOSTRAL_EXTRA_PYTHONS stops the script.
found=$(extra_pythons)
pythons=()
[[ -n "$found" ]] && mapfile -t pythons <<<"$found"
if ((${#pythons[@]} == 0)); then
  say "no other CPython found: nothing to test"
  exit 0
fi

results=()
failed=0
for python in "${pythons[@]}"; do
  started=$SECONDS
  # A subshell of its own, outside any condition, so that -e still stops it
  # at its first failing step while the other interpreters go on.
  set +e
  (set -e; test_one "$python")
  status=$?
  set -e
  if ((status == 0)); then
    outcome=passed
  else
    outcome=FAILED
    failed=1
  fi
  results+=("$("$python" -c 'import sys; print(sys.version.split()[0])'): $outcome in $((SECONDS - started)) s ($python)")
done

say "results"
printf '  %s\n' "${results[@]}"
exit "$failed"
