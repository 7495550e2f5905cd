# Shared by the project's scripts (sourced, not run): finds a CPython (3.10 or
# later), keeps the project's tools (uv and nox, in .venv) as
# locks/tools.lock pins them, and installs the Debian packages a stage
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
# version), else python3 on PATH. The scripts export the answer as PYTHON, so
# that nox, and every session it runs, uses the same interpreter.
find_python() {
  if [[ -n "${PYTHON:-}" ]]; then
    supported_python "$PYTHON" || die "PYTHON=$PYTHON is not CPython 3.10 or later: point PYTHON at one, or unset it"
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
  die "no CPython 3.10 or later found: install one (Debian: apt-get install python3 python3-venv), or set PYTHON to its interpreter"
}

# One line naming what is missing and how to provide it, then the end.
die() {
  echo "error: $*" >&2
  exit 1
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

# Those of the Debian packages named that are not installed, one a line.
missing_debs() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || echo "$pkg"
  done
}

# Every checkout and session on the machine takes turns at apt by this lock.
APT_LOCK=${VOSTRAL_APT_LOCK:-/tmp/vostral-apt.lock}

# Debian packages, installed only when one is missing. The lock is held by a
# subshell for the apt-get calls alone (which do not get the descriptor
# either), so nothing that this script starts afterwards holds it: a session
# started after an install can install in turn.
ensure_debs() {
  local missing=()
  mapfile -t missing < <(missing_debs "$@")
  ((${#missing[@]} == 0)) && return 0
  local how="apt-get install ${missing[*]}"
  command -v apt-get >/dev/null 2>&1 || die "missing Debian packages ${missing[*]}, and there is no apt-get here: install them by hand"
  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null 2>&1 || die "installing ${missing[*]} needs root rights, and there is no sudo: as root, $how"
    sudo=(sudo)
  fi
  say "installing Debian packages: ${missing[*]}"
  [[ -e "$APT_LOCK" ]] || (umask 0 && : >>"$APT_LOCK") 2>/dev/null || true
  [[ -r "$APT_LOCK" ]] || die "cannot open the lock $APT_LOCK: remove it, or $how yourself"
  # A bounded wait for the lock or for another apt run (an unattended
  # upgrade); a mirror that does not answer fails within a minute.
  local options=(-qq -o DPkg::Lock::Timeout=600 -o Acquire::Retries=1 -o Acquire::http::Timeout=20
    -o Acquire::https::Timeout=20)
  (
    flock -w 900 9 || die "waited 15 minutes for $APT_LOCK, held by another install: try again, or $how yourself"
    # Another session may have installed them while this one waited.
    mapfile -t missing < <(missing_debs "${missing[@]}")
    ((${#missing[@]} == 0)) && exit 0
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${options[@]}" update 9>&- ||
      die "apt-get update failed (no network, or no Debian mirror in the apt sources?): fix that, or $how yourself"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${options[@]}" install -y --no-install-recommends \
      "${missing[@]}" 9>&- || die "apt-get could not install ${missing[*]} (see above: no network, or no such package?): $how yourself, then run this again"
  ) 9<"$APT_LOCK"
}

# What Debian keeps apart from its interpreters: the headers (python3.X-dev)
# that the build needs, and venv (python3.X-venv). Installed for Debian's own
# interpreters, named for any other.
ensure_python_parts() {
  local python=$1 minor headers venv
  read -r minor headers venv < <("$python" -c '
import importlib.util, os, sys, sysconfig
include = os.path.join(sysconfig.get_paths()["include"], "Python.h")
print("%d.%d" % sys.version_info[:2], int(os.path.isfile(include)), int(importlib.util.find_spec("ensurepip") is not None))')
  ((headers && venv)) && return 0
  local debs=()
  ((headers)) || debs+=("python$minor-dev")
  ((venv)) || debs+=("python$minor-venv")
  [[ $(realpath "$python") == /usr/bin/python3* ]] ||
    die "$python lacks its headers or venv (on Debian: ${debs[*]}): install them, or set PYTHON to a CPython that has them"
  ensure_debs "${debs[@]}"
}

# The tools in .venv, exactly as locks/tools.lock has them: pip puts
# the locked uv there once (hashes checked), then uv makes the environment
# match the lock, removing what it does not name; .venv/bin goes first on PATH.
# A .venv made by another interpreter than find_python's is made again.
ensure_tools() {
  local python want have
  python=$(find_python)
  export PYTHON=$python
  ensure_python_parts "$python"
  want=$("$python" -c 'import sys; print(sys.version.split()[0])')
  have=$("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || true)
  if [[ "$have" != "$want" ]]; then
    rm -rf "$VENV"
    say "creating $VENV (uv and nox) with $python"
    "$python" -m venv "$VENV"
  fi
  if [[ ! -x "$VENV/bin/uv" ]]; then
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-deps --require-hashes \
      --timeout 15 --retries 2 -r "$ROOT/locks/tools.lock" ||
      die "pip could not install uv and nox from PyPI (no network?): fix that, then run this again"
  fi
  "$VENV/bin/uv" pip sync -q --python "$VENV/bin/python" "$ROOT/locks/tools.lock" ||
    die "uv could not make $VENV as locks/tools.lock pins it (see above)"
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

# ensure_zig DIR: the pinned zig (locks/zig.lock) in a virtual
# environment at DIR, exported as VOSTRAL_ZIG for the toolchain wrappers. DIR
# lies outside the checkout: zig's cache of the C and C++ runtimes it builds
# for a target (minutes of work) is keyed by the path of its own files, so a
# zig in each fresh clone would build them all again.
ensure_zig() {
  local venv=$1 base
  # Made from the interpreter the session's environment was made from, not from
  # that environment, which goes with its checkout; made again when the
  # interpreter it was made from is gone.
  if ! "$venv/bin/python" -c '' 2>/dev/null; then
    base=$("$(session_python)" -c 'import sys; print("%s/bin/python%d.%d" % (sys.base_prefix, *sys.version_info[:2]))')
    uv venv -q --clear --python "$base" "$venv"
  fi
  uv pip sync -q --python "$venv/bin/python" "$ROOT/locks/zig.lock"
  VOSTRAL_ZIG=$("$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  export VOSTRAL_ZIG
}

# A Debian root's own /proc and pseudo-terminals (a devpts instance of its
# own, which its /dev/ptmx opens): some tests read /proc, and some play the
# example game on a pseudo-terminal. unmount_root gives them back; the
# scripts call it first (a killed run may have left them) and on exit.
ROOT_MOUNTS=(proc dev/ptmx dev/pts)
unmount_root() {
  local point
  for point in "${ROOT_MOUNTS[@]}"; do umount "$1/$point" 2>/dev/null || true; done
}
mount_root() {
  unmount_root "$1"
  mount -t proc proc "$1/proc"
  mkdir -p "$1/dev/pts"
  [[ -e "$1/dev/ptmx" ]] || touch "$1/dev/ptmx"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$1/dev/pts"
  mount --bind "$1/dev/pts/ptmx" "$1/dev/ptmx"
}
