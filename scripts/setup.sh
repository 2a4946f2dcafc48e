#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
# Safe to run again and again; uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libjpeg62-turbo-dev
  fonts-dejavu-core fonts-dejavu-extra
  xvfb xauth x11-utils xdotool imagemagick
  iproute2 util-linux
  dpkg-dev file desktop-file-utils appstream lintian groff-base man-db
  ansible-core
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

# The 32-bit Wine (for 32-bit Windows DLLs through the bridge) comes from the
# i386 architecture, which has to be known to dpkg before anything is installed.
if [ "$(dpkg --print-architecture)" = "amd64" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "add the i386 architecture"
  echo "setup: adding the i386 architecture (for 32-bit Wine)" >&2
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
need_root "install: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
