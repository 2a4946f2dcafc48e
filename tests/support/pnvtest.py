"""What the Python tests and benchmarks share: starting simulators (one, or a
fleet) and waiting for their "listening on" lines, the sealed-network check,
reading a simulator's state file, and the skip exit code of CTest.

Import it with tests/support on sys.path:

    sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
    import pnvtest
"""

import os
import select
import signal
import subprocess
import sys
import time

SKIP = 77   # every test's SKIP_RETURN_CODE


def skip(why):
    print("SKIP: " + why, file=sys.stderr)
    sys.exit(SKIP)


def in_sealed_network():
    """True inside the namespace of scripts/sealed-net.sh: loopback is the only network device."""
    with open("/proc/self/net/dev") as dev:
        devices = [line.split(":")[0].strip() for line in dev.read().splitlines()[2:] if line.strip()]
    return devices == ["lo"]


def state_values(path):
    """The "key = value" settings of a simulator's state file; None when it cannot be read as text."""
    try:
        with open(path, "rb") as state:
            text = state.read().decode()
    except (OSError, UnicodeDecodeError):
        return None
    values = {}
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            key, _, value = line.partition("=")
            values[key.strip()] = value.strip()
    return values


def state_value(path, key):
    return (state_values(path) or {}).get(key)


def start_server(argv, listening=1, stderr=subprocess.DEVNULL, env=None, timeout=10):
    """Starts a program that prints one "listening on ADDRESS:PORT" line per socket once it is up.

    Returns (process, ["ADDRESS:PORT", ...]) when all `listening` lines came; otherwise stops it and raises
    RuntimeError. Reads stdout without blocking past `timeout`, so a silent program cannot hang a test."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=stderr, env=env)
    out = b""
    deadline = time.monotonic() + timeout
    while out.count(b"\n") < listening and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(process.stdout.fileno(), 65536) if ready else b""
        if not chunk:
            break
        out += chunk
    lines = out.decode(errors="replace").splitlines()
    addresses = [line.split()[-1] for line in lines if line.startswith("listening on ")]
    if len(addresses) != listening:
        stop(process, hard=True)
        raise RuntimeError("%s did not start (%d of %d sockets): %r" % (argv[0], len(addresses), listening, out[-300:]))
    return process, addresses


def stop(process, hard=False, wait=5):
    if process.poll() is None:
        process.send_signal(signal.SIGKILL if hard else signal.SIGTERM)
    try:
        process.wait(wait)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Simulators:
    """pnv3400-sim processes with their logs in WORK, all stopped by stop() whatever happened."""

    def __init__(self, bin_dir, work):
        self.program = os.path.join(bin_dir, "pnv3400-sim")
        self.work = work
        self.processes = []

    def start(self, name, arguments, listening=1, env=None):
        """One simulator, or a fleet (`--fleet N` with listening=N); its "listening on" addresses."""
        with open(self.log_path(name), "w") as log:
            process, addresses = start_server([self.program] + arguments, listening, stderr=log, env=env)
        self.processes.append(process)
        return addresses

    def fleet(self, name, first, count, state_dir, port=3001):
        """`pnv3400-sim --fleet COUNT` from address FIRST on, which scripts/fleet-addresses.sh puts on the
        sealed namespace's loopback first; refuses outside it."""
        if not in_sealed_network():
            raise RuntimeError("a fleet needs the sealed network namespace (scripts/sealed-net.sh)")
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        subprocess.run(["bash", os.path.join(root, "scripts", "fleet-addresses.sh"), first, str(count)],
                       check=True, timeout=30)
        return self.start(name, ["--fleet", str(count), "--listen", first, "--port", str(port),
                                 "--state-dir", state_dir], count)

    def log_path(self, name):
        return os.path.join(self.work, name + ".log")

    def log(self, name):
        with open(self.log_path(name)) as log:
            return log.read()

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            stop(process)
        self.processes = []
