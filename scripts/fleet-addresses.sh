#!/usr/bin/env bash
# Puts N consecutive addresses, from FIRST on, on the loopback device of the
# sealed network namespace, so that `pnv3400-sim --fleet N --listen FIRST` can
# listen on them. It refuses to run anywhere else: these addresses must never
# reach the real network. Adding an address already there is not an error.
# Usage: scripts/fleet-addresses.sh FIRST N       e.g. inside scripts/sealed-net.sh
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 FIRST N" >&2
  exit 2
fi
first=$1
count=$2

# The namespace that scripts/sealed-net.sh made and named, and never the
# first process's (the machine's own network).
here=$(readlink /proc/self/ns/net)
if [ -z "${PNV_SEALED_NETNS:-}" ] || [ "$PNV_SEALED_NETNS" != "$here" ] \
    || [ "$(readlink /proc/1/ns/net 2>/dev/null)" = "$here" ]; then
  echo "fleet-addresses: not inside the sealed network namespace (scripts/sealed-net.sh); refusing" >&2
  exit 97
fi
if ! [[ $count =~ ^[0-9]+$ ]] || ! [[ $first =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})$ ]]; then
  echo "fleet-addresses: FIRST must be a dotted address and N a number" >&2
  exit 2
fi
value=0
for i in 1 2 3 4; do
  octet=${BASH_REMATCH[$i]}
  if [ "$octet" -gt 255 ]; then
    echo "fleet-addresses: $first is not an address" >&2
    exit 2
  fi
  value=$((value * 256 + octet))
done
if [ "$count" -lt 1 ] || [ $((value + count - 1)) -gt 4294967295 ]; then
  echo "fleet-addresses: N must be at least 1 and the range must end by 255.255.255.255" >&2
  exit 2
fi

# One ip process for the whole range: a thousand addresses take a fraction of a second.
for ((a = value; a < value + count; a++)); do
  printf 'address replace %d.%d.%d.%d/32 dev lo\n' $((a >> 24 & 255)) $((a >> 16 & 255)) $((a >> 8 & 255)) $((a & 255))
done | ip -batch -
