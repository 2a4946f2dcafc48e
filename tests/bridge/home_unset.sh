#!/usr/bin/env bash
# Without HOME (a service, a task with a scrubbed environment), the bridge's own
# Wine prefix lies under the account's home from the password database, never
# under the shared temporary folder; without a home there either, the binding
# refuses, saying what to set. Runs in a mount namespace of its own, where the
# password database is a copy read from its file alone: first with the
# account's home moved to a folder of the test's, then without the account.
# (Nothing is mounted over a folder: the build may lie in the home or in /tmp.)
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
user=$(id -un)
work=$(mktemp -d)
home=$work/home
mkdir -m 0700 "$home"
prefix=$home/.local/share/pnv3400/wine
sim=0
cleanup() {
  [ "$sim" -gt 1 ] && kill "$sim" 2>/dev/null || true
  [ -d "$prefix" ] && { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; }
  # The copies are mounted (twice for the password file) until unmounted.
  while umount /etc/passwd 2>/dev/null; do :; done
  umount /etc/nsswitch.conf 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The password database from its file alone (systemd's name service makes up
# root's entry by itself), the account's home there replaced by ours.
sed 's/^passwd:.*/passwd: files/' /etc/nsswitch.conf >"$work/nsswitch.conf"
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
awk -F: -v OFS=: -v user="$user" -v home="$home" '$1 == user { $6 = home } { print }' /etc/passwd >"$work/passwd"
grep -q "^$user:.*:$home:" "$work/passwd" || { echo "$user is not in /etc/passwd" >&2; exit 1; }
mount --bind "$work/passwd" /etc/passwd

# Where a program without a home would put its data folder: the shared
# temporary folder's .local (other tests come and go in /tmp meanwhile, so
# only this place is watched).
stray=/tmp/.local/share/pnv3400
[ ! -e "$stray" ] || { echo "$stray is there before the test; remove it" >&2; exit 1; }

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

# Without HOME and without the account in the password database: refused, before any Wine process.
grep -v "^$user:" /etc/passwd >"$work/passwd.without"
mount --bind "$work/passwd.without" /etc/passwd
rc=0
read_scrubbed >"$work/refused.out" 2>"$work/refused.err" || rc=$?
[ "$rc" -eq 3 ] || { echo "exit code $rc, not 3 (library)" >&2; cat "$work/refused.err" >&2; exit 1; }
grep -qF "$dll: no home folder for the Wine prefix (set WINEPREFIX to a folder of your own)" "$work/refused.err" \
  || { cat "$work/refused.err" >&2; exit 1; }

# Never the shared temporary folder.
[ ! -e "$stray" ] || { echo "the bridge used the temporary folder: $stray" >&2; exit 1; }
echo "home unset: prefix under the account's home, refused without a home"
