#!/usr/bin/env bash
# The Windows stage, on this Linux machine: cross-builds the core, the runtime
# and the C++ tests for 64-bit Windows with MinGW-w64's GCC, runs the tests
# under Wine, and builds the extension module (.pyd) against CPython 3.11's
# own Windows headers, then checks what the module exports and imports.
#
# Everything comes from Debian: the cross compiler, Wine, GoogleTest's
# sources, and the headers from the python3.11 source package (fetched once
# through a temporary deb-src entry). The Python sources and the Wine prefix
# are kept under build/ so that a second run is quick.
#
#   bash scripts/windows.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

TRIPLE=x86_64-w64-mingw32
BUILD="$ROOT/build/windows"
PYTHON_SOURCES="$ROOT/build/windows-python"
export WINEPREFIX="$BUILD/wine-prefix" WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

# The interpreter the module is built for. A stable-ABI variant would use
# python3.dll, Py_LIMITED_API=0x030A0000 and the suffix .pyd.
PY_SOURCE_PACKAGE=python3.11
PY_DLL=python311.dll
PY_LIMITED_API=
PY_SUFFIX=.cp311-win_amd64.pyd

ensure_debs "g++-mingw-w64-x86-64-posix" "binutils-mingw-w64-x86-64" wine64 googletest dpkg-dev
ensure_venv "$ROOT/requirements-build.txt"
cd "$ROOT"

# Unpacks Debian's $PY_SOURCE_PACKAGE into $PYTHON_SOURCES, once. The deb-src
# entry and the package lists it brings live in a scratch directory, so the
# system's apt configuration is never touched.
fetch_python_sources() {
  if compgen -G "$PYTHON_SOURCES/$PY_SOURCE_PACKAGE-*/PC/pyconfig.h" >/dev/null; then
    return
  fi
  say "fetching the $PY_SOURCE_PACKAGE source package for its Windows headers (into $PYTHON_SOURCES)"
  local scratch uri suite
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' RETURN
  # The mirror and release this machine already uses.
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  suite=$(awk '/^Suites:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  if [[ -z "$uri" || -z "$suite" ]]; then
    read -r uri suite < <(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i, $(i + 1); exit } }' \
      /etc/apt/sources.list 2>/dev/null || true)
  fi
  [[ -n "$uri" && -n "$suite" ]] || { echo "error: no Debian mirror found in the apt configuration" >&2; return 1; }
  echo "deb-src $uri $suite main" >"$scratch/sources.list"
  mkdir -p "$scratch/lists/partial" "$PYTHON_SOURCES"
  local apt_options=(-o "Dir::Etc::SourceList=$scratch/sources.list" -o "Dir::Etc::SourceParts=-"
    -o "Dir::State::Lists=$scratch/lists" -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
  echo "temporary source entry: deb-src $uri $suite main"
  apt-get "${apt_options[@]}" update -qq
  (cd "$PYTHON_SOURCES" && apt-get "${apt_options[@]}" source -qq "$PY_SOURCE_PACKAGE" >/dev/null)
  rm -f "$PYTHON_SOURCES"/*.tar.* "$PYTHON_SOURCES"/*.dsc
}

# A Wine prefix of our own, made on first use (which takes a while), and a
# server kept running for the whole stage so that each test starts quickly.
start_wine() {
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    say "creating the Wine prefix $WINEPREFIX (first time only)"
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot --init >/dev/null 2>&1 || true
    "$WINESERVER" -w
  fi
  "$WINESERVER" -p
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  # Wine's own background processes start with the first program and stay
  # with the server: started here, they do not hold a test's output open.
  "$WINE" cmd /c exit >/dev/null 2>&1 || true
}

fetch_python_sources
python_headers=$(echo "$PYTHON_SOURCES"/"$PY_SOURCE_PACKAGE"-*)
start_wine

say "build: core, runtime, C++ tests and the module for $TRIPLE (build/windows)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -Wno-dev -Wno-deprecated \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Debug -DVOSTRAL_WERROR=ON -DVOSTRAL_BUILD_TESTS=ON \
  -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DPython_EXECUTABLE="$VENV/bin/python" \
  -DVOSTRAL_PYTHON_DLL="$PY_DLL" \
  -DVOSTRAL_PYTHON_INCLUDE_DIRS="$python_headers/Include;$python_headers/PC" \
  -DVOSTRAL_PYTHON_LIMITED_API="$PY_LIMITED_API" \
  -DVOSTRAL_PYTHON_MODULE_SUFFIX="$PY_SUFFIX" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="env;WINEPREFIX=$WINEPREFIX;WINEDEBUG=-all;$WINE" \
  -DVOSTRAL_TEST_HOST_ROOT=Z: >/dev/null
cmake --build "$BUILD" --parallel 2

say "C++ tests under Wine"
ctest --test-dir "$BUILD" --parallel 2 --output-on-failure

say "the module: what it exports and imports"
module=$(echo "$BUILD"/vostral"$PY_SUFFIX")
[[ -f "$module" ]] || { echo "error: no module at $module" >&2; exit 1; }
OBJDUMP=$TRIPLE-objdump
exports=$("$OBJDUMP" -p "$module" | awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { table = 0 } table { print $NF }')
imports=$("$OBJDUMP" -p "$module" | awk '/DLL Name:/ { print $3 }' | sort -u)
echo "exports: $(echo $exports)"
echo "imports: $(echo $imports)"
failed=0
[[ "$exports" == PyInit_vostral ]] || { echo "error: the module must export PyInit_vostral and nothing else" >&2; failed=1; }
# The interpreter, and system DLLs that every Windows has; no MinGW runtime.
system_dll='^(KERNEL32|ADVAPI32|bcrypt|ntdll|msvcrt|USER32|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r dll; do
  if [[ "$dll" != "$PY_DLL" ]] && ! [[ "$dll" =~ $system_dll ]]; then
    echo "error: the module imports $dll" >&2
    failed=1
  fi
done <<<"$imports"
grep -qx "$PY_DLL" <<<"$imports" || { echo "error: the module does not import $PY_DLL" >&2; failed=1; }
for program in "$BUILD"/tests/*.exe; do
  if "$OBJDUMP" -p "$program" | awk '/DLL Name:/ { print $3 }' | grep -qiE '^lib(stdc\+\+|gcc|winpthread)'; then
    echo "error: $(basename "$program") needs a MinGW DLL" >&2
    failed=1
  fi
done
((failed == 0)) || exit 1
say "windows: all passed"
