#!/usr/bin/env bash
# musl: the core, the runtime and the C++ tests as static programs on musl,
# built with zig's Clang and libc++ (cmake/toolchains/zig-linux.cmake,
# release builds, warnings as errors) for x86_64-linux-musl, run here, and for
# aarch64-linux-musl, run under qemu-aarch64 (no root or binfmt_misc needed:
# the programs are static). Then the vector kernels' Advanced SIMD form, read
# back: the aarch64 program's play_batch and upper_ascii_prefix hold the
# instructions only the vector passes use, play_batch_portable none of them,
# and the kernels' two sources compiled for aarch64 Windows and macOS hold
# them too (nothing built there runs here), and lose them with
# VOSTRAL_SCALAR_KERNELS. zig lives in /var/tmp/vostral-musl
# (VOSTRAL_MUSL_CACHE), where its cache of the C and C++ runtimes it builds
# for each target survives fresh clones.
#
# Run by nox (`.venv/bin/nox -s musl`), in an environment with locks/dev.lock.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CACHE="${VOSTRAL_MUSL_CACHE:-/var/tmp/vostral-musl}"
TOOLCHAIN="$ROOT/cmake/toolchains/zig-linux.cmake"
OBJDUMP=llvm-objdump-14

trap report_failure EXIT

step "installing GoogleTest's sources, the emulator and a disassembler for aarch64"
ensure_debs googletest qemu-user-static llvm-14
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
# mnemonics FILE REGEX: the distinct mnemonics of the functions whose
# demangled names match REGEX. (Mach-O listings write the lanes on the
# mnemonic, sqadd.8h: they are dropped.)
mnemonics() {
  "$OBJDUMP" -d -C --no-show-raw-insn "$1" |
    awk -v re="$2" '/^[0-9a-f]+ <.*>:$/ { inside = ($0 ~ re); next }
      inside && NF >= 2 { op = $2; sub(/\.[0-9]+[bhsdq]$/, "", op); print op }' | sort -u
}
# expect FILE REGEX has|lacks MNEMONIC...
expect() {
  local file=$1 functions=$2 how=$3 listing op
  shift 3
  listing=$(mnemonics "$file" "$functions")
  [[ -n $listing ]] || { echo "error: no function matching '$functions' in $file" >&2; return 1; }
  for op in "$@"; do
    if grep -qx "$op" <<<"$listing"; then
      [[ $how == has ]] || { echo "error: '$functions' in $(basename "$file") still holds $op" >&2; return 1; }
    else
      [[ $how == lacks ]] || { echo "error: '$functions' in $(basename "$file") holds no $op" >&2; return 1; }
    fi
  done
  echo "$(basename "$file"): '$functions' $how $*"
}
# The vector passes as the compiler may have placed them: inlined into
# play_batch, or in the instantiation for the vector passes.
BATCH='play_batch[(]|VectorPasses'
PORTABLE='play_batch_portable[(]|PortablePasses'
UPPER='upper_ascii_prefix[(]'
# The walk's saturating add and maximum, the multiply-add pairs, the running
# minimum's narrowing, shifts and lane minimum, the count's lane sum; the
# upper-casing's byte comparison and its high-bit test.
BATCH_OPS=(sqadd smax smull2 addp zip1 sqxtn2 ext sminv addv)
UPPER_OPS=(umaxv cmgt)

step "aarch64-linux-musl: Advanced SIMD in the kernels"
expect "$ROOT/build/musl-aarch64/tests/vostral_core_tests" "$BATCH" has "${BATCH_OPS[@]}"
expect "$ROOT/build/musl-aarch64/tests/vostral_core_tests" "$UPPER" has "${UPPER_OPS[@]}"
expect "$ROOT/build/musl-aarch64/tests/vostral_core_tests" "$PORTABLE" lacks sqadd smax sqxtn2 sminv

for target in aarch64-windows-gnu aarch64-macos.11.0; do
  step "$target: the kernels compiled, and Advanced SIMD in them"
  out="$ROOT/build/musl-objects-$target"
  mkdir -p "$out"
  for source in move_batch upper_case; do
    VOSTRAL_ZIG_TARGET=$target "$ROOT/cmake/toolchains/zig/c++" -std=c++20 -O2 -Werror -Wall -Wextra -I"$ROOT" \
      -c "$ROOT/core/$source.cpp" -o "$out/$source.o"
  done
  expect "$out/move_batch.o" "$BATCH" has "${BATCH_OPS[@]}"
  expect "$out/upper_case.o" "$UPPER" has "${UPPER_OPS[@]}"
  # And none of it when the build asks for the portable passes.
  VOSTRAL_ZIG_TARGET=$target "$ROOT/cmake/toolchains/zig/c++" -std=c++20 -O2 -Werror -Wall -Wextra -I"$ROOT" \
    -DVOSTRAL_SCALAR_KERNELS -c "$ROOT/core/move_batch.cpp" -o "$out/move_batch_scalar.o"
  expect "$out/move_batch_scalar.o" "$BATCH" lacks sqadd smax smull2 sqxtn2 sminv
done
say "musl: all passed"
