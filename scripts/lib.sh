# Shared by the project's scripts (sourced, not run): finds CPython 3.10,
# keeps the virtual environment in .venv up to date, and installs the Debian
# packages the build needs when they are missing.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"

say() { printf '\n==> %s\n' "$*"; }

# $PYTHON when set, else the 3.10 that pyenv holds, else python3.10 on PATH.
find_python() {
  if [[ -n "${PYTHON:-}" ]]; then
    echo "$PYTHON"
    return
  fi
  local root candidate
  if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
  else
    root="${PYENV_ROOT:-$HOME/.pyenv}"
  fi
  for candidate in $(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -V -r); do
    if [[ -x "$candidate" ]]; then
      echo "$candidate"
      return
    fi
  done
  if PYENV_VERSION=3.10 python3.10 -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
    PYENV_VERSION=3.10 python3.10 -c 'import sys; print(sys.executable)'
    return
  fi
  echo "error: no CPython 3.10 found; set PYTHON to its interpreter" >&2
  return 1
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
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# .venv with the given requirements file installed; rebuilt when it was made
# by another interpreter, reinstalled when the requirements changed.
ensure_venv() {
  local requirements="$1" python
  python=$(find_python)
  local want
  want=$("$python" -c 'import sys; print(sys.version.split()[0])')
  if [[ -x "$VENV/bin/python" ]]; then
    local have
    have=$("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null || true)
    [[ "$have" == "$want" ]] || rm -rf "$VENV"
  fi
  if [[ ! -x "$VENV/bin/python" ]]; then
    say "creating $VENV with $python"
    "$python" -m venv "$VENV"
  fi
  local stamp="$VENV/.installed-$(basename "$requirements")"
  if [[ ! -f "$stamp" ]] || ! cmp -s "$requirements" "$stamp"; then
    say "installing $(basename "$requirements") into .venv"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r "$requirements"
    cp "$requirements" "$stamp"
  fi
  export PATH="$VENV/bin:$PATH"
}

# Builds the module and installs it into .venv.
install_module() {
  say "building and installing vostral into .venv"
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$@" "$ROOT"
}
