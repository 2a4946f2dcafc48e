#!/usr/bin/env bash
# Runs a command inside a private network namespace whose only device is its
# own loopback, with 127.0.0.1 and the encoder's factory address 172.16.30.1
# on it. Nothing run inside can reach the real network.
# It says so in PNV_SEALED_NETNS, the namespace's identity ("net:[INODE]"):
# a test is sealed when the namespace it runs in is that one, a fact that no
# other test can change while it runs (a device count can: another test's
# veth pair shows in it).
# Usage: scripts/sealed-net.sh COMMAND [ARGS...]
set -euo pipefail

if [ "$(id -u)" -eq 0 ]; then unshare_flags=(-n); else unshare_flags=(-r -n); fi

inner='
set -e
ip link set lo up
ip addr add 172.16.30.1/32 dev lo
devices=$(tail -n +3 /proc/self/net/dev | wc -l)
if [ "$devices" -ne 1 ]; then
  echo "sealed-net: the namespace has $devices network devices, expected loopback only" >&2
  exit 97
fi
PNV_SEALED_NETNS=$(readlink /proc/self/ns/net)
export PNV_SEALED_NETNS
exec "$@"
'
if ! unshare "${unshare_flags[@]}" true 2>/dev/null; then
  echo "sealed-net: cannot create a private network namespace (unshare ${unshare_flags[*]} failed)." >&2
  echo "sealed-net: refusing to run without one, so that nothing can reach the real network." >&2
  exit 96
fi
exec unshare "${unshare_flags[@]}" bash -c "$inner" sealed-net "$@"
