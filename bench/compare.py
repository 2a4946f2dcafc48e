#!/usr/bin/env python3
"""Runs each figure of the utility beside its baseline, in turn, and prints one
table: figure, ours, baseline, ratio (median and range over the pairs), target.

    python3 bench/compare.py BIN_DIR [--reps N] [--only NAME...] [--cpu N]

Whole-process figures come from the process's own accounting (wait4's rusage:
user + system CPU time, peak resident memory); the wall time of a start is
taken from fork to reaped exit, with no shell in between. Every address is
loopback. See bench/README.md.
"""
import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "support"))
import pnvtest  # noqa: E402


def run_accounted(argv, env):
    """Runs argv to its end; returns (cpu seconds, peak RSS KiB, wall seconds)."""
    start = time.monotonic()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed ({status})")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss, wall


def output_of(argv):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed: {done.stderr.strip()}")
    return done.stdout.split()


class Server:
    """A server that prints "listening on 127.0.0.1:PORT" once ready."""

    def __init__(self, argv):
        try:
            self.process, (address,) = pnvtest.start_server(argv)
        except (RuntimeError, ValueError) as error:
            sys.exit(str(error))
        self.port = address.rsplit(":", 1)[1]

    def stop(self):
        pnvtest.stop(self.process, wait=10)


def pairs(reps, ours, baseline):
    """Alternates the two measurements, starting with each in turn."""
    result = []
    for i in range(reps):
        if i % 2 == 0:
            a = ours()
            b = baseline()
        else:
            b = baseline()
            a = ours()
        result.append((a, b))
    return result


rows = []


def add_row(figure, unit, values, target, higher_is_better=False, fmt="{:.1f}", digits=2):
    ours = [a for a, _ in values]
    base = [b for _, b in values]
    ratios = [a / b for a, b in values]
    median = statistics.median(ratios)
    met = median >= target if higher_is_better else median <= target
    rows.append((figure, fmt.format(statistics.median(ours)) + " " + unit,
                 fmt.format(statistics.median(base)) + " " + unit,
                 f"{median:.{digits}f} ({min(ratios):.{digits}f} to {max(ratios):.{digits}f})",
                 ("≥ " if higher_is_better else "≤ ") + f"{target:.2f}" + ("" if met else " **missed**")))
    print(f"  {figure}: {rows[-1][3]}", file=sys.stderr, flush=True)


def start_up(bin_dir, reps, env, label, wall_too=False):
    ours = [os.path.join(bin_dir, "pnv3400-bench-firstpaint")]
    base = [os.path.join(bin_dir, "pnv3400-baseline-window")]
    runs = pairs(reps, lambda: run_accounted(ours, env), lambda: run_accounted(base, env))
    add_row(f"Start to first paint and quit, {label}, CPU time", "ms",
            [(a[0] * 1e3, b[0] * 1e3) for a, b in runs], 1.15)
    if wall_too:
        add_row(f"Start to first paint and quit, {label}, wall time", "ms",
                [(a[2] * 1e3, b[2] * 1e3) for a, b in runs], 1.15)


def memory(bin_dir, reps, env):
    ours = [os.path.join(bin_dir, "pnv3400-bench-firstpaint"), "--both-pages"]
    base = [os.path.join(bin_dir, "pnv3400-baseline-window"), "--both-pages"]
    runs = pairs(reps, lambda: run_accounted(ours, env), lambda: run_accounted(base, env))
    add_row("Peak memory after both pages shown, offscreen", "MiB",
            [(a[1] / 1024, b[1] / 1024) for a, b in runs], 1.10, digits=3)   # a few hundred KiB decide it


@contextlib.contextmanager
def on_one_core(pids):
    """This process, what it starts meanwhile, and the given processes run on one core, then where they ran."""
    before = {pid: os.sched_getaffinity(pid) for pid in [0] + pids}
    core = {min(before[0])}
    for pid in before:
        os.sched_setaffinity(pid, core)
    try:
        yield
    finally:
        for pid, cores in before.items():
            os.sched_setaffinity(pid, cores)


def wire(bin_dir, reps, clients_list, load_ms):
    state = tempfile.mkdtemp(prefix="pnv-bench-")
    sim = Server([os.path.join(bin_dir, "pnv3400-sim"), "--port", "0", "--state", os.path.join(state, "sim.state")])
    plain = Server([os.path.join(bin_dir, "pnv3400-wire-baseline"), "server"])
    try:
        lib = os.path.join(bin_dir, "pnv3400-bench-libread")
        c = os.path.join(bin_dir, "pnv3400-wire-baseline")
        # One request in flight: client and server take turns, and on two cores each pair would land on one core
        # or on both at the scheduler's whim (a wake-up across cores costs more than the rest of a round trip).
        # Both sides of both pairs run on one core, so the figure compares the work each side does.
        with on_one_core([sim.process.pid, plain.process.pid]):
            runs = pairs(reps, lambda: float(output_of([lib, sim.port, "3000"])[0]),
                         lambda: float(output_of([c, "roundtrip", plain.port, "3000"])[0]))
        add_row("Read round trip, on one core: library + simulator vs C client + C server", "µs", runs, 1.30,
                fmt="{:.1f}")
        for clients in clients_list:
            served = []

            def load(port):
                rate, took = output_of([c, "load", port, str(clients), str(load_ms)])
                served.append(int(took))
                return float(rate)

            runs = pairs(reps, lambda: load(sim.port), lambda: load(plain.port))
            note = "" if min(served) == clients else f" (served {min(served)} to {max(served)})"
            add_row(f"Simulator throughput, {clients} clients{note}, vs C server", "reads/s", runs, 0.85,
                    higher_is_better=True, fmt="{:.0f}")
    finally:
        sim.stop()
        plain.stop()
        shutil.rmtree(state, ignore_errors=True)


def add_absolute_row(figure, unit, values, target=None, fmt="{:.0f}"):
    """A figure with no baseline beside it: its median and range, against a fixed bound if any."""
    median = statistics.median(values)
    verdict = "reported"
    if target is not None:
        verdict = f"≤ {fmt.format(target)} {unit}" + ("" if median <= target else " **missed**")
    rows.append((figure, fmt.format(median) + " " + unit, "—",
                 f"{fmt.format(min(values))} to {fmt.format(max(values))} {unit}", verdict))
    print(f"  {figure}: {rows[-1][1]}", file=sys.stderr, flush=True)


def bridge(bin_dir, reps):
    """The Wine bridge with our Tessalin.DLL (x86 and x64) against libtessalin.so, both on the simulator."""
    build = os.path.dirname(bin_dir)
    if not shutil.which("wine") or not os.path.exists(os.path.join(build, "windows", "x64", "Tessalin.DLL")):
        print("Wine or the mingw-w64 build is missing: the bridge figures are left out", file=sys.stderr)
        return
    work = tempfile.mkdtemp(prefix="pnv-bench-bridge-")
    env = dict(os.environ, WINEPREFIX=os.path.join(work, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    start = time.monotonic()
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600,
                   check=True)
    created = time.monotonic() - start
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    add_absolute_row("Wine prefix, first-ever creation (wineboot -i)", "s", [created], fmt="{:.1f}")
    sim = Server([os.path.join(bin_dir, "pnv3400-sim"), "--port", "0", "--state", os.path.join(work, "sim.state")])
    program = os.path.join(bin_dir, "pnv3400-bench-bridge")
    native = os.path.join(bin_dir, "libtessalin.so")
    bridged = os.path.join(bin_dir, "libtessalin-bridge.so")

    def measure(library, dll):
        done = subprocess.run([program, library, dll, sim.port, "2000"], env=env, capture_output=True, text=True,
                              timeout=120)
        if done.returncode != 0:
            sys.exit(f"{program} failed: {done.stderr.strip()}")
        started, read = done.stdout.split()
        return float(started), float(read)

    try:
        # As for the wire figure, every process of both sides on one core: through Wine a call hops between four
        # processes (client, host, wineserver, simulator), and on idle cores that halt each hop would also pay a
        # core's wake-up, at the scheduler's whim.
        with on_one_core([sim.process.pid]):
            bridge_rows(build, reps, measure, bridged, native)
    finally:
        sim.stop()
        subprocess.run(["wineserver", "-k"], env=env, timeout=60)
        shutil.rmtree(work, ignore_errors=True)


def bridge_rows(build, reps, measure, bridged, native):
    for arch in ("x86", "x64"):
        dll = os.path.join(build, "windows", arch, "Tessalin.DLL")
        # The prefix's wineserver ends 3 s after its last client, so each start below also starts it.
        runs = pairs(max(reps // 3, 3), lambda: measure(bridged, dll), lambda: measure(native, "-"))
        add_row(f"Read round trip, warm, on one core: bridge ({arch} DLL under Wine) vs libtessalin.so", "µs",
                [(a[1], b[1]) for a, b in runs], 3.0)
        add_absolute_row(f"Host start to first connect, existing prefix, {arch}", "ms",
                         [a[0] for a, _ in runs], target=1500)
    # The bridge's own share: a DLL that answers at once, without any network.
    answering = os.path.join(build, "windows", "x86", "bench-answering", "Tessalin.DLL")
    runs = pairs(max(reps // 3, 3), lambda: measure(bridged, answering), lambda: measure(native, "-"))
    add_row("Call round trip through the bridge alone, on one core (x86 DLL answering at once) vs a read via "
            "libtessalin.so", "µs", [(a[1], b[1]) for a, b in runs], 0.6)
    # The same for a DLL that can have messages: the host serves its queue between calls, each call handed over
    # from the channel's reader to the loading thread.
    windowed = os.path.join(build, "windows", "x86", "bench-windowed", "Tessalin.DLL")
    runs = pairs(max(reps // 3, 3), lambda: measure(bridged, windowed), lambda: measure(native, "-"))
    add_row("Call round trip through the bridge alone, on one core (x86 DLL with messages, answering at once) vs a "
            "read via libtessalin.so", "µs", [(a[1], b[1]) for a, b in runs], 2.0)


def decode(bin_dir, reps):
    numbers = output_of([os.path.join(bin_dir, "pnv3400-bench-decode"), str(max(reps, 10) + 1)])
    values = [(float(numbers[i]), float(numbers[i + 1])) for i in range(0, len(numbers), 2)][1:]  # first is warm-up
    add_row("Decoding the four reset pictures vs plain libjpeg", "µs", values, 1.10)


class Xvfb:
    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                                         "-nolisten", "tcp"], pass_fds=[write], stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as pipe:
            self.display = ":" + pipe.readline().strip()

    def stop(self):
        self.process.terminate()
        self.process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--reps", type=int, default=30)
    parser.add_argument("--load-ms", type=int, default=500)
    # On two cores a client and a server land on the same core or on both, at the scheduler's whim, and a wake-up
    # across cores costs more than the rest of a round trip: pinning every program to one core takes that out.
    parser.add_argument("--cpu", type=int, help="run every program on this one core")
    parser.add_argument("--only", nargs="*", default=["startup", "xvfb", "memory", "wire", "decode", "bridge"])
    args = parser.parse_args()
    if args.cpu is not None:
        os.sched_setaffinity(0, {args.cpu})   # the programs started from here inherit it

    base_env = {k: v for k, v in os.environ.items() if not k.startswith("QT_")}
    offscreen = dict(base_env, QT_QPA_PLATFORM="offscreen")
    if "startup" in args.only:
        start_up(args.bin_dir, args.reps, offscreen, "offscreen")
    if "xvfb" in args.only:
        if shutil.which("Xvfb"):
            server = Xvfb()
            try:
                # A bus address where nothing listens: without any, every start would autolaunch a bus over X.
                env = dict(base_env, QT_QPA_PLATFORM="xcb", DISPLAY=server.display,
                           DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus")
                start_up(args.bin_dir, args.reps, env,
                         "Xvfb", wall_too=True)
            finally:
                server.stop()
        else:
            print("Xvfb is missing (package xvfb): the figures under Xvfb are left out", file=sys.stderr)
    if "memory" in args.only:
        memory(args.bin_dir, args.reps, offscreen)
    if "wire" in args.only:
        wire(args.bin_dir, args.reps, [10, 100], args.load_ms)
    if "decode" in args.only:
        decode(args.bin_dir, args.reps)
    if "bridge" in args.only:
        bridge(args.bin_dir, args.reps)

    print("| Figure | Ours | Baseline | Ratio, median (range) | Target |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
