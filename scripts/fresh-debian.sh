# A fresh, minimal Debian 12 in a temporary folder, for the scripts that
# prove what a new machine can do (check-fresh-debian, check-package).
# Sourced, not run. Needs root. Everything it made is removed when the
# sourcing script ends.
#
#   fresh_debian_make [mirror]   debootstraps it; sets $fresh_root
#   fresh_debian_run COMMAND     runs a bash command inside, in a clean
#                                environment (CI passed on)

fresh_root=""
fresh_mounts=()

fresh_debian_cleanup() {
  local i pid
  [[ -n $fresh_root && -d $fresh_root ]] || return 0
  # Processes that the tests left inside (a cron daemon) go first, so that
  # nothing writes into the folder while it is removed.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [[ $(readlink "/proc/$pid/root" 2>/dev/null) == "$fresh_root" ]] && kill -KILL "$pid" 2>/dev/null || true
  done
  for ((i = ${#fresh_mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${fresh_mounts[i]}" 2>/dev/null || true
  done
  rm -rf --one-file-system "$fresh_root"
}

fresh_debian_bind() {
  mkdir -p "$fresh_root$2"
  mount "${@:3}" "$1" "$fresh_root$2"
  fresh_mounts+=("$fresh_root$2")
}

fresh_debian_make() {
  local mirror=${1:-http://deb.debian.org/debian}
  if [[ $(id -u) -ne 0 ]]; then
    echo "$(basename "$0"): run it as root (debootstrap and chroot need it)" >&2
    exit 2
  fi
  command -v debootstrap >/dev/null ||
    { echo "$(basename "$0"): debootstrap is missing: scripts/install-deps --tests" >&2; exit 2; }
  fresh_root=$(mktemp -d /var/tmp/qeltv-fresh-debian.XXXXXX)
  # A system's root folder is open to every user (mktemp makes it private).
  chmod 755 "$fresh_root"
  trap fresh_debian_cleanup EXIT
  echo "== debootstrap --variant=minbase bookworm into $fresh_root"
  local log=$fresh_root.log
  if ! debootstrap --variant=minbase bookworm "$fresh_root" "$mirror" >"$log" 2>&1; then
    tail -n 20 "$log"
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
  # The same archives as a Debian 12 machine: the suite, its updates and the
  # security updates.
  cat >"$fresh_root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
SOURCES
  cp /etc/resolv.conf "$fresh_root/etc/resolv.conf"
  # The root is a mount point of its own, as on a real system, so that tests
  # can make it private in a mount namespace of theirs.
  fresh_debian_bind "$fresh_root" / --bind
  fresh_debian_bind proc /proc -t proc
  fresh_debian_bind sysfs /sys -t sysfs
  fresh_debian_bind /dev /dev --rbind
  fresh_debian_bind tmpfs /tmp -t tmpfs
  fresh_debian_bind tmpfs /run -t tmpfs
}

fresh_debian_run() {
  chroot "$fresh_root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 CI="${CI:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c "$1"
}
