#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
# Safe to run again and again; uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libjpeg62-turbo-dev
  fonts-dejavu-core fonts-dejavu-extra
  xvfb xauth x11-utils xdotool imagemagick dbus-daemon
  iproute2 util-linux
  dpkg-dev file desktop-file-utils appstream lintian groff-base man-db
  python3 ansible-core ansible-lint yamllint python3-voluptuous pylint
  clang libclang-rt-14-dev
  mingw-w64 wine wine64 wine32:i386
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
need_root() {
  if [ -n "$sudo" ] && ! command -v sudo >/dev/null; then
    echo "setup: need root or sudo to $1" >&2
    exit 1
  fi
}

# Another apt or dpkg (an unattended upgrade, a second set-up) may hold the
# package manager's lock for a while: wait for it, up to ten minutes, instead
# of failing. apt waits for dpkg's own lock by itself; the lists lock of
# "apt-get update" it does not, so that is tried again.
lock_wait=600
apt_get() {
  local deadline=$((SECONDS + lock_wait)) out
  while :; do
    if out=$($sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$lock_wait" "$@" 2>&1); then
      return 0
    fi
    if grep -qiE "could not get lock|unable to lock|is another process using it" <<<"$out" \
        && [ "$SECONDS" -lt "$deadline" ]; then
      echo "setup: another process holds the package manager's lock; waiting" >&2
      sleep 5
      continue
    fi
    printf '%s\n' "$out" >&2
    return 1
  done
}

# Installed, also while a trigger of it is still pending or awaited: the
# package's files are all there.
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null \
    | grep -qE "^(install|hold) ok (installed|triggers-pending|triggers-awaited)$"
}

# The 32-bit Wine (for 32-bit Windows DLLs through the bridge) comes from the
# i386 architecture, which has to be known to dpkg before anything is installed.
if [ "$(dpkg --print-architecture)" = "amd64" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "add the i386 architecture"
  echo "setup: adding the i386 architecture (for 32-bit Wine)" >&2
  $sudo dpkg --add-architecture i386
  apt_get update -qq
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
need_root "install: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
