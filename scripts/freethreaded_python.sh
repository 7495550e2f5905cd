#!/usr/bin/env bash
# A free-threaded CPython (python3.Xt), built from Debian's source of
# python3.X, since Debian packages none: 3.13 from Debian 13, 3.15 from
# Debian unstable. Two flavours, each kept in
# /var/tmp/vostral-freethreaded[-3.X]/<flavour> so that only the first run
# pays for the build (on 2 cores about 2½ minutes plain, 7 sanitized):
#   plain  ./configure --disable-gil
#   tsan   the same with Clang and --with-thread-sanitizer, for the race check
# Prints the interpreter's path on the last line of stdout. Any step that
# fails (no source, a compiler error) fails the script, naming the step.
#
#   bash scripts/freethreaded_python.sh [plain|tsan] [3.13|3.15]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
STAGE_NAME="free-threaded CPython build"
trap report_failure EXIT

FLAVOUR=${1:-plain}
VERSION=${2:-3.13}
# The Debian release whose source each version comes from; 3.13 keeps the
# cache directory it always had.
case "$VERSION" in
  3.13) SUITE=trixie CACHE=/var/tmp/vostral-freethreaded ;;
  3.15) SUITE=sid CACHE=/var/tmp/vostral-freethreaded-3.15 ;;
  *)
    echo "usage: $0 [plain|tsan] [3.13|3.15]" >&2
    exit 2
    ;;
esac
PACKAGE=python$VERSION
# What CPython's build needs for the modules the suites use (ssl, ctypes,
# compression, sqlite3), and Clang for the sanitized flavour.
BUILD_DEBS=(gcc make xz-utils pkg-config libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev uuid-dev)
case "$FLAVOUR" in
  plain) CONFIGURE=(--disable-gil) COMPILER=(CC=gcc) ;;
  tsan)
    CONFIGURE=(--disable-gil --with-thread-sanitizer)
    COMPILER=(CC=clang-16)
    BUILD_DEBS+=(clang-16)
    ;;
  *)
    echo "usage: $0 [plain|tsan] [3.13|3.15]" >&2
    exit 2
    ;;
esac
PREFIX="$CACHE/$FLAVOUR"
PYTHON_T="$PREFIX/bin/python${VERSION}t"
STAMP="$PREFIX/.vostral-built"
WANT="$PACKAGE ${CONFIGURE[*]} ${COMPILER[*]}"

# CPython's own ThreadSanitizer suppressions (races known in the
# interpreter itself), kept beside the sanitized build.
SUPPRESSIONS="$PREFIX/tsan-suppressions.txt"
keep_suppressions() {
  [[ $FLAVOUR == tsan ]] || return 0
  tar -xJOf "$TARBALL" --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >"$SUPPRESSIONS.new"
  mv "$SUPPRESSIONS.new" "$SUPPRESSIONS"
}

if [[ -x "$PYTHON_T" && -f "$STAMP" && "$(cat "$STAMP")" == "$WANT" ]]; then
  if [[ $FLAVOUR == tsan && ! -f "$SUPPRESSIONS" ]]; then
    TARBALL=$(ls "$CACHE"/source/"${PACKAGE}"_*.orig.tar.xz | sort -V | tail -1)
    keep_suppressions
  fi
  echo "$PYTHON_T"
  exit 0
fi

step "installing the build's Debian packages"
ensure_debs "${BUILD_DEBS[@]}" >&2

# The source comes through an apt configuration of its own (a deb-src entry
# for that Debian release), so the machine's sources and package lists stay as
# they are. A stable release's file can be older than apt's validity window:
# that check is off for this one update.
step "fetching the source of $PACKAGE from Debian $SUITE"
mkdir -p "$CACHE"
APT_DIR="$CACHE/apt"
SOURCES="$CACHE/source"
WORK="$CACHE/build-$FLAVOUR"
fetch_and_unpack() {
  mkdir -p "$APT_DIR/lists/partial" "$SOURCES"
  local mirror
  read -r mirror _ < <(debian_mirror)
  echo "deb-src $mirror $SUITE main" >"$APT_DIR/sources.list"
  local apt=(apt-get -q -o "Dir::Etc::SourceList=$APT_DIR/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$APT_DIR/lists" -o APT::Sandbox::User=root)
  if ! ls "$SOURCES"/"${PACKAGE}"_*.orig.tar.xz >/dev/null 2>&1; then
    "${apt[@]}" -o Acquire::Check-Valid-Until=false update >&2
    (cd "$SOURCES" && "${apt[@]}" source --download-only "$PACKAGE") >&2
  fi
  local tarball
  tarball=$(ls "$SOURCES"/"${PACKAGE}"_*.orig.tar.xz | sort -V | tail -1)
  [[ -f "$tarball" ]] || { echo "no upstream tarball of $PACKAGE in $SOURCES" >&2; return 1; }
  step "unpacking $(basename "$tarball")"
  rm -rf --one-file-system "$WORK" "$PREFIX"
  mkdir -p "$WORK"
  tar -xJf "$tarball" -C "$WORK" --strip-components=1
}
# The two flavours share the source: they take turns at fetching and
# unpacking it, by a lock that only this subshell holds.
(flock 8; fetch_and_unpack) 8>"$CACHE/.lock"
TARBALL=$(ls "$SOURCES"/"${PACKAGE}"_*.orig.tar.xz | sort -V | tail -1)

LOG="$CACHE/build-$FLAVOUR.log"
run_logged() {
  if ! "$@" >>"$LOG" 2>&1; then
    tail -40 "$LOG" >&2
    echo "(whole log: $LOG)" >&2
    return 1
  fi
}
: >"$LOG"
step "configuring CPython (${CONFIGURE[*]}, ${COMPILER[*]})"
(cd "$WORK" && run_logged env "${COMPILER[@]}" ./configure --prefix="$PREFIX" "${CONFIGURE[@]}" --without-ensurepip)
step "compiling CPython (log: $LOG)"
(cd "$WORK" && run_logged make -j"$(nproc)")
step "installing CPython into $PREFIX"
(cd "$WORK" && run_logged make install)
step "checking that $PYTHON_T runs without the GIL"
"$PYTHON_T" -c 'import sys, sysconfig; assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1; assert not sys._is_gil_enabled()'
keep_suppressions
rm -rf --one-file-system "$WORK"
echo "$WANT" >"$STAMP"
echo "$PYTHON_T"
