#!/usr/bin/env python3
"""The Ansible collection of contrib/ansible as an integrator runs it: its
example playbook, unchanged, through ansible-playbook with a local connection,
the built pnv3400ctl and a fleet of simulated encoders. Three sites: two share
a twelve-encoder fleet (one site also lists an address where nothing
answers), the third has one encoder that refuses its write and one that
acknowledges a write and keeps its old configuration.

Usage: tst_ansible_collection.py SOURCE_DIR BIN_DIR     (exit 77: skipped, and why)
"""

import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

FQCN = "pnv3400.encoder.encoder_config"
FLEET_FIRST = "10.77.8.1"   # 10.77.8.1 to .12, used by no other test
FLEET_SIZE = 12
UNREACHABLE = "10.77.8.99"

failures = []


def skip(why):
    print("SKIP: " + why, file=sys.stderr)
    sys.exit(77)


def expect(condition, what):
    if not condition:
        failures.append(what)
    return condition


def in_sealed_network():
    with open("/proc/self/net/dev") as dev:
        devices = [line.split(":")[0].strip() for line in dev.read().splitlines()[2:] if line.strip()]
    return devices == ["lo"]


def fleet_address(index):
    return "10.77.8.%d" % index


def state_value(path, key):
    with open(path) as state:
        for line in state:
            name, _, value = line.partition("=")
            if name.strip() == key:
                return value.strip()
    return None


class Simulators:
    """pnv3400-sim processes, stopped at the end whatever happens."""

    def __init__(self, program, work):
        self.program = program
        self.work = work
        self.processes = []

    def start(self, name, arguments, listening):
        """Starts one simulator; returns its "listening on" addresses once all are up."""
        log = open(os.path.join(self.work, name + ".log"), "w")
        process = subprocess.Popen([self.program] + arguments, stdout=subprocess.PIPE, stderr=log)
        log.close()
        self.processes.append(process)
        out = b""
        deadline = time.monotonic() + 10
        while out.count(b"\n") < listening and time.monotonic() < deadline:
            ready, _, _ = select.select([process.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(process.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                break
            out += chunk
        addresses = [line.split()[-1] for line in out.decode().splitlines() if line.startswith("listening on ")]
        if len(addresses) != listening:
            raise RuntimeError("%s did not start: %s" % (name, self.log(name)))
        return addresses

    def log(self, name):
        with open(os.path.join(self.work, name + ".log")) as log:
            return log.read()

    def stop(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


class Ansible:
    """Runs ansible tools with everything they write kept inside WORK."""

    def __init__(self, work, collection, bin_dir):
        collections = os.path.join(work, "collections")
        os.makedirs(os.path.join(collections, "ansible_collections", "pnv3400"))
        os.symlink(collection, os.path.join(collections, "ansible_collections", "pnv3400", "encoder"))
        home = os.path.join(work, "home")
        os.makedirs(home)
        config = os.path.join(work, "ansible.cfg")
        open(config, "w").close()   # no /etc/ansible/ansible.cfg, no user settings
        self.work = work
        self.env = dict(os.environ)
        self.env.update({
            "HOME": home,
            "ANSIBLE_CONFIG": config,
            "ANSIBLE_HOME": os.path.join(home, ".ansible"),
            "ANSIBLE_LOCAL_TEMP": os.path.join(work, "local-tmp"),
            "ANSIBLE_REMOTE_TEMP": os.path.join(work, "remote-tmp"),
            "ANSIBLE_COLLECTIONS_PATH": collections,
            "ANSIBLE_NOCOLOR": "1",
            "ANSIBLE_RETRY_FILES_ENABLED": "0",
            # Each host's last result as JSON in a folder, for ad hoc runs too.
            "ANSIBLE_CALLBACKS_ENABLED": "tree",
            "ANSIBLE_LOAD_CALLBACK_PLUGINS": "1",
            # The module finds pnv3400ctl on PATH, as on a site's host.
            "PATH": bin_dir + os.pathsep + os.environ.get("PATH", ""),
            "TESSALIN_TIMEOUT_MS": "2000",
        })
        self.runs = 0

    def run(self, tool, *arguments):
        """(exit code, stdout, {host: the last task's result}, {host: tasks failed in the recap})."""
        self.runs += 1
        tree = os.path.join(self.work, "tree-%d" % self.runs)
        env = dict(self.env, ANSIBLE_CALLBACK_TREE_DIR=tree)
        done = subprocess.run([tool] + list(arguments), env=env, cwd=self.work, capture_output=True, text=True,
                              timeout=60)
        results = {}
        if os.path.isdir(tree):
            for host in os.listdir(tree):
                with open(os.path.join(tree, host)) as result:
                    results[host] = json.load(result)
        recap = {match.group(1): int(match.group(2)) for match in re.finditer(
            r"^(\S+)\s+: ok=\d+\s+changed=\d+\s+unreachable=\d+\s+failed=(\d+)", done.stdout, re.MULTILINE)}
        if done.returncode not in (0, 2):
            print(done.stdout + done.stderr, file=sys.stderr)
        return done.returncode, done.stdout, results, recap


def items_of(result):
    return {item["item"]: item for item in result.get("results", [])}


def check_documentation(ansible, example):
    code, out, _, _ = ansible.run("ansible-doc", "--json", FQCN)
    if not expect(code == 0, "ansible-doc %s failed:\n%s" % (FQCN, out)):
        return
    entry = json.loads(out)[FQCN]
    expect(set(entry["doc"]["options"]) == {"encoder", "ip", "port", "gateway", "mask", "force", "ctl_path",
                                            "library"}, "documented options: %s" % sorted(entry["doc"]["options"]))
    expect({"outcome", "before", "after", "config", "message"} <= set(entry["return"]),
           "documented return values: %s" % sorted(entry["return"]))
    expect(FQCN in entry["examples"], "the examples do not use the module")
    # The README shows the example files as they are, less their opening comments.
    with open(os.path.join(example, os.pardir, "README.md")) as readme:
        shown = re.findall(r"^```yaml\n(.*?)^```$", readme.read(), re.MULTILINE | re.DOTALL)
    for name in ("inventory.yml", "gateway-and-mask.yml"):
        with open(os.path.join(example, name)) as text:
            expect(re.sub(r"\A(#.*\n)+", "", text.read()) in shown, "the README does not show %s as it is" % name)
    code, out, _, _ = ansible.run("ansible-playbook", "--syntax-check", "-i", os.path.join(example, "inventory.yml"),
                                  os.path.join(example, "gateway-and-mask.yml"))
    expect(code == 0, "the example playbook fails its syntax check:\n" + out)


def main():
    source, bin_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    for tool in ("ansible-playbook", "ansible-doc", "ansible"):
        if shutil.which(tool) is None:
            skip(tool + " is not installed (Debian package ansible-core, see scripts/setup.sh)")
    collection = os.path.join(source, "contrib", "ansible")
    example = os.path.join(collection, "examples")
    work = tempfile.mkdtemp(prefix="pnv3400-ansible-")
    simulators = Simulators(os.path.join(bin_dir, "pnv3400-sim"), work)
    try:
        ansible = Ansible(work, collection, bin_dir)
        check_documentation(ansible, example)
        if not in_sealed_network():
            # Only the offline checks above ran.
            if failures:
                raise SystemExit("FAIL:\n" + "\n".join(failures))
            skip("the fleet needs the sealed network namespace of scripts/test.sh; never the real network")
        run_fleet(ansible, simulators, source, example, work)
    finally:
        simulators.stop()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("FAIL:\n" + "\n".join(failures), file=sys.stderr)
        sys.exit(1)
    print("PASS: the collection against %d simulated encoders" % FLEET_SIZE)


def run_fleet(ansible, simulators, source, example, work):
    subprocess.run(["bash", os.path.join(source, "scripts", "fleet-addresses.sh"), FLEET_FIRST, str(FLEET_SIZE)],
                   check=True, timeout=10)
    states = os.path.join(work, "states")
    simulators.start("fleet", ["--fleet", str(FLEET_SIZE), "--listen", FLEET_FIRST, "--port", "3001",
                               "--state-dir", states], FLEET_SIZE)
    # Faults apply to a whole fleet: the misbehaving encoders run alone.
    refusing, = simulators.start("refusing", ["--port", "0", "--state", os.path.join(work, "refusing.state"),
                                              "--fault", "write-status:4"], 1)
    losing, = simulators.start("losing", ["--port", "0", "--state", os.path.join(work, "losing.state"),
                                          "--fault", "lose-write"], 1)
    half = FLEET_SIZE // 2
    sites = {
        "north": ([fleet_address(i) for i in range(1, half + 1)], "10.77.8.254", "255.255.255.0"),
        "harbour": ([fleet_address(i) for i in range(half + 1, FLEET_SIZE + 1)] + [UNREACHABLE],
                    "10.77.255.254", "255.255.0.0"),
        # Both misbehaving encoders hold the factory address 172.16.30.1.
        "lab": ([refusing, losing], "172.16.30.254", "255.255.255.0"),
    }
    local = {"ansible_connection": "local", "ansible_python_interpreter": "{{ ansible_playbook_python }}"}
    inventory = os.path.join(work, "inventory.yml")
    with open(inventory, "w") as out:
        json.dump({"sites": {"vars": local, "children": {
            name: {"hosts": {name + "-ops": None},
                   "vars": {"encoders": encoders, "encoder_gateway": gateway, "encoder_mask": mask}}
            for name, (encoders, gateway, mask) in sites.items()}}}, out)
    playbook = os.path.join(example, "gateway-and-mask.yml")
    fleet_state = {address: os.path.join(states, address + ".state")
                   for address in (fleet_address(i) for i in range(1, FLEET_SIZE + 1))}

    def fleet_holds(site):
        encoders, gateway, mask = sites[site]
        return all(state_value(fleet_state[e], "gateway") == gateway and state_value(fleet_state[e], "mask") == mask
                   for e in encoders if e in fleet_state)

    def fleet_writes():
        return simulators.log("fleet").count("WRITE")

    # WHEN the example playbook runs the first time THEN every fleet encoder
    # is written and holds its site's values; the misbehaving ones fail their
    # site's task with pnv3400ctl's message, and the others go on.
    code, _, results, recap = ansible.run("ansible-playbook", "-i", inventory, playbook)
    expect(code == 2, "first run: ansible-playbook exited %d, expected 2 (failed hosts)" % code)
    expect(recap == {"north-ops": 0, "harbour-ops": 1, "lab-ops": 1}, "first run: failed tasks per host: %s" % recap)
    for site in ("north", "harbour"):
        for encoder, item in items_of(results.get(site + "-ops", {})).items():
            if encoder != UNREACHABLE:
                expect(item.get("changed") is True and item.get("outcome") == "applied",
                       "first run: %s: %s" % (encoder, item))
        expect(fleet_holds(site), "first run: the state files of %s do not hold its gateway and mask" % site)
    expect(fleet_writes() == FLEET_SIZE, "first run: %d WRITEs in the fleet, not %d" % (fleet_writes(), FLEET_SIZE))
    failed = {
        UNREACHABLE: ("harbour", "%s:3001: failed: connect: " % UNREACHABLE),
        refusing: ("lab", "%s: rejected: the encoder refused the write" % refusing),
        losing: ("lab", "%s: not-applied: the encoder acknowledged the write but holds something else" % losing),
    }
    for encoder, (site, message) in failed.items():
        item = items_of(results.get(site + "-ops", {})).get(encoder, {})
        expect(item.get("failed") is True and item.get("changed") is False and item.get("msg", "").startswith(message),
               "first run: %s: expected failed with '%s...', got %s" % (encoder, message, item))
    expect(items_of(results.get("lab-ops", {})).get(refusing, {}).get("code") == 4, "first run: refusal without code 4")
    for name in ("refusing", "losing"):
        expect(state_value(os.path.join(work, name + ".state"), "gateway") == "172.16.0.1",
               "first run: the %s encoder stored the write" % name)

    # WHEN it runs again THEN nothing is changed and nothing written.
    code, _, results, _ = ansible.run("ansible-playbook", "-i", inventory, "--limit", "north:harbour", playbook)
    expect(code == 2, "second run: ansible-playbook exited %d, expected 2 (the unreachable encoder)" % code)
    items = dict(items_of(results.get("north-ops", {})), **items_of(results.get("harbour-ops", {})))
    expect(set(items) == set(fleet_state) | {UNREACHABLE}, "second run: encoders reported: %s" % sorted(items))
    for encoder, item in items.items():
        if encoder != UNREACHABLE:
            expect(item.get("changed") is False and item.get("outcome") == "unchanged",
                   "second run: %s: %s" % (encoder, item))
    expect(fleet_writes() == FLEET_SIZE, "second run: the fleet logged %d WRITEs more" % (fleet_writes() - FLEET_SIZE))

    # WHEN check mode asks for a new gateway THEN each encoder would change,
    # the diff shows it, and nothing is written.
    code, out, results, _ = ansible.run("ansible-playbook", "-i", inventory, "--limit", "north", "--check", "--diff",
                                        "-e", "encoder_gateway=10.77.8.253", playbook)
    expect(code == 0, "check mode: ansible-playbook exited %d" % code)
    items = items_of(results.get("north-ops", {}))
    expect(len(items) == len(sites["north"][0]), "check mode: %d encoders reported" % len(items))
    for encoder, item in items.items():
        expect(item.get("changed") is True and item.get("outcome") == "dry-run"
               and item.get("after", {}).get("gateway") == "10.77.8.253", "check mode: %s: %s" % (encoder, item))
    expect("-gateway: 10.77.8.254\n+gateway: 10.77.8.253\n" in out, "check mode: no gateway diff in:\n" + out)
    expect(fleet_writes() == FLEET_SIZE and fleet_holds("north"), "check mode wrote to the fleet")

    # Ad hoc, one case per host: only reading; refusals that send nothing;
    # what pnv3400ctl cannot do without its library or is not there.
    probes = {
        "reads": ({"encoder": fleet_address(3)}, None),
        "rule-refusal": ({"encoder": fleet_address(4), "mask": "255.0.255.0"},
                         "%s:3001: invalid: mask 255.0.255.0 is not contiguous" % fleet_address(4)),
        "empty-encoder": ({"encoder": ""}, "encoder is empty"),
        "no-library": ({"encoder": fleet_address(5), "library": "/nonexistent/libtessalin.so"},
                       "pnv3400ctl (exit 3): pnv3400ctl: cannot bind the device library: /nonexistent/libtessalin.so"),
        "no-program": ({"encoder": fleet_address(6), "ctl_path": os.path.join(work, "pnv3400ctl")},
                       "ctl_path %s is not an executable file" % os.path.join(work, "pnv3400ctl")),
    }
    probe_inventory = os.path.join(work, "probes.yml")
    with open(probe_inventory, "w") as out:
        hosts = {name: {"probe": args} for name, (args, _) in probes.items()}
        json.dump({"probes": {"vars": local, "hosts": hosts}}, out)
    connections = simulators.log("fleet").count("connected")
    arguments = " ".join("%s={{ probe.%s | default(omit) }}" % (key, key)
                         for key in ("encoder", "mask", "library", "ctl_path"))
    code, out, results, _ = ansible.run("ansible", "probes", "-i", probe_inventory, "-m", FQCN, "-a", arguments)
    expect(code == 2, "probes: ansible exited %d, expected 2" % code)
    status = dict(re.findall(r"^(\S+) \| ([A-Z]+)", out, re.MULTILINE))
    for name, (_, message) in probes.items():
        result = results.get(name, {})
        if message is None:
            expect(status.get(name) == "SUCCESS" and result.get("changed") is False and result.get("outcome") == "read"
                   and result.get("config", {}).get("gateway") == "10.77.8.254"
                   and result.get("config", {}).get("prefix") == 24, "probe %s: %s" % (name, result))
        else:
            expect(status.get(name) == "FAILED" and result.get("msg", "").startswith(message),
                   "probe %s: expected '%s...', got %s" % (name, message, result))
    expect(simulators.log("fleet").count("connected") == connections + 1,
           "probes: only the read may reach the fleet:\n" + simulators.log("fleet"))
    expect(fleet_writes() == FLEET_SIZE, "probes wrote to the fleet")


if __name__ == "__main__":
    main()
