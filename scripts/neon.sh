#!/usr/bin/env bash
# The vector kernels' Advanced SIMD form, checked on this x86 machine:
#   1. core, runtime and the C++ tests built for aarch64-linux-musl with zig's
#      Clang, linked statically (build/neon-musl), and run under qemu's
#      user-mode emulator, which needs no system root of the target's;
#   2. the kernels read back from that program: play_batch and
#      upper_ascii_prefix hold the Advanced SIMD instructions that only the
#      vector passes use, and play_batch_portable holds none of them;
#   3. the kernels' two sources compiled for aarch64 Windows and macOS, where
#      the same instructions must appear, and gone with VOSTRAL_SCALAR_KERNELS
#      (nothing built there can run here).
# zig lives in /var/tmp/vostral-neon (VOSTRAL_NEON_CACHE).
#
# Run by nox (`.venv/bin/nox -s neon`), in an environment with locks/dev.lock.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CACHE="${VOSTRAL_NEON_CACHE:-/var/tmp/vostral-neon}"
OBJDUMP=llvm-objdump-14
NM=llvm-nm-14
BUILD="$ROOT/build/neon-musl"

trap report_failure EXIT

ensure_debs googletest qemu-user-static llvm-14
PY=$(session_python)
step "fetching zig (locks/zig.lock) into $CACHE/zig-venv"
mkdir -p "$CACHE"
ensure_zig "$CACHE/zig-venv"
cd "$ROOT"

step "aarch64-linux-musl: core, runtime and C++ tests, static ($BUILD)"
export VOSTRAL_ZIG_TARGET=aarch64-linux-musl
cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-deprecated \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/zig-linux.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64-static \
  -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_MODULE=OFF -DVOSTRAL_BUILD_TESTS=ON -DVOSTRAL_BUILD_BENCHMARKS=ON \
  -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD" --parallel 2
tests="$BUILD/tests/vostral_core_tests"
file "$tests" | grep -q 'ARM aarch64.*statically linked' || { echo "error: $tests is not a static aarch64 program" >&2; exit 1; }

step "aarch64-linux-musl: C++ tests under qemu-aarch64-static"
ctest --test-dir "$BUILD" --parallel 2 --output-on-failure

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
expect "$tests" "$BATCH" has "${BATCH_OPS[@]}"
expect "$tests" "$UPPER" has "${UPPER_OPS[@]}"
expect "$tests" "$PORTABLE" lacks sqadd smax sqxtn2 sminv

for target in aarch64-windows-gnu aarch64-macos.11.0; do
  step "$target: the kernels compiled, and Advanced SIMD in them"
  out="$CACHE/objects-$target"
  mkdir -p "$out"
  for source in move_batch upper_case; do
    VOSTRAL_ZIG_TARGET=$target "$ROOT/cmake/toolchains/zig/c++" -std=c++20 -O2 -Werror -Wall -Wextra -I"$ROOT" \
      -c "core/$source.cpp" -o "$out/$source.o"
  done
  expect "$out/move_batch.o" "$BATCH" has "${BATCH_OPS[@]}"
  expect "$out/upper_case.o" "$UPPER" has "${UPPER_OPS[@]}"
  # And none of it when the build asks for the portable passes.
  VOSTRAL_ZIG_TARGET=$target "$ROOT/cmake/toolchains/zig/c++" -std=c++20 -O2 -Werror -Wall -Wextra -I"$ROOT" \
    -DVOSTRAL_SCALAR_KERNELS -c core/move_batch.cpp -o "$out/move_batch_scalar.o"
  expect "$out/move_batch_scalar.o" "$BATCH" lacks sqadd smax smull2 sqxtn2 sminv
done
say "neon: all passed"
