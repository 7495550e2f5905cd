#!/usr/bin/env bash
# macOS as near as this Linux machine gets:
#   1. libc++ at run time: the module built with zig's Clang and its libc++
#      (the same source family as Apple's) for x86_64 Linux, its C++ tests
#      run, and the Python suite (quick profile) against it;
#   2. Mach-O at build time: core, runtime, the module and the C++ tests built
#      for x86_64-macos.10.15 and aarch64-macos.11.0 against the macOS headers
#      zig carries, warnings as errors, and each product read back: its
#      architecture, minimum macOS, the module's PyInit_vostral and its Py*
#      names left to dynamic lookup. Nothing built there can run here.
# The module's Python headers are the session interpreter's own, with a
# pyconfig.h for macOS (cmake/macos/pyconfig.h) in place of Linux's. zig and
# the headers live in /var/tmp/vostral-macos (VOSTRAL_MACOS_CACHE).
#
# Run by nox (`.venv/bin/nox -s macos`), in an environment with locks/dev.lock.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

CACHE="${VOSTRAL_MACOS_CACHE:-/var/tmp/vostral-macos}"
WRAPPERS="$ROOT/cmake/toolchains/zig"
OBJDUMP=llvm-objdump-14
NM=llvm-nm-14

trap report_failure EXIT

ensure_debs googletest llvm-14
PY=$(session_python)
step "fetching zig (locks/zig.lock) into $CACHE/zig-venv"
mkdir -p "$CACHE"
ensure_zig "$CACHE/zig-venv"
cd "$ROOT"

step "libc++: the module and the C++ tests with zig's Clang for x86_64 Linux (build/macos-libcxx)"
BUILD="$ROOT/build/macos-libcxx"
VOSTRAL_ZIG_TARGET=x86_64-linux-gnu cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-deprecated \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$WRAPPERS/c++" \
  -DCMAKE_AR="$WRAPPERS/ar" -DCMAKE_RANLIB="$WRAPPERS/ranlib" \
  -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_TESTS=ON -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DPython_EXECUTABLE="$PY" >/dev/null
VOSTRAL_ZIG_TARGET=x86_64-linux-gnu cmake --build "$BUILD" --parallel 2
module=$(ls "$BUILD"/vostral.cpython-*.so)
step "libc++: the module links libc++, not libstdc++"
if readelf -d "$module" | grep -q 'NEEDED.*libstdc++'; then
  echo "error: $module needs libstdc++" >&2
  exit 1
fi
# Counted, not grep -q: an early exit would fail the pipe under pipefail.
(($(nm -C "$module" | grep -c 'std::__1::') > 0)) || { echo "error: no libc++ (std::__1) code in $module" >&2; exit 1; }
echo "$(basename "$module"): libc++ linked in; needs $(readelf -d "$module" | awk '/NEEDED/ { print $5 }' | tr -d '[]' | xargs)"
step "libc++: C++ tests"
ctest --test-dir "$BUILD" --exclude-regex '^pytest$' --parallel 2 --output-on-failure
step "libc++: the Python suite against the module"
VOSTRAL_TEST_PROFILE=quick PYTHONPATH="$BUILD" "$PY" -m pytest tests/python -p no:cacheprovider -q

step "Mach-O: CPython's headers with a pyconfig.h for macOS ($CACHE/python-headers)"
include=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
headers="$CACHE/python-headers/$(basename "$include")"
rm -rf "$headers"
mkdir -p "$(dirname "$headers")"
cp -r "$include" "$headers"
cp "$ROOT/cmake/macos/pyconfig.h" "$headers/pyconfig.h"

# check_macho FILE ARCH MINOS: the architecture and the minimum macOS of FILE.
check_macho() {
  local file=$1 arch=$2 minos=$3 headers_text
  headers_text=$("$OBJDUMP" --macho --private-headers "$file")
  grep -q "$arch" <<<"$headers_text" ||
    { echo "error: $file is not $arch" >&2; return 1; }
  awk '/cmd LC_BUILD_VERSION/ { found = 1 } found && $1 == "minos" { print $2; exit }' <<<"$headers_text" |
    grep -qx "$minos" || { echo "error: $file does not name macOS $minos as its minimum" >&2; return 1; }
  echo "$(basename "$file"): $arch, minos $minos"
}

for target in x86_64-macos.10.15 aarch64-macos.11.0; do
  export VOSTRAL_ZIG_TARGET=$target
  arch=${target%%-*}
  [[ $arch == aarch64 ]] && arch=ARM64 || arch=X86_64
  minos=${target#*-macos.}
  BUILD="$ROOT/build/macos-$target"
  step "Mach-O $target: core, runtime, module and C++ tests (build/macos-$target)"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-deprecated \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/zig-macos.cmake" -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS=-include $ROOT/cmake/macos/zig_header_gaps.h" \
    -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_TESTS=ON -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DPython_EXECUTABLE="$PY" -DPython_INCLUDE_DIR="$headers" >/dev/null
  cmake --build "$BUILD" --parallel 2
  step "Mach-O $target: the products"
  check_macho "$BUILD/tests/vostral_core_tests" "$arch" "$minos"
  check_macho "$BUILD/vostral.so" "$arch" "$minos"
  (($("$NM" --extern-only --defined-only "$BUILD/vostral.so" | grep -c ' T _PyInit_vostral$') == 1)) ||
    { echo "error: the module does not export PyInit_vostral" >&2; exit 1; }
  undefined=$("$NM" --undefined-only "$BUILD/vostral.so" | awk '{ print $NF }' | grep -c '^_Py' || true)
  (($("$OBJDUMP" --macho --dylibs-used "$BUILD/vostral.so" | grep -ci python) == 0)) ||
    { echo "error: the module links a libpython" >&2; exit 1; }
  echo "vostral.so: exports PyInit_vostral; $undefined Py* names left to dynamic lookup, no libpython"
done
say "macos: all passed"
