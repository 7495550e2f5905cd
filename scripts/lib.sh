# Shared by the project's scripts (sourced, not run): finds a CPython (3.10 or later),
# keeps the virtual environment in .venv up to date, and installs the Debian
# packages the build needs when they are missing.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"

say() { printf '\n==> %s\n' "$*"; }

pyenv_root() {
  if command -v pyenv >/dev/null 2>&1; then
    pyenv root
  else
    echo "${PYENV_ROOT:-$HOME/.pyenv}"
  fi
}

# The newest CPython 3.$1.x that pyenv holds, or nothing. Plain releases
# only: a free-threaded build (3.13.0t) is another ABI.
pyenv_python() {
  local minor="$1" candidate
  candidate=$(ls -d "$(pyenv_root)"/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null     | grep -E "/versions/3\.$minor\.[0-9]+/bin/" | sort -V -r | head -n 1 || true)
  [[ -n "$candidate" && -x "$candidate" ]] && echo "$candidate"
  return 0
}

# True when interpreter $1 is a CPython that the module supports (3.10 or later).
supported_python() {
  "$1" -c 'import platform, sys; assert platform.python_implementation() == "CPython" and sys.version_info >= (3, 10)' \
    2>/dev/null
}

# $PYTHON when set; else the oldest supported CPython that pyenv holds (3.10
# first, so that what is built and tested here holds for every later
# version), else python3 on PATH.
find_python() {
  if [[ -n "${PYTHON:-}" ]]; then
    supported_python "$PYTHON" || { echo "error: PYTHON=$PYTHON is not CPython 3.10 or later" >&2; return 1; }
    echo "$PYTHON"
    return
  fi
  local minor found
  for minor in 10 11 12 13 14 15; do
    found=$(pyenv_python "$minor")
    if [[ -n "$found" ]]; then
      echo "$found"
      return
    fi
  done
  if found=$(command -v python3) && supported_python "$found"; then
    echo "$found"
    return
  fi
  echo "error: no CPython 3.10 or later found; set PYTHON to its interpreter" >&2
  return 1
}

# The Debian mirror and release this machine's apt uses, as "URI SUITE".
debian_mirror() {
  local uri suite
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  suite=$(awk '/^Suites:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  if [[ -z "$uri" || -z "$suite" ]]; then
    read -r uri suite < <(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i, $(i + 1); exit } }' \
      /etc/apt/sources.list 2>/dev/null || true)
  fi
  [[ -n "$uri" && -n "$suite" ]] || { echo "error: no Debian mirror found in the apt configuration" >&2; return 1; }
  echo "$uri $suite"
}

# Debian packages, installed only when one is missing.
ensure_debs() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return
  say "installing Debian packages: ${missing[*]}"
  local sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  # Another apt run (an unattended upgrade, a second checkout) may hold the
  # lock for a while: wait for it rather than fail.
  local wait=(-o DPkg::Lock::Timeout=600)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# The requirements that a requirements file names, one a line, with the files
# it includes (-r) expanded in place; comments and blank lines left out.
requirement_lines() {
  local file="$1" line
  while IFS= read -r line || [[ -n "$line" ]]; do
    line="${line%%#*}"
    line="${line%"${line##*[![:space:]]}"}"  # and the blanks before it
    if [[ "$line" == "-r "* ]]; then
      requirement_lines "$(dirname "$file")/${line#-r }"
    elif [[ -n "$line" ]]; then
      echo "$line"
    fi
  done <"$file"
}

# A virtual environment (default .venv, made by find_python's interpreter)
# with the given requirements file installed; rebuilt when another
# interpreter made it, reinstalled when its requirements changed. Says what
# it installs before it does.
ensure_venv() {
  local requirements="$1" venv="${2:-$VENV}" python="${3:-}"
  [[ -n "$python" ]] || python=$(find_python)
  local want have
  want=$("$python" -c 'import sys; print(sys.version.split()[0])')
  if [[ -x "$venv/bin/python" ]]; then
    have=$("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || true)
    [[ "$have" == "$want" ]] || rm -rf "$venv"
  fi
  if [[ ! -x "$venv/bin/python" ]]; then
    say "creating $venv with $python"
    "$python" -m venv "$venv"
  fi
  local stamp="$venv/.installed-$(basename "$requirements")" wanted
  wanted=$(requirement_lines "$requirements")
  if [[ ! -f "$stamp" ]] || [[ "$(cat "$stamp")" != "$wanted" ]]; then
    say "installing into $(basename "$venv") ($(basename "$requirements")): pip (newest), ${wanted//$'\n'/, }"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r "$requirements"
    printf '%s\n' "$wanted" >"$stamp"
  fi
  [[ "$venv" == "$VENV" ]] && export PATH="$VENV/bin:$PATH"
  return 0
}

# What the installed module is built from: its sources, the build's files and
# tools, and the options given to install_module, as one hash.
BUILD_INPUTS=(CMakeLists.txt pyproject.toml README.md LICENSE requirements-build.txt cmake core module runtime stubs)
build_inputs_hash() {
  {
    printf '%s\n' "$@"
    (cd "$ROOT" && find "${BUILD_INPUTS[@]}" -type f ! -name '*.pyc' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
  } | sha256sum | cut -d' ' -f1
}

# The module file that .venv imports and its modification time; nothing when
# there is none (PYTHONPATH, which may point at another build, left out).
# Another install over it, a wheel say, changes it.
installed_module() {
  (cd / && env -u PYTHONPATH "$VENV/bin/python" -c 'import os, vostral; print(vostral.__file__, os.stat(vostral.__file__).st_mtime_ns)' 2>/dev/null) || true
}

# Builds the module and installs it into .venv, unless what is installed there
# was built by this function from the same inputs (.venv/.installed-vostral
# holds their hash and the module it installed). Says that it builds, and on
# a terminal how long it has been at it.
install_module() {
  local stamp="$VENV/.installed-vostral" want
  want=$(build_inputs_hash "$@")
  if [[ -f "$stamp" && "$(cat "$stamp")" == "$want $(installed_module)" ]]; then
    say "vostral in .venv is up to date with the sources: no build needed"
    return
  fi
  rm -f "$stamp"
  say "building vostral and installing it into .venv (a C++ build: about half a minute)"
  local started ticker="" status=0
  started=$(date +%s)
  if [[ -t 1 ]]; then
    (while sleep 1; do printf '\r    building: %d s ' $(($(date +%s) - started)); done) &
    ticker=$!
  fi
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$@" "$ROOT" || status=$?
  if [[ -n "$ticker" ]]; then
    kill "$ticker" 2>/dev/null || true
    wait "$ticker" 2>/dev/null || true
    printf '\r'
  fi
  ((status == 0)) || { echo "error: the build failed after $(($(date +%s) - started)) s" >&2; return "$status"; }
  echo "    built and installed in $(($(date +%s) - started)) s"
  printf '%s\n' "$want $(installed_module)" >"$stamp"
}

# build_stable_abi_wheel DIR: builds one stable-ABI wheel (cp310-abi3) with
# .venv's CPython and warnings as errors into DIR; prints its path.
build_stable_abi_wheel() {
  local out=$1
  say "building one stable-ABI wheel with $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])')" >&2
  "$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$out" \
    -C wheel.py-api=cp310 -C cmake.define.VOSTRAL_WERROR=ON "$ROOT" >&2
  ls "$out"/vostral-*-cp310-abi3-*.whl
}
