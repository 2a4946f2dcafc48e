#!/usr/bin/env bash
# The Debian package as a new user meets it: built with CPack from this build,
# unpacked into a temporary folder (never installed), its programs started
# from there with no variable pointing at the library, its desktop entry,
# AppStream file and manual pages checked by their validators, and lintian
# run over it.
# Usage: check_package.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) when a tool is missing; scripts/setup.sh installs them all.
set -euo pipefail
build=$1
source=$2

source "$(dirname "$0")/../support/shell-test.sh"
source "$(dirname "$0")/../support/sim.sh"
require cpack dpkg-deb dpkg-shlibdeps readelf desktop-file-validate appstreamcli lintian groff Xvfb xdotool xprop
tmp=$work
step() { echo "== $*"; }

# running PID LOG: the process is alive, or the test fails with its output.
running() { kill -0 "$1" 2>/dev/null || { cat "$2" >&2; fail "process $1 ended early"; }; }

step "cpack -G DEB"
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out") >"$tmp/cpack.log" 2>&1 \
  || { cat "$tmp/cpack.log" >&2; fail "cpack could not build the package"; }
debs=("$tmp"/out/pnv3400-setup_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one pnv3400-setup .deb, found: ${debs[*]}"
deb=${debs[0]}

step "contents and control fields"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$tmp/contents"
expect() { grep -qxE "$1" "$tmp/contents" || fail "the package lacks $1"; }
expect 'usr/bin/pnv3400-setup'
expect 'usr/bin/pnv3400-sim'
expect 'usr/lib/[^/]+/pnv3400/libtessalin\.so'
if [ -f "$build/bin/tessalin-host64.exe" ]; then
  expect 'usr/lib/[^/]+/pnv3400/libtessalin-bridge\.so'
  expect 'usr/lib/[^/]+/pnv3400/tessalin-host32\.exe'
  expect 'usr/lib/[^/]+/pnv3400/tessalin-host64\.exe'
  [[ $(dpkg-deb -f "$deb" Recommends) == *wine* ]] || fail "Recommends lacks wine"
fi
expect 'usr/share/applications/pnv3400-setup\.desktop'
expect 'usr/share/metainfo/[^/]+\.metainfo\.xml'
expect 'usr/share/ansible/collections/ansible_collections/pnv3400/encoder/plugins/modules/encoder_config\.py'
for size in 16 32 48 64 128 256; do expect "usr/share/icons/hicolor/${size}x${size}/apps/pnv3400-setup\.png"; done
for page in "$source"/docs/man/*.1; do expect "usr/share/man/man1/$(basename "$page")\.gz"; done
if grep -qE '^usr/lib/([^/]+/)?libtessalin' "$tmp/contents"; then
  fail "libtessalin.so is in a public library folder"
fi
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libqt6widgets6* && $depends == *libjpeg* ]] || fail "Depends lacks the linked libraries: $depends"

step "unpack"
root=$tmp/root
dpkg-deb -x "$deb" "$root"
library=$(echo "$root"/usr/lib/*/pnv3400/libtessalin.so)
# No search path into the build: neither in the dynamic section nor compiled
# in. (The build's other folders may be named: sanitizers keep the names of
# generated sources for their reports.)
for file in "$root"/usr/bin/* "$library"; do
  if readelf -d "$file" | grep -qE 'RPATH|RUNPATH'; then fail "$file carries a library search path"; fi
  if grep -qF "$build/bin" "$file"; then fail "$file names the build's program folder $build/bin"; fi
done

step "validators"
desktop=$root/usr/share/applications/pnv3400-setup.desktop
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate has remarks: $out"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml || fail "appstreamcli validate"
for page in "$root"/usr/share/man/man1/*.gz; do
  out=$(gzip -dc "$page" | groff -ww -z -man 2>&1)
  [ -z "$out" ] || fail "groff on $(basename "$page"): $out"
done
out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian reports errors or warnings: $out"

collections=$root/usr/share/ansible/collections   # where Debian's ansible-core looks for packaged collections
if command -v ansible-doc >/dev/null; then
  step "ansible-doc finds the collection in the unpacked tree"
  out=$(HOME=$tmp ANSIBLE_LOCAL_TEMP=$tmp/ansible ANSIBLE_COLLECTIONS_PATH=$collections \
    ansible-doc pnv3400.encoder.encoder_config 2>&1) || fail "ansible-doc pnv3400.encoder.encoder_config: $out"
fi

# The programs run from the unpacked tree, with nothing in the environment to
# help them find the library.
unset TESSALIN_LIBRARY LD_LIBRARY_PATH

step "the unpacked simulator"
sim_start "$tmp" "$root/usr/bin/pnv3400-sim" --listen 127.0.0.1 --port 0 --state "$tmp/encoder.state" \
  --mac 02:50:4e:56:34:30 || fail "the unpacked simulator did not start"
pids+=("$sim_pid")
port=$sim_port

if [ -x "$root/usr/bin/pnv3400ctl" ]; then
  step "the unpacked pnv3400ctl reads the unpacked simulator"
  out=$(timeout 30 "$root/usr/bin/pnv3400ctl" --encoder "127.0.0.1:$port" read 2>&1) || fail "pnv3400ctl read: $out"
  grep -qiE '02.50.4e.56.34.30' <<<"$out" || fail "pnv3400ctl read did not show the simulator's MAC: $out"
  grep -qx "ip $(sim_state_value "$tmp/encoder.state" address)" <<<"$out" \
    || fail "pnv3400ctl read did not show the address the simulator holds: $out"
else
  echo "pnv3400ctl is not in the package: its read step is left out"
fi

# The window's first full paint shows in Qt's painting log; the library is
# the unpacked one when the process maps it from the unpacked folder.
window_painted() { running "$1" "$2"; grep -qE 'Flushing QRegion\(.*\) of TForm_Main\(' "$2"; }
maps_library() { grep -qF "$library" "/proc/$1/maps"; }

step "the unpacked utility, offscreen"
: >"$tmp/setup.log"
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="qt.widgets.painting=true" "$root/usr/bin/pnv3400-setup" \
  >"$tmp/setup.log" 2>&1 &
setup=$!
pids+=("$setup")
wait_until 30 "the utility's window painted offscreen" window_painted "$setup" "$tmp/setup.log"
maps_library "$setup" || fail "the utility did not bind $library"
kill "$setup"

step "the unpacked utility under X: the window and its class"
start_xvfb
env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY "$root/usr/bin/pnv3400-setup" >"$tmp/setup-x.log" 2>&1 &
setup=$!
pids+=("$setup")
window=$(find_window 30) || { cat "$tmp/setup-x.log" >&2; fail "no window appeared under X"; }
maps_library "$setup" || fail "the utility under X did not bind $library"
class=$(xprop -id "$window" WM_CLASS | sed -n 's/.*= "[^"]*", "\([^"]*\)"$/\1/p')
wanted=$(sed -n 's/^StartupWMClass=//p' "$desktop")
[ -n "$class" ] && [ "$class" = "$wanted" ] || fail "window class '$class', desktop entry StartupWMClass '$wanted'"

echo "package checked: $(basename "$deb")"
