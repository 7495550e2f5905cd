#!/usr/bin/env bash
# musl: the core, the runtime and the C++ tests as static programs on musl,
# built with zig's Clang and libc++ (cmake/toolchains/zig-linux.cmake,
# release builds, warnings as errors) for x86_64-linux-musl, run here, and for
# aarch64-linux-musl, run under qemu-aarch64 (no root or binfmt_misc needed:
# the programs are static). zig lives in /var/tmp/vostral-musl
# (VOSTRAL_MUSL_CACHE), where its cache of the C and C++ runtimes it builds
# for each target survives fresh clones.
#
# Run by nox (`.venv/bin/nox -s musl`), in an environment with locks/dev.lock.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CACHE="${VOSTRAL_MUSL_CACHE:-/var/tmp/vostral-musl}"
TOOLCHAIN="$ROOT/cmake/toolchains/zig-linux.cmake"

trap report_failure EXIT

step "installing GoogleTest's sources and the emulator"
ensure_debs googletest qemu-user-static
PY=$(session_python)
step "fetching zig (locks/zig.lock) into $CACHE/zig-venv"
mkdir -p "$CACHE"
ensure_zig "$CACHE/zig-venv"

for target in x86_64-linux-musl aarch64-linux-musl; do
  export VOSTRAL_ZIG_TARGET=$target
  BUILD="$ROOT/build/musl-${target%%-*}"
  emulator=()
  [[ $target == aarch64-* ]] && emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64-static)
  step "$target: core, runtime and C++ tests (build/musl-${target%%-*}; zig builds its runtimes the first time)"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-dev -Wno-deprecated \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_MODULE=OFF -DVOSTRAL_BUILD_TESTS=ON \
    -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest -DPython_EXECUTABLE="$PY" "${emulator[@]}" >/dev/null
  cmake --build "$BUILD" --parallel 2
  step "$target: the program is static"
  # Counted, not grep -q: an early exit would fail the pipe under pipefail.
  (($(readelf -l "$BUILD/tests/vostral_core_tests" | grep -c 'INTERP') == 0)) &&
    (($(readelf -d "$BUILD/tests/vostral_core_tests" | grep -c 'NEEDED') == 0)) ||
    { echo "error: $BUILD/tests/vostral_core_tests is not a static program" >&2; exit 1; }
  step "$target: C++ tests${emulator:+ under qemu-aarch64}"
  ctest --test-dir "$BUILD" --parallel 2 --output-on-failure
done
say "musl: all passed"
