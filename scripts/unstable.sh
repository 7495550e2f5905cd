#!/usr/bin/env bash
# CPython 3.14 and 3.15, which this machine has only in Debian's unstable
# distribution: a minimal root made with debootstrap (kept in
# /var/tmp/vostral-unstable-root, made again when missing or incomplete). In
# it, for each version, the Python suite runs against
#   1. the module built there for that version, with the release preset,
#      warnings as errors and that distribution's GCC;
#   2. the stable-ABI wheel (cp310-abi3) built on this machine for 3.10: the
#      one given as the argument, else the wheels stage's, else a new one;
# and against the wheel for the stable ABI of both builds, with and without
# the GIL (cp315-abi3.abi3t), built in the root with its CPython 3.15 and
# copied to build/wheels.
# Making and entering the root needs root rights and the Debian mirror; when
# either is missing the script fails, naming the versions left untested.
#
# Run by nox (`.venv/bin/nox -s unstable`), in an environment with
# locks/dev.lock:
#   nox -s unstable [-- vostral-...-cp310-abi3-linux_x86_64.whl]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

UNSTABLE_ROOT=/var/tmp/vostral-unstable-root
VERSIONS=(3.14 3.15)
# What the root needs besides the interpreters: the build, and the clock
# faker for the suite's clock tests.
BUILD_PACKAGES=(g++ cmake ninja-build faketime)

if [[ $(id -u) -ne 0 ]]; then
  echo "FAILED: making and entering a root of Debian unstable needs root rights; CPython ${VERSIONS[*]} not tested"
  exit 1
fi
ensure_debs debootstrap g++
PY=$(session_python)
if [[ -n "${1:-}" ]]; then
  WHEEL=$(realpath "$1")
elif ls "$ROOT"/build/wheels/vostral-*-cp310-abi3-*.whl >/dev/null 2>&1; then
  WHEEL=$(ls "$ROOT"/build/wheels/vostral-*-cp310-abi3-*.whl | head -1)
else
  say "building the stable-ABI wheel with $("$PY" -c 'import sys; print(sys.version.split()[0])')"
  "$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$ROOT/build/wheels" \
    -C wheel.py-api=cp310 -C cmake.define.VOSTRAL_WERROR=ON "$ROOT"
  WHEEL=$(ls "$ROOT"/build/wheels/vostral-*-cp310-abi3-*.whl | head -1)
fi

packages=("${BUILD_PACKAGES[@]}")
for version in "${VERSIONS[@]}"; do packages+=("python$version" "python$version-dev"); done
if [[ ! -f "$UNSTABLE_ROOT/.vostral-packages" || "$(cat "$UNSTABLE_ROOT/.vostral-packages")" != "${packages[*]}" ]]; then
  read -r mirror _ < <(debian_mirror)
  say "making a root of Debian unstable in $UNSTABLE_ROOT with: ${packages[*]}"
  rm -rf --one-file-system "$UNSTABLE_ROOT"
  mkdir -p "$ROOT/build"
  # A root that cannot be made says nothing about the code: no mirror, no
  # network, or a distribution in flux.
  if ! debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" sid "$UNSTABLE_ROOT" "$mirror" \
      >"$ROOT/build/debootstrap.log" 2>&1; then
    tail -20 "$ROOT/build/debootstrap.log"
    rm -rf --one-file-system "$UNSTABLE_ROOT"
    echo "FAILED: could not make a root of Debian unstable from $mirror (log above); CPython ${VERSIONS[*]} not tested"
    exit 1
  fi
  echo "${packages[*]}" >"$UNSTABLE_ROOT/.vostral-packages"
fi

trap 'unmount_root "$UNSTABLE_ROOT"' EXIT
mount_root "$UNSTABLE_ROOT"

# The checkout as git has it, the suite's tools for each version and the wheel.
rm -rf --one-file-system "$UNSTABLE_ROOT/src" "$UNSTABLE_ROOT/opt/vostral"
mkdir -p "$UNSTABLE_ROOT/src"
cp -r "$ROOT/CMakeLists.txt" "$ROOT/CMakePresets.json" "$ROOT/pyproject.toml" "$ROOT/README.md" "$ROOT/LICENSE" \
  "$ROOT/stubs" "$ROOT/cmake" "$ROOT/core" \
  "$ROOT/module" "$ROOT/runtime" "$ROOT/tests" "$ROOT/examples" "$UNSTABLE_ROOT/src/"
# The suite's tools as pyproject.toml pins them (the Windows-only package's marker is false here).
tools=(--group "$ROOT/pyproject.toml:test" --group "$ROOT/pyproject.toml:examples")

inside() {  # inside COMMAND...: runs a shell command in the root, from /src
  chroot "$UNSTABLE_ROOT" env -i PATH=/usr/bin:/bin HOME=/tmp VOSTRAL_TEST_PROFILE=quick sh -c "cd /src && $*"
}

failed=()
for version in "${VERSIONS[@]}"; do
  deps=/opt/vostral/tools-$version wheel=/opt/vostral/wheel-$version build=/opt/vostral/build-$version
  "$PY" -m pip install -q --target "$UNSTABLE_ROOT$deps" --python-version "$version" \
    --only-binary=:all: "${tools[@]}"
  "$PY" -m pip install -q --target "$UNSTABLE_ROOT$wheel" --python-version "$version" \
    --only-binary=:all: --no-deps "$WHEEL"

  say "CPython $version (Debian unstable): the stable-ABI wheel"
  inside "PYTHONPATH=$wheel:$deps python$version -c 'import vostral; assert vostral.__file__.endswith(\".abi3.so\")' &&
          PYTHONPATH=$wheel:$deps python$version -m pytest tests/python -p no:cacheprovider -q" ||
    failed+=("$version stable-ABI wheel")

  say "CPython $version (Debian unstable): the module built for it"
  inside "cmake --preset release -B $build -DVOSTRAL_BUILD_TESTS=OFF -DPython_EXECUTABLE=/usr/bin/python$version \
            >/dev/null && cmake --build $build --target vostral >/dev/null &&
          PYTHONPATH=$build:$deps python$version -c 'import vostral, sys; assert vostral.__file__.endswith(\"-linux-gnu.so\")' &&
          PYTHONPATH=$build:$deps python$version -m pytest tests/python -p no:cacheprovider -q" ||
    failed+=("$version build")
done

# The wheel for the stable ABI of both builds. scikit-build-core tags a wheel
# abi3.abi3t only when a free-threaded CPython runs the build (as the hosted
# CI does, and `nox -s abi3t`); this root's CPython has the GIL, so the build
# is asked for by name (VOSTRAL_ABI3T: both builds' headers hold the one ABI)
# and the wheel is given both tags. The build backend comes from the dev lock.
say "CPython 3.15 (Debian unstable): the wheel for the stable ABI of both builds (abi3.abi3t)"
backend=/opt/vostral/backend-3.15 abi3t_out=/opt/vostral/abi3t-wheel
# shellcheck disable=SC2046
"$PY" -m pip install -q --target "$UNSTABLE_ROOT$backend" --python-version 3.15 --only-binary=:all: --no-deps \
  $(grep -hoE '^(pip|scikit-build-core|packaging|pathspec)==[^ ;]+' "$ROOT/locks/dev.lock")
rm -rf --one-file-system "$UNSTABLE_ROOT$abi3t_out"
mkdir -p "$ROOT/build/wheels"
platform=linux_$(uname -m)
if inside "PYTHONPATH=$backend python3.15 -m pip wheel -q --no-build-isolation --no-deps -w $abi3t_out \
            -C wheel.py-api=cp315 -C cmake.define.VOSTRAL_ABI3T=ON -C cmake.define.VOSTRAL_WERROR=ON \
            -C build-dir=/opt/vostral/build-abi3t-wheel -C 'wheel.tags=cp315-abi3-$platform;cp315-abi3t-$platform' ." \
    >"$ROOT/build/abi3t-wheel.log" 2>&1; then
  ABI3T_WHEEL=$(ls "$UNSTABLE_ROOT$abi3t_out"/vostral-*-cp315-abi3.abi3t-"$platform".whl)
  cp "$ABI3T_WHEEL" "$ROOT/build/wheels/"
  say "built $(basename "$ABI3T_WHEEL")"
  deps=/opt/vostral/tools-3.15 wheel=/opt/vostral/wheel-abi3t
  rm -rf --one-file-system "$UNSTABLE_ROOT$wheel"
  "$PY" -m pip install -q --target "$UNSTABLE_ROOT$wheel" --python-version 3.15 \
    --only-binary=:all: --no-deps "$ABI3T_WHEEL"
  # The wheel's one binary is the module that answers.
  "$PY" -c 'import sys, zipfile
binaries = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.endswith((".so", ".pyd"))]
assert binaries == ["vostral.abi3t.so"], binaries' "$ABI3T_WHEEL" &&
    inside "PYTHONPATH=$wheel:$deps python3.15 -c 'import vostral; assert vostral.__file__ == \"$wheel/vostral.abi3t.so\", vostral.__file__' &&
            PYTHONPATH=$wheel:$deps python3.15 -m pytest tests/python -p no:cacheprovider -q" ||
    failed+=("3.15 abi3t wheel")
else
  tail -30 "$ROOT/build/abi3t-wheel.log"
  failed+=("3.15 abi3t wheel (not built; log above)")
fi

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
say "CPython ${VERSIONS[*]}, and the abi3.abi3t wheel on 3.15: all passed"
