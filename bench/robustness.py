#!/usr/bin/env python3
"""Attacks on pnv3400-sim and libtessalin.so from outside, for docs/robustness.md.

Every client talks to 127.0.0.1 only. Run from the source folder after a build:

  python3 bench/robustness.py load     [--clients 1,10,100,1000] [--rounds 3]
  python3 bench/robustness.py hostile  [--per-kind 75]
  python3 bench/robustness.py soak     [--cycles 10000]
  python3 bench/robustness.py kills    [--kills 200]

Each prints one table of counts and ratios. Times are for orientation only.
"""

import argparse
import asyncio
import ctypes
import os
import random
import socket
import struct
import sys
import tempfile
import threading
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import pnvtest  # noqa: E402

BIN = os.environ.get("PNV_BIN_DIR", os.path.join(ROOT, "build", "bin"))
REQUEST = bytes([10, 1, 2, 3, 0x0B, 0xB9, 172, 16, 0, 1, 0x02, 0xBC, 10, 1, 2, 254, 255, 255, 255, 0])


def frame(kind, sequence, payload=b""):
    header = struct.pack(">BBBBHH", 0x50, 0x4E, 1, kind, sequence, len(payload))
    return header + struct.pack(">I", zlib.crc32(payload, zlib.crc32(header))) + payload


HELLO = frame(0x01, 1, struct.pack(">i", 14))


class Simulator:
    """pnv3400-sim on 127.0.0.1 and a free port, with a state file of its own."""

    def __init__(self, extra_env=None, state=None):
        self.folder = tempfile.TemporaryDirectory()
        self.state = state or os.path.join(self.folder.name, "encoder.state")
        self.log = open(os.path.join(self.folder.name, "sim.log"), "wb")
        env = dict(os.environ, **(extra_env or {}))
        try:
            self.process, (address,) = pnvtest.start_server(
                [os.path.join(BIN, "pnv3400-sim"), "--port", "0", "--state", self.state], stderr=self.log, env=env)
        except (RuntimeError, ValueError) as error:
            raise SystemExit("the simulator did not start: %s" % error)
        self.port = int(address.rsplit(":", 1)[1])

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def settled_fds(self):
        """The descriptor count once the last client's goodbye has been handled (stable for 200 ms, 5 s at most)."""
        last, stable, deadline = self.fds(), 0, time.monotonic() + 5
        while stable < 4 and time.monotonic() < deadline:
            time.sleep(0.05)
            now = self.fds()
            stable = stable + 1 if now == last else 0
            last = now
        return last

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def stop(self, hard=False):
        pnvtest.stop(self.process, hard=hard, wait=10)
        self.log.close()


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


async def read_frame(reader):
    header = await reader.readexactly(12)
    length = struct.unpack(">H", header[6:8])[0]
    return header + await reader.readexactly(length)


async def good_session(port, budget=3.0):
    """Connect, HELLO, READ, BYE within the library's budget; the seconds it took, or None."""
    start = time.monotonic()
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), budget)
    except (OSError, asyncio.TimeoutError):
        return None
    try:
        async def exchange():
            writer.write(HELLO)
            reply = await read_frame(reader)
            if reply[12] != 0:
                return False
            writer.write(frame(0x02, 2))
            reply = await read_frame(reader)
            return reply[3] == 0x82 and reply[12] == 0 and len(reply) == 12 + 27
        left = budget - (time.monotonic() - start)
        ok = await asyncio.wait_for(exchange(), max(left, 0.001))
        writer.write(frame(0x04, 3))
        return time.monotonic() - start if ok else None
    except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError):
        return None
    finally:
        writer.close()


def load(args):
    sim = Simulator()
    print("| Clients at once | Sessions | Served | Refused or failed | Failure ratio | p50 ms | p99 ms |")
    print("|---|---|---|---|---|---|---|")
    try:
        for clients in [int(c) for c in args.clients.split(",")]:
            async def level():
                results = []
                for _ in range(args.rounds):
                    results += await asyncio.gather(*[good_session(sim.port) for _ in range(clients)])
                return results
            results = asyncio.run(level())
            served = [r for r in results if r is not None]
            failed = len(results) - len(served)
            print("| %d | %d | %d | %d | %.4f | %.1f | %.1f |" % (
                clients, len(results), len(served), failed, failed / len(results),
                percentile(served, 50) * 1000, percentile(served, 99) * 1000))
    finally:
        sim.stop()


async def hostile_client(port, kind, idle_after=None):
    """One misbehaving client; returns how long the simulator took to drop it, or None if it never did."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    start = time.monotonic()

    async def misbehave():
        if kind == "silent":
            await asyncio.sleep(3600)
        elif kind == "trickle":
            for byte in HELLO + frame(0x02, 2):
                writer.write(bytes([byte]))
                await asyncio.sleep(1.0)
            await asyncio.sleep(3600)
        elif kind == "garbage":
            writer.write(os.urandom(4096))
            await asyncio.sleep(3600)
        elif kind == "oversized":
            writer.write(HELLO[:6] + b"\xff\xff" + HELLO[8:12])
            await asyncio.sleep(3600)
        elif kind == "bad-checksum":
            writer.write(HELLO[:11] + bytes([HELLO[11] ^ 1]) + HELLO[12:])
            await asyncio.sleep(3600)
        elif kind == "idle-after-handshake":
            writer.write(HELLO)
            await asyncio.sleep(3600)

    task = asyncio.ensure_future(misbehave())
    try:
        while True:   # the drop shows as end of stream or a reset
            data = await reader.read(4096)
            if not data:
                break
    except OSError:
        pass
    task.cancel()
    writer.close()
    return time.monotonic() - start


KINDS = ["silent", "trickle", "garbage", "oversized", "bad-checksum", "idle-after-handshake"]


def hostile(args):
    """Hostile clients that come back as soon as they are dropped, while a good client keeps trying."""
    sim = Simulator()
    try:
        async def attack():
            deadline = time.monotonic() + args.seconds
            drops = {kind: [] for kind in KINDS}
            started = {kind: 0 for kind in KINDS}

            async def attacker(kind):
                while time.monotonic() < deadline:
                    started[kind] += 1
                    try:
                        drops[kind].append(await hostile_client(sim.port, kind))
                    except OSError:
                        await asyncio.sleep(0.01)
            attackers = [asyncio.ensure_future(attacker(kind)) for kind in KINDS for _ in range(args.per_kind)]
            await asyncio.sleep(1.0)   # let them take every slot first
            good, attempts = [], 0
            while time.monotonic() < deadline:
                attempts += 1
                result = await good_session(sim.port)
                if result is not None:
                    good.append(result)
            for task in attackers:
                task.cancel()
            await asyncio.gather(*attackers, return_exceptions=True)
            return good, attempts, drops, started
        good, attempts, drops, started = asyncio.run(attack())
        print("%d hostile clients (%d of each kind) coming back at once when dropped, for %.0f s" % (
            args.per_kind * len(KINDS), args.per_kind, args.seconds))
        print("Good client meanwhile, each attempt with the library's 3 s budget: %d of %d served (%.3f), "
              "p50 %.0f ms, p99 %.0f ms" % (len(good), attempts, len(good) / max(attempts, 1),
                                           percentile(good, 50) * 1000, percentile(good, 99) * 1000))
        print()
        print("| Kind | Connections | Dropped by the simulator | In flight when the attack ended | Median s from connect to drop "
              "| p99 s | Max s |")
        print("|---|---|---|---|---|---|---|")
        for kind in KINDS:
            times = drops[kind]
            print("| %s | %d | %d | %d | %.2f | %.2f | %.2f |" % (
                kind, started[kind], len(times), started[kind] - len(times), percentile(times, 50),
                percentile(times, 99), max(times) if times else float("nan")))
        print()
        print("simulator once the attack is over: %d descriptors, RSS %d KiB" % (sim.settled_fds(), sim.rss_kib()))
    finally:
        sim.stop()


def library():
    lib = ctypes.CDLL(os.path.join(BIN, "libtessalin.so"))
    lib.S_Connect.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_int32]
    lib.ConfigRead.argtypes = [ctypes.c_char_p, ctypes.c_int32]
    lib.ConfigWrite.argtypes = [ctypes.c_char_p, ctypes.c_int32]
    return lib


def own_fds():
    return len(os.listdir("/proc/self/fd"))


def own_rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def soak(args):
    lib = library()
    sim = Simulator()
    address = ctypes.create_string_buffer(b"127.0.0.1", 16)
    failures = 0
    try:
        def cycle(i):
            nonlocal failures
            if lib.S_Connect(address, 14, sim.port) != 0:
                failures += 1
                return
            buffer = ctypes.create_string_buffer(500)
            if lib.ConfigRead(buffer, 500) != 26:
                failures += 1
            request = ctypes.create_string_buffer(REQUEST if i % 2 else REQUEST[:16] + bytes([255, 255, 0, 0]), 500)
            if lib.ConfigWrite(request, 500) != 1 or request.raw[0] != 0:
                failures += 1
            lib.S_Disconnect()
        for i in range(100):   # warm-up: first allocations are not drift
            cycle(i)
        before = (sim.settled_fds(), sim.rss_kib(), own_fds(), own_rss_kib())
        start = time.monotonic()
        for i in range(args.cycles):
            cycle(i)
        elapsed = time.monotonic() - start
        after = (sim.settled_fds(), sim.rss_kib(), own_fds(), own_rss_kib())
        print("%d cycles (connect, read, write, disconnect) in %.1f s, %d failed calls" % (args.cycles, elapsed, failures))
        print()
        print("| | Descriptors at start | at end | RSS KiB at start | at end |")
        print("|---|---|---|---|---|")
        print("| simulator | %d | %d | %d | %d |" % (before[0], after[0], before[1], after[1]))
        print("| caller of the library | %d | %d | %d | %d |" % (before[2], after[2], before[3], after[3]))
    finally:
        lib.DLLClose()
        sim.stop()


def load_state(path):
    """The settings of a state file, or None when it is not a whole, sound state."""
    values = pnvtest.state_values(path)
    keys = {"mac", "address", "port", "aux-address", "aux-port", "gateway", "mask"}
    return values if values is not None and set(values) == keys else None


def kills(args):
    folder = tempfile.TemporaryDirectory()
    state = os.path.join(folder.name, "encoder.state")
    first = REQUEST
    second = bytes([192, 168, 77, 200, 0x9C, 0x40, 172, 16, 0, 1, 0x02, 0xBC, 192, 168, 0, 1, 255, 255, 0, 0])
    allowed = {("10.1.2.3", "3001"), ("192.168.77.200", "40000"), ("172.16.30.1", "3001")}
    torn = wrong = mid_save = caught_mid_save = 0
    rng = random.Random(3400)
    for round_ in range(args.kills):
        slow = round_ % 2 == 0   # half the kills land inside a save held open half-way
        sim = Simulator({"PNV3400_SIM_SLOW_SAVE_MS": "400"} if slow else {}, state=state)
        s = socket.create_connection(("127.0.0.1", sim.port))
        s.sendall(HELLO)
        s.recv(64)
        s.sendall(frame(0x03, 2, first if round_ % 3 else second))
        if slow:
            time.sleep(rng.uniform(0.0, 0.3))   # somewhere inside the paused save
            mid_save += 1
        else:
            time.sleep(rng.uniform(0.0, 0.01))
        sim.stop(hard=True)
        s.close()
        if os.path.exists(state + ".tmp"):
            caught_mid_save += 1   # the kill cut a save short: exactly where a plain overwrite would tear
        values = load_state(state)
        if values is None:
            torn += 1
        elif (values["address"], values["port"]) not in allowed:
            wrong += 1
    print("%d kill -9 during writes (%d aimed inside a save held open half-way, %d left a half-written temporary "
          "file behind): %d torn state files, %d with values never written" % (args.kills, mid_save, caught_mid_save,
                                                                            torn, wrong))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("load")
    p.add_argument("--clients", default="1,10,100,1000")
    p.add_argument("--rounds", type=int, default=3)
    p = sub.add_parser("hostile")
    p.add_argument("--per-kind", type=int, default=75)
    p.add_argument("--seconds", type=float, default=20.0)
    p = sub.add_parser("soak")
    p.add_argument("--cycles", type=int, default=10000)
    p = sub.add_parser("kills")
    p.add_argument("--kills", type=int, default=200)
    args = parser.parse_args()
    # A thousand clients at once need a thousand descriptors, and then some.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    {"load": load, "hostile": hostile, "soak": soak, "kills": kills}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
