#!/usr/bin/env bash
# A newcomer's machine: a stock Debian root (12 or 13), made by debootstrap
# with python3, python3-venv, git and ca-certificates and nothing else, in
# which a fresh clone of the commit under test runs the README's two commands
# exactly as written, with no PYTHON set:
#
#   bash scripts/demo.sh
#   bash scripts/test.sh
#
# The pristine root is kept as a tarball in /var/tmp/vostral-cleanroom and
# unpacked anew for every run, so that nothing one run installs is there for
# the next. What reaches the mirror and PyPI from this machine goes in with
# it: the resolver, the certificate settings, apt's settings for reaching the
# mirror. Needs root rights (debootstrap, mount, chroot) and the network.
#
#   bash scripts/cleanroom.sh 12|13      (nox: `.venv/bin/nox -s "cleanroom(debian='12')"`)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

case "${1:-}" in
  12) SUITE=bookworm ;;
  13) SUITE=trixie ;;
  *) die "usage: bash scripts/cleanroom.sh 12|13 (the Debian release)" ;;
esac
DEBIAN=$1
STAGE_NAME="clean-room Debian $DEBIAN"
PACKAGES=(python3 python3-venv git ca-certificates)
CACHE=/var/tmp/vostral-cleanroom
PRISTINE="$CACHE/debian-$DEBIAN.tar"
WANT="$SUITE ${PACKAGES[*]}"
RUN="$CACHE/run-$DEBIAN"
MOUNTS=(dev/ptmx dev/pts dev/shm dev sys proc)

unmount_all() {
  local point
  for point in "${MOUNTS[@]}"; do
    mountpoint -q "$RUN/$point" 2>/dev/null && { umount "$RUN/$point" || umount -l "$RUN/$point"; }
  done
  return 0
}
finish() {
  local status=$?
  unmount_all
  (exit "$status")
  report_failure
}
trap finish EXIT

[[ $(id -u) -eq 0 ]] || die "the clean-room stage needs root rights (debootstrap, mount, chroot): run it as root"
step "installing debootstrap"
ensure_debs debootstrap

if [[ ! -f "$PRISTINE" || "$(cat "$PRISTINE.stamp" 2>/dev/null)" != "$WANT" ]]; then
  step "making a stock Debian $DEBIAN ($SUITE) root with ${PACKAGES[*]} (a few minutes, once)"
  read -r mirror _ < <(debian_mirror)
  making="$CACHE/making-$DEBIAN"
  rm -rf --one-file-system "$making"
  mkdir -p "$making"
  if ! debootstrap --variant=minbase --include="$(IFS=,; echo "${PACKAGES[*]}")" "$SUITE" "$making" "$mirror" \
    >"$CACHE/debootstrap-$DEBIAN.log" 2>&1; then
    tail -20 "$CACHE/debootstrap-$DEBIAN.log"
    rm -rf --one-file-system "$making"
    die "debootstrap could not make Debian $SUITE from $mirror (log above): check the network and the mirror"
  fi
  # apt's lists are what a new machine fetches for itself.
  rm -rf "$making"/var/lib/apt/lists/* "$making"/var/cache/apt/archives/*.deb
  tar -C "$making" -cf "$PRISTINE.new" .
  mv "$PRISTINE.new" "$PRISTINE"
  echo "$WANT" >"$PRISTINE.stamp"
  rm -rf --one-file-system "$making"
fi

step "unpacking the pristine root into $RUN"
unmount_all # left by a run that was killed
rm -rf --one-file-system "$RUN"
mkdir -p "$RUN"
tar -C "$RUN" -xf "$PRISTINE"

step "passing the resolver, the certificates and apt's way to the mirror through"
cp --remove-destination -L /etc/resolv.conf "$RUN/etc/resolv.conf"
# Certificate bundles named by the environment go in under a path of their
# own: the root's ca-certificates knows only the public authorities.
pass=()
for name in SSL_CERT_FILE SSL_CERT_DIR REQUESTS_CA_BUNDLE CURL_CA_BUNDLE PIP_CERT GIT_SSL_CAINFO; do
  value=${!name:-}
  [[ -n "$value" && -e "$value" ]] || continue
  mkdir -p "$RUN/opt/host-certificates"
  cp -rL "$value" "$RUN/opt/host-certificates/$name"
  pass+=("$name=/opt/host-certificates/$name")
done
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
  [[ -n "${!name:-}" ]] && pass+=("$name=${!name}")
done
for conf in /etc/apt/apt.conf.d/*; do
  grep -qiE '^[[:space:]]*Acquire::(https?::Proxy|Check-Valid-Until|Check-Date)' "$conf" 2>/dev/null &&
    cp "$conf" "$RUN/etc/apt/apt.conf.d/"
done

step "mounting /proc, /sys, /dev and /dev/pts"
mount -t proc proc "$RUN/proc"
mount --bind /sys "$RUN/sys"
mount --bind /dev "$RUN/dev"
# Mounts below the root's /dev must not reach the machine's own /dev.
mount --make-private "$RUN/dev"
mount -t tmpfs -o mode=1777 tmpfs "$RUN/dev/shm"
# Pseudo-terminals from an instance of the root's own, which its /dev/ptmx opens.
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$RUN/dev/pts"
mount --bind "$RUN/dev/pts/ptmx" "$RUN/dev/ptmx"

commit=$(git -C "$ROOT" rev-parse HEAD)
step "cloning $commit afresh into the root"
git clone -q --no-hardlinks "$ROOT" "$RUN/root/vostral"
git -C "$RUN/root/vostral" checkout -q --detach "$commit"
[[ -z "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]] ||
  say "note: $ROOT has uncommitted changes; the root tests commit $commit without them"

inside() {
  chroot "$RUN" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${pass[@]}" \
    bash -c "cd /root/vostral && $1"
}
timed() {
  local started=$SECONDS
  step "Debian $DEBIAN: $1"
  inside "$1"
  say "Debian $DEBIAN: '$1' passed in $((SECONDS - started)) s"
}
timed "bash scripts/demo.sh"
timed "bash scripts/test.sh"

step "removing the root"
unmount_all
rm -rf --one-file-system "$RUN"
say "Debian $DEBIAN ($SUITE): both commands passed on a stock machine"
