#!/usr/bin/env bash
# The wheels, as far as this machine can check them:
#   1. one stable-ABI wheel (cp310-abi3), built once with CPython 3.10 and
#      warnings as errors, installed into every CPython from 3.10 to 3.13 that
#      pyenv holds, each running the Python suite against it (CPython 3.14
#      and 3.15 take the same wheel in scripts/unstable.sh);
#   2. auditwheel's verdict on that wheel (the platform tag a wheel built
#      here can claim);
#   3. the build identifiers the hosted CI gets from pyproject.toml.
# The wheels users install are built by the hosted CI
# (.github/workflows/wheels.yml); macOS and Windows wheels are built and
# tested only there.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_debs g++
ensure_venv "$ROOT/requirements-test.txt"
cd "$ROOT"

OUT="$ROOT/build/wheels"
rm -rf "$OUT"
mkdir -p "$OUT"
wheel=$(build_stable_abi_wheel "$OUT")

failed=()
for minor in 10 11 12 13; do
  python=$(pyenv_python "$minor")
  if [[ -z "$python" ]]; then
    echo "note: no CPython 3.$minor under $(pyenv_root)/versions; skipping it"
    continue
  fi
  venv="$ROOT/.venv-3.$minor"
  # .venv serves when it was made with this version.
  [[ "$("$VENV/bin/python" -c 'import sys; print(sys.version_info[1])')" == "$minor" ]] && venv="$VENV"
  ensure_venv "$ROOT/requirements-test.txt" "$venv" "$python"
  say "the stable-ABI wheel on CPython 3.$minor"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  # The module that answers must be the wheel's one binary.
  (cd /tmp && "$venv/bin/python" -c 'import vostral, sys; assert vostral.__file__.endswith(".abi3.so"), vostral.__file__; print(vostral.__file__)')
  "$venv/bin/python" -m pytest tests/python -p no:cacheprovider -q || failed+=("3.$minor")
done

WHEELS_VENV="$ROOT/.venv-wheels"
ensure_venv "$ROOT/requirements-wheels.txt" "$WHEELS_VENV" "$(pyenv_python 12)"
say "auditwheel on the stable-ABI wheel"
"$WHEELS_VENV/bin/auditwheel" show "$wheel"
say "the hosted CI's build identifiers"
# Not the suites' conftest: this check needs neither the module nor its test tools.
"$WHEELS_VENV/bin/python" -m pytest tests/packaging --noconftest -p no:cacheprovider -q || failed+=("build identifiers")

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
say "wheels: all passed"
