"""What the Python tests and benchmarks share: simulators (one, or a fleet) started and awaited by their
"listening on" lines, the sealed-network check, a simulator's state file, CTest's skip exit code.
Import it with tests/support on sys.path."""

import os
import select
import signal
import subprocess
import sys
import time


def skip(why):
    print("SKIP: " + why, file=sys.stderr)
    sys.exit(77)   # every test's SKIP_RETURN_CODE


def _network_namespace(process):
    try:
        return os.readlink("/proc/%s/ns/net" % process)
    except OSError:
        return ""


def in_sealed_network():
    """True in the namespace that scripts/sealed-net.sh made and named in PNV_SEALED_NETNS: a fact that no other
    test changes while this one runs (a count of devices would see their veth pairs). Never the first process's
    namespace, the machine's own network."""
    sealed = os.environ.get("PNV_SEALED_NETNS", "")
    return sealed != "" and _network_namespace("self") == sealed and _network_namespace(1) != sealed


def state_values(path):
    """The "key = value" settings of a simulator's state file; None when it cannot be read as text."""
    try:
        with open(path, "rb") as state:
            lines = [line.strip() for line in state.read().decode().splitlines()]
    except (OSError, UnicodeDecodeError):
        return None
    pairs = (line.partition("=") for line in lines if line and not line.startswith("#"))
    return {key.strip(): value.strip() for key, _, value in pairs}


# How long a simulator may take to say it listens, in all three harnesses.
READY_SECONDS = 20


def start_server(argv, listening=1, stderr=subprocess.DEVNULL, env=None, timeout=READY_SECONDS):
    """(process, ["ADDRESS:PORT", ...]) of a program that prints one "listening on ADDRESS:PORT" line per socket
    once it is up; RuntimeError, and the program stopped, when not all `listening` lines came within `timeout`
    or it ended first (stdout is read without blocking past it, so a silent program cannot hang a test).
    The same readiness rule as SimulatorProcess.h and sim.sh: only "listening on" lines count."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=stderr, env=env)
    out = b""
    addresses = []
    deadline = time.monotonic() + timeout
    while len(addresses) < listening and time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(process.stdout.fileno(), 65536) if ready else b""
        if not chunk:
            break
        out += chunk
        addresses = [line.split()[-1] for line in out.decode(errors="replace").splitlines()
                     if line.startswith("listening on ")]
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
        self.program, self.work, self.processes = os.path.join(bin_dir, "pnv3400-sim"), work, []

    def start(self, name, arguments, listening=1):
        """One simulator, or a fleet (`--fleet N` with listening=N); its "listening on" addresses."""
        with open(os.path.join(self.work, name + ".log"), "w") as log:
            process, addresses = start_server([self.program] + arguments, listening, stderr=log)
        self.processes.append(process)
        return addresses

    def fleet(self, name, first, count, state_dir):
        """`pnv3400-sim --fleet COUNT` from address FIRST on, which scripts/fleet-addresses.sh puts on the
        sealed namespace's loopback first; refuses outside it."""
        if not in_sealed_network():
            raise RuntimeError("a fleet needs the sealed network namespace (scripts/sealed-net.sh)")
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        subprocess.run(["bash", os.path.join(root, "scripts", "fleet-addresses.sh"), first, str(count)],
                       check=True, timeout=30)
        return self.start(name, ["--fleet", str(count), "--listen", first, "--port", "3001", "--state-dir", state_dir],
                          count)

    def log(self, name):
        with open(os.path.join(self.work, name + ".log")) as log:
            return log.read()

    def stop(self):
        for process in self.processes:   # all told at once, then awaited
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            stop(process)
        self.processes = []
