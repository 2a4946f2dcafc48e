#!/usr/bin/env bash
# Without HOME (a service, a task with a scrubbed environment), the bridge's own
# Wine prefix lies under the account's home from the password database, never
# under the shared temporary folder; without a home there either, the binding
# refuses, saying what to set. Runs in a mount namespace of its own, with tmpfs
# over the account's home and over /tmp, and the account's home entry removed
# from a copy of the password database (read from its file alone) for the refusal.
# Usage: home_unset.sh BIN_DIR DLL   (WINEPREFIX set to a made prefix; run inside sealed-net)
set -euo pipefail
bin=$1 dll=$2
: "${WINEPREFIX:?}"
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: a mount namespace of the test's own needs root" >&2
  exit 77
fi
if [ -z "${PNV_HOME_UNSET_INSIDE:-}" ]; then
  exec env PNV_HOME_UNSET_INSIDE=1 unshare -m --propagation private bash "$0" "$@"
fi

shared=$(realpath "$WINEPREFIX")
account=$(getent passwd "$(id -u)")
home=$(cut -d: -f6 <<<"$account")
[ -d "$home" ] || { echo "the account's home $home is not a folder" >&2; exit 1; }
mount -t tmpfs -o mode=0700 pnv-home "$home"
mount -t tmpfs -o mode=1777 pnv-tmp /tmp
work=$(mktemp -d)
prefix=$home/.local/share/pnv3400/wine
sim=0
cleanup() {
  [ "$sim" -gt 1 ] && kill "$sim" 2>/dev/null || true
  [ -d "$prefix" ] && { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; }
}
trap cleanup EXIT

# The bridge's own prefix, made beforehand as the namespaces' light prefixes
# are (links to the made prefix's drives, copies of its registry), so that no
# new prefix takes its seconds here.
mkdir -p "$prefix"
ln -s "$shared/drive_c" "$shared/dosdevices" "$prefix/"
cp "$shared"/{system,user,userdef}.reg "$shared/.update-timestamp" "$prefix/"

exec {out}< <(exec "$bin/pnv3400-sim" --port 0 --state "$work/encoder.state")
sim=$!
read -r -t 20 -u "$out" line || { echo "the simulator did not start" >&2; exit 1; }
port=${line##*:}
read_scrubbed() { env -u HOME -u XDG_DATA_HOME -u WINEPREFIX "$bin/pnv3400ctl" --library "$dll" --encoder "127.0.0.1:$port" --json read; }

# Without HOME: served through the prefix under the account's home.
read_scrubbed >"$work/read.out" || { cat "$work/read.out"; exit 1; }
grep -q '"gateway":"172.16.0.1"' "$work/read.out" || { cat "$work/read.out"; exit 1; }
grep -lqz "^WINEPREFIX=$prefix\$" /proc/[0-9]*/environ 2>/dev/null \
  || { echo "no wineserver of $prefix runs: the read used another prefix" >&2; exit 1; }

# Without HOME and without a home in the password database: refused, before any Wine process.
# (Only the file: systemd's name service makes up root's entry by itself.)
grep -v "^$(cut -d: -f1 <<<"$account"):" /etc/passwd >"$work/passwd"
mount --bind "$work/passwd" /etc/passwd
sed 's/^passwd:.*/passwd: files/' /etc/nsswitch.conf >"$work/nsswitch.conf"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
rc=0
read_scrubbed >"$work/refused.out" 2>"$work/refused.err" || rc=$?
[ "$rc" -eq 3 ] || { echo "exit code $rc, not 3 (library)" >&2; cat "$work/refused.err" >&2; exit 1; }
grep -qF "$dll: no home folder for the Wine prefix (set WINEPREFIX to a folder of your own)" "$work/refused.err" \
  || { cat "$work/refused.err" >&2; exit 1; }

# Never the shared temporary folder: no prefix, no data folder there.
if find /tmp -path '*pnv3400/wine*' -o -name .local | grep -q .; then
  echo "the bridge used the temporary folder:" >&2
  find /tmp -path '*pnv3400/wine*' -o -name .local >&2
  exit 1
fi
echo "home unset: prefix under $home, refused without a home"
