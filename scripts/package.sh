#!/usr/bin/env bash
# Builds the Debian package: sets up, configures a release build for /usr in
# build-package/ (tests left out) with Debian's hardening flags, builds it and
# runs CPack.
# Usage: scripts/package.sh        prints the path of the .deb last
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build-package"

bash "$root/scripts/setup.sh"
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >&2
# The machine's cores may be shared: two jobs at most.
cmake --build "$dir" -j 2 >&2
(cd "$dir" && cpack -G DEB -B "$dir/package" >&2)
ls "$dir"/package/pnv3400-setup_*.deb
