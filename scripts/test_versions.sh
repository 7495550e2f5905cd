#!/usr/bin/env bash
# Builds the module with warnings as errors against each other CPython it
# supports (3.11, 3.12, 3.13), installs it into that interpreter's own
# .venv-3.X in the checkout, and runs the Python suite against the install.
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
  local root minor
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
  else
    root="${PYENV_ROOT:-$HOME/.pyenv}"
  fi
  for minor in "${EXTRA_MINORS[@]}"; do
    # Plain releases only: a free-threaded build (3.13.0t) is another ABI.
    candidate=$(ls -d "$root"/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null \
      | grep -E "/versions/3\.$minor\.[0-9]+/bin/" | sort -V -r | head -n 1 || true)
    if [[ -n "$candidate" && -x "$candidate" ]]; then
      echo "$candidate"
    else
      echo "note: no CPython 3.$minor under $root/versions; skipping it" >&2
    fi
  done
}

# .venv-X.Y made by $1, rebuilt when another interpreter made it, with the
# development requirements installed (reinstalled when they changed).
ensure_version_venv() {
  local python="$1" venv="$2" want have
  want=$("$python" -c 'import sys; print(sys.version.split()[0])')
  if [[ -x "$venv/bin/python" ]]; then
    have=$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || true)
    [[ "$have" == "$want" ]] || rm -rf "$venv"
  fi
  if [[ ! -x "$venv/bin/python" ]]; then
    say "creating $venv with $python"
    "$python" -m venv "$venv"
  fi
  # The stamp holds both files: the dev list includes the build list.
  local stamp="$venv/.installed-requirements" wanted
  wanted=$(cat "$ROOT/requirements-dev.txt" "$ROOT/requirements-build.txt")
  if [[ ! -f "$stamp" ]] || [[ "$(cat "$stamp")" != "$wanted" ]]; then
    say "installing requirements-dev.txt into $(basename "$venv")"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
    printf '%s\n' "$wanted" >"$stamp"
  fi
}

# Builds, installs and tests against one interpreter.
test_one() {
  local python="$1" version venv
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$ROOT/.venv-$version"
  ensure_version_venv "$python" "$venv"
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
