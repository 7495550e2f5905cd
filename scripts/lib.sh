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

# Builds the module and installs it into .venv.
install_module() {
  say "building and installing vostral into .venv"
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$@" "$ROOT"
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
