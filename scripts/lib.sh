# Shared by the project's scripts (sourced, not run): finds a CPython (3.10 or
# later), keeps the project's tools (uv and nox, in .venv) as
# requirements-tools.lock pins them, and installs the Debian packages a stage
# needs when they are missing.

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
  # Sessions that run side by side take turns.
  exec 9>/tmp/vostral-apt.lock
  flock 9
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# The tools in .venv, exactly as requirements-tools.lock has them: pip puts
# the locked uv there once (hashes checked), then uv makes the environment
# match the lock, removing what it does not name; .venv/bin goes first on PATH.
# A .venv made by another interpreter than find_python's is made again.
ensure_tools() {
  local python want have
  python=$(find_python)
  want=$("$python" -c 'import sys; print(sys.version.split()[0])')
  have=$("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || true)
  if [[ "$have" != "$want" ]]; then
    rm -rf "$VENV"
    say "creating $VENV (uv and nox) with $python"
    "$python" -m venv "$VENV"
  fi
  if [[ ! -x "$VENV/bin/uv" ]]; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-deps --require-hashes \
      -r "$ROOT/requirements-tools.lock"
  fi
  "$VENV/bin/uv" pip sync -q --python "$VENV/bin/python" "$ROOT/requirements-tools.lock"
  export PATH="$VENV/bin:$PATH"
}

# The interpreter of the environment a nox session runs this script in (its
# bin directory is first on PATH).
session_python() {
  [[ -n "${VIRTUAL_ENV:-}" && -x "$VIRTUAL_ENV/bin/python" ]] || {
    echo "error: $(basename "$0") runs inside a nox session: .venv/bin/nox -s <session> (bash scripts/test.sh makes .venv)" >&2
    return 1
  }
  echo "$VIRTUAL_ENV/bin/python"
}

# Steps of a stage: `step TEXT` says what runs now, and report_failure (for an
# EXIT trap) names it when the script, or a subshell of it, ends with a failure.
# STAGE_NAME is the stage's name in that message.
STEP="setting up"
step() { STEP="$*"; say "$*"; }
report_failure() {
  local status=$?
  ((status == 0)) || echo "FAILED: ${STAGE_NAME:-$(basename "$0" .sh)} stage, step: $STEP (exit status $status)" >&2
}

# ensure_zig DIR: the pinned zig (requirements-windows.lock) in a virtual
# environment at DIR, exported as VOSTRAL_ZIG for the toolchain wrappers. DIR
# lies outside the checkout: zig's cache of the C and C++ runtimes it builds
# for a target (minutes of work) is keyed by the path of its own files, so a
# zig in each fresh clone would build them all again.
ensure_zig() {
  local venv=$1
  [[ -x "$venv/bin/python" ]] || uv venv -q --python "$(session_python)" "$venv"
  uv pip sync -q --python "$venv/bin/python" "$ROOT/requirements-windows.lock"
  VOSTRAL_ZIG=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  export VOSTRAL_ZIG
}
