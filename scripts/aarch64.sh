#!/usr/bin/env bash
# 64-bit ARM Linux on this x86-64 machine, under qemu-user:
#   1. a minimal Debian arm64 root of this machine's release, made with
#      debootstrap and run through binfmt_misc (kept in
#      /var/tmp/vostral-aarch64-root, VOSTRAL_AARCH64_ROOT; made again when
#      missing, incomplete or when its package list changes): Debian's CPython
#      with its headers, and the clock faker for the suite's clock tests;
#   2. core, runtime, the module and the C++ tests cross-built here
#      (build/aarch64, release build, warnings as errors) with Debian's cross
#      GCC, the compiler and C++ runtime that release builds arm64 with,
#      against the root's CPython (the root's own GCC, under emulation,
#      compiles each file about ten times slower);
#   3. the C++ tests run under qemu-aarch64, and the Python suite (quick
#      profile) run by the root's CPython, in the root, against that module.
# The stage installs and registers the emulator itself; it needs root rights,
# binfmt_misc and the Debian mirror, and a failure names the step that failed.
#
# Run by nox (`.venv/bin/nox -s aarch64`), in an environment with locks/dev.lock.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

STAGE_NAME=aarch64
ARM_ROOT=${VOSTRAL_AARCH64_ROOT:-/var/tmp/vostral-aarch64-root}
BUILD="$ROOT/build/aarch64"
# The root's packages: the interpreter and its headers, the clock faker.
ROOT_PACKAGES=(python3 python3-dev faketime)
on_exit() {
  report_failure
  unmount_root "$ARM_ROOT"
}
trap on_exit EXIT

step "checking for root rights"
[[ $(id -u) -eq 0 ]] || die "making and entering an arm64 root needs root rights"
step "installing the emulator, debootstrap and the cross compiler"
ensure_debs qemu-user-static binfmt-support debootstrap g++-aarch64-linux-gnu googletest ccache
PY=$(session_python)

step "registering qemu-aarch64 with binfmt_misc"
if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
    die "binfmt_misc cannot be mounted here (a container without it?): arm64 programs cannot run"
fi
if ! grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64; then
  update-binfmts --enable qemu-aarch64 || die "update-binfmts could not enable qemu-aarch64"
fi
# F: the kernel opens the emulator when it is registered, so programs in a
# root that holds no emulator of its own still start.
grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 && grep -q '^flags:.*F' /proc/sys/fs/binfmt_misc/qemu-aarch64 ||
  die "qemu-aarch64 is not registered with binfmt_misc with the fix-binary flag"

read -r mirror suite < <(debian_mirror)
wanted="$suite ${ROOT_PACKAGES[*]}"
if [[ ! -f "$ARM_ROOT/.vostral-packages" || "$(cat "$ARM_ROOT/.vostral-packages")" != "$wanted" ]]; then
  step "making a Debian $suite arm64 root in $ARM_ROOT with: ${ROOT_PACKAGES[*]} (a few minutes)"
  unmount_root "$ARM_ROOT"  # left by a run that was killed
  rm -rf --one-file-system "$ARM_ROOT"
  mkdir -p "$ROOT/build"
  if ! debootstrap --arch=arm64 --variant=minbase --include="$(IFS=,; echo "${ROOT_PACKAGES[*]}")" \
      "$suite" "$ARM_ROOT" "$mirror" >"$ROOT/build/debootstrap-aarch64.log" 2>&1; then
    tail -20 "$ROOT/build/debootstrap-aarch64.log"
    rm -rf --one-file-system "$ARM_ROOT"
    die "debootstrap could not make the arm64 root from $mirror (log above)"
  fi
  echo "$wanted" >"$ARM_ROOT/.vostral-packages"
fi

step "mounting /proc and /dev/pts in the root"
mount_root "$ARM_ROOT"

step "running the root's CPython under emulation"
python=$(cd "$ARM_ROOT/usr/bin" && ls python3.[0-9]* | grep -E '^python3\.[0-9]+$' | sort -V | tail -1)
version=${python#python}
machine=$(chroot "$ARM_ROOT" "/usr/bin/$python" -c 'import platform; print(platform.machine())')
[[ "$machine" == aarch64 ]] || die "the root's $python says it runs on '$machine', not aarch64"

step "cross-building core, runtime, module and C++ tests for aarch64 (build/aarch64)"
# The headers as the target includes them: Debian's pyconfig.h only picks the
# machine's own from the multiarch directory.
headers="$BUILD-python/$python"
rm -rf "$headers"
mkdir -p "$BUILD-python"
cp -r "$ARM_ROOT/usr/include/$python" "$headers"
cp "$ARM_ROOT/usr/include/aarch64-linux-gnu/$python/pyconfig.h" "$headers/pyconfig.h"
# CMP0190: the target's interpreter, run under the emulator, tells the module's
# suffix; the host's would name x86-64. Where CMake runs it as a host program
# (the tests' directory asks for an interpreter alone), binfmt_misc starts the
# emulator, which finds the root's loader and libraries by QEMU_LD_PREFIX.
emulator="qemu-aarch64-static;-L;$ARM_ROOT"
export QEMU_LD_PREFIX=$ARM_ROOT
cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-dev -Wno-deprecated \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
  -DCMAKE_BUILD_TYPE=Release -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_TESTS=ON \
  -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
  -DPython_EXECUTABLE="$ARM_ROOT/usr/bin/$python" -DPython_INCLUDE_DIR="$headers" >/dev/null
cmake --build "$BUILD" --parallel 2
module=$(ls "$BUILD"/vostral.cpython-*-aarch64-linux-gnu.so)

step "C++ tests under qemu-aarch64"
ctest --test-dir "$BUILD" --parallel 2 --output-on-failure

step "the Python suite's tools for the root's CPython $version"
# The checkout's tests and examples, the module, and the suite's tools (pure
# Python, or built for arm64).
rm -rf --one-file-system "$ARM_ROOT/src" "$ARM_ROOT/opt/vostral/module"
mkdir -p "$ARM_ROOT/src" "$ARM_ROOT/opt/vostral/module"
cp -r "$ROOT/pyproject.toml" "$ROOT/tests" "$ROOT/examples" "$ARM_ROOT/src/"
cp "$module" "$ARM_ROOT/opt/vostral/module/"
# The suite's tools as pyproject.toml pins them, installed again when it changes.
tools=(--group "$ROOT/pyproject.toml:test" --group "$ROOT/pyproject.toml:examples")
if ! cmp -s "$ROOT/pyproject.toml" "$ARM_ROOT/opt/vostral/tools/.pyproject.toml"; then
  rm -rf "$ARM_ROOT/opt/vostral/tools"
  "$PY" -m pip install -q --target "$ARM_ROOT/opt/vostral/tools" --python-version "$version" \
    --platform manylinux2014_aarch64 --only-binary=:all: "${tools[@]}"
  cp "$ROOT/pyproject.toml" "$ARM_ROOT/opt/vostral/tools/.pyproject.toml"
fi

step "the Python suite (quick profile) in the root, by its CPython $version under emulation"
chroot "$ARM_ROOT" env -i PATH=/usr/bin:/bin HOME=/tmp VOSTRAL_TEST_PROFILE=quick \
  PYTHONPATH=/opt/vostral/module:/opt/vostral/tools \
  sh -c "cd /src && $python -c 'import vostral; print(vostral.__file__)' &&
         $python -m pytest tests/python -p no:cacheprovider -q"
say "aarch64: all passed"
