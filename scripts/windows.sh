#!/usr/bin/env bash
# The Windows stage, on this Linux machine: cross-builds the core, the runtime
# and the C++ tests for 64-bit Windows with MinGW-w64's GCC, runs the tests
# under Wine, and builds the extension module against CPython 3.11's own
# Windows headers twice: for CPython 3.11 (.cp311-win_amd64.pyd, importing
# python311.dll) and for the stable ABI (.pyd, importing python3.dll), then
# checks what each module exports and imports.
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

# The headers the modules are built against.
PY_SOURCE_PACKAGE=python3.11

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
  read -r uri suite < <(debian_mirror)
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

# configure DIR DLL LIMITED_API SUFFIX [cmake options...]
configure() {
  local dir=$1 dll=$2 limited=$3 suffix=$4
  shift 4
  cmake -S "$ROOT" -B "$dir" -G Ninja -Wno-dev -Wno-deprecated \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-w64-x86_64.cmake" \
    -DVOSTRAL_WERROR=ON -DPython_EXECUTABLE="$VENV/bin/python" \
    -DVOSTRAL_PYTHON_DLL="$dll" \
    -DVOSTRAL_PYTHON_INCLUDE_DIRS="$python_headers/Include;$python_headers/PC" \
    -DVOSTRAL_PYTHON_LIMITED_API="$limited" \
    -DVOSTRAL_PYTHON_MODULE_SUFFIX="$suffix" "$@" >/dev/null
}

OBJDUMP=$TRIPLE-objdump
failed=0
# check_module FILE DLL: exports PyInit_vostral alone; imports DLL and
# system DLLs that every Windows has, no MinGW runtime.
check_module() {
  local module=$1 dll=$2 exports imports
  [[ -f "$module" ]] || { echo "error: no module at $module" >&2; failed=1; return; }
  exports=$("$OBJDUMP" -p "$module" | awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next } table && NF == 0 { table = 0 } table { print $NF }')
  imports=$("$OBJDUMP" -p "$module" | awk '/DLL Name:/ { print $3 }' | sort -u)
  echo "$(basename "$module"): exports $(echo $exports); imports $(echo $imports)"
  [[ "$exports" == PyInit_vostral ]] || { echo "error: the module must export PyInit_vostral and nothing else" >&2; failed=1; }
  local system_dll='^(KERNEL32|ADVAPI32|bcrypt|ntdll|msvcrt|USER32|api-ms-win-[a-z0-9-]+)\.dll$' imported
  while read -r imported; do
    if [[ "$imported" != "$dll" ]] && ! [[ "$imported" =~ $system_dll ]]; then
      echo "error: the module imports $imported" >&2
      failed=1
    fi
  done <<<"$imports"
  grep -qx "$dll" <<<"$imports" || { echo "error: the module does not import $dll" >&2; failed=1; }
}

say "build: core, runtime, C++ tests and the CPython 3.11 module for $TRIPLE (build/windows)"
configure "$BUILD" python311.dll "" .cp311-win_amd64.pyd \
  -DCMAKE_BUILD_TYPE=Debug -DVOSTRAL_BUILD_TESTS=ON -DVOSTRAL_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DCMAKE_CROSSCOMPILING_EMULATOR="env;WINEPREFIX=$WINEPREFIX;WINEDEBUG=-all;$WINE" \
  -DVOSTRAL_TEST_HOST_ROOT=Z:
cmake --build "$BUILD" --parallel 2

say "build: the stable-ABI module (build/windows-abi3)"
# Debug, like the other: the import library is made from the objects' symbol
# tables, which link-time-optimised objects do not have in final form.
configure "$BUILD-abi3" python3.dll 0x030A0000 .pyd -DCMAKE_BUILD_TYPE=Debug -DVOSTRAL_BUILD_TESTS=OFF
cmake --build "$BUILD-abi3" --parallel 2

say "C++ tests under Wine"
ctest --test-dir "$BUILD" --parallel 2 --output-on-failure

say "the modules: what they export and import"
check_module "$BUILD/vostral.cp311-win_amd64.pyd" python311.dll
check_module "$BUILD-abi3/vostral.pyd" python3.dll
# Every name the stable-ABI module takes from python3.dll must be one that
# python3.dll exports, in every version from 3.10 on: its list is in the
# interpreter's own sources.
stable_abi=$(sed -nE 's/^EXPORT_(FUNC|DATA)\(([A-Za-z0-9_]+)\)$/\2/p' "$python_headers/PC/python3dll.c" | sort -u)
outside=$(awk 'NR > 2 { print $1 }' "$BUILD-abi3/python3.def" | sort -u | comm -23 - <(echo "$stable_abi"))
if [[ -n "$outside" ]]; then
  echo "error: the stable-ABI module uses names python3.dll does not export: $(echo $outside)" >&2
  failed=1
else
  echo "vostral.pyd: all $(awk 'NR > 2' "$BUILD-abi3/python3.def" | wc -l) names it imports are in python3.dll's export list"
fi
for program in "$BUILD"/tests/*.exe; do
  if "$OBJDUMP" -p "$program" | awk '/DLL Name:/ { print $3 }' | grep -qiE '^lib(stdc\+\+|gcc|winpthread)'; then
    echo "error: $(basename "$program") needs a MinGW DLL" >&2
    failed=1
  fi
done
((failed == 0)) || exit 1
say "windows: all passed"
