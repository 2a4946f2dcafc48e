#!/usr/bin/env bash
# Two network namespaces, one Wine prefix, an encoder at the same address in
# each: while the prefix's wineserver runs in the first, a program in the
# second never reaches the first one's encoder through it. It is served
# through a prefix of its namespace's own, or refused when that cannot be made.
# Usage: netns_prefix.sh BIN_DIR DLL   (WINEPREFIX set; run inside sealed-net)
set -euo pipefail
bin=$1 dll=$2
: "${WINEPREFIX:?}"
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: entering a test's own network namespaces needs root" >&2
  exit 77
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    [ "$pid" -gt 1 ] && kill "$pid" 2>/dev/null || true
  done
  wineserver -k 2>/dev/null || true
  if [ -n "${light:-}" ]; then
    [ -d "$light" ] && { WINEPREFIX=$light wineserver -k 2>/dev/null || true; }
    rm -rf "$light"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A wineserver of an earlier test stays a while after its last client; this
# test runs alone, so it is ended now, for the first namespace to start its own.
wineserver -k 2>/dev/null || true
timeout 30 wineserver -w || true

# One simulator per namespace, as the namespace's first process; prints its address once it listens.
start_sim() { # NAME PORT MAC
  exec {out}< <(exec unshare -n bash -c 'ip link set lo up && exec "$@"' sim \
    "$bin/pnv3400-sim" --port "$2" --state "$work/$1.state" --mac "$3")
  pids+=("$!")
  printf -v "pid_$1" %s "$!"
  local line
  read -r -t 20 -u "$out" line || { echo "simulator $1 did not start" >&2; exit 1; }
  port=${line##*:}
}
in_ns() { local pid=$1; shift; nsenter -t "$pid" -n -- "$@"; }
ctl_in() { local pid=$1; shift; in_ns "$pid" "$bin/pnv3400ctl" --library "$dll" --encoder "127.0.0.1:$port" --json "$@"; }

start_sim a 0 02:00:00:00:00:0a
start_sim b "$port" 02:00:00:00:00:0b
# The first namespace's wineserver outlives its clients, as one kept alive by any long-running Wine program.
in_ns "$pid_a" wineserver -p

ctl_in "$pid_a" write --gateway 172.16.0.11 >"$work/a.out"
grep -q '"outcome":"applied"' "$work/a.out" || { cat "$work/a.out"; exit 1; }
grep -q 172.16.0.11 "$work/a.state"
cp "$work/a.state" "$work/a.before"

# The second namespace's own prefix, blocked by a plain file: refused.
b_net=$(readlink "/proc/$pid_b/ns/net")
light=$WINEPREFIX.net-${b_net//[^0-9]/}
rm -rf "$light"
touch "$light"
for call in read "write --gateway 172.16.0.22"; do
  rc=0
  # shellcheck disable=SC2086
  ctl_in "$pid_b" $call >"$work/b.out" 2>"$work/b.err" || rc=$?
  # Named in the JSON message (and on standard error where the command prints its problems there).
  if [ "$rc" -eq 0 ] || ! grep -q "in network namespace net:\[.*not this program's net:\[${b_net//[^0-9]/}\].*WINEPREFIX of its own" "$work/b.out"; then
    echo "$call from the second namespace was not refused (exit $rc):" >&2
    cat "$work/b.out" "$work/b.err" >&2
    exit 1
  fi
  cmp -s "$work/a.state" "$work/a.before" || { echo "$call from the second namespace changed the first one's encoder" >&2; exit 1; }
done
if grep -q 172.16.0.22 "$work/b.state" 2>/dev/null; then
  echo "the refused write reached the second namespace's encoder" >&2
  exit 1
fi
echo "refused: $(grep -o "\"message\":\"[^\"]*" "$work/b.out" | head -n 1)"

# Unblocked: served by its own encoder through its own prefix and wineserver.
rm -f "$light"
ctl_in "$pid_b" read >"$work/b.out" 2>"$work/b.err" || { cat "$work/b.err" >&2; exit 1; }
grep -qi '"mac":"02:00:00:00:00:0b"' "$work/b.out" || { echo "the read did not reach the second namespace's encoder:" >&2; cat "$work/b.out" >&2; exit 1; }
ctl_in "$pid_b" write --gateway 172.16.0.22 >"$work/b.out"
grep -q '"outcome":"applied"' "$work/b.out" || { cat "$work/b.out" >&2; exit 1; }
grep -q 172.16.0.22 "$work/b.state"
cmp -s "$work/a.state" "$work/a.before" || { echo "the second namespace's write changed the first one's encoder" >&2; exit 1; }
[ -L "$light/drive_c" ] && [ "$(du -s --block-size=1M "$light" | cut -f1)" -lt 20 ] || { echo "$light is not a light prefix" >&2; exit 1; }
echo "served through $light ($(du -sh "$light" | cut -f1))"

# Both namespaces start at the same instant, no wineserver running: each is
# served by its own encoder, round after round (a look for the wineserver and
# its start that were two steps crossed in about half the rounds).
end_servers() {
  for p in "$WINEPREFIX" "$light"; do
    [ -d "$p" ] && { WINEPREFIX=$p wineserver -k 2>/dev/null || true; WINEPREFIX=$p timeout 30 wineserver -w || true; }
  done
}
exec {barrier}>"$work/barrier"
for round in 1 2 3 4 5 6; do
  end_servers
  flock -x "$barrier"
  racers=()
  for ns in a b; do
    pid_var=pid_$ns
    in_ns "${!pid_var}" flock -s -o "$work/barrier" "$bin/pnv3400ctl" --library "$dll" --encoder "127.0.0.1:$port" --json read \
      >"$work/race-$ns.out" 2>"$work/race-$ns.err" &
    racers+=("$!")
  done
  flock -u "$barrier"
  for ns in a b; do
    rc=0
    wait "${racers[0]}" || rc=$?
    racers=("${racers[@]:1}")
    if [ "$rc" -ne 0 ] || ! grep -qi "\"mac\":\"02:00:00:00:00:0$ns\"" "$work/race-$ns.out"; then
      echo "round $round: the read started at once from namespace $ns did not reach its own encoder (exit $rc):" >&2
      cat "$work/race-$ns.out" "$work/race-$ns.err" >&2
      exit 1
    fi
  done
done
echo "6 simultaneous rounds, each namespace served by its own encoder"
