#!/usr/bin/env python3
"""The Ansible collection of contrib/ansible as an integrator runs it: its
example playbook, unchanged, through ansible-playbook with a local connection,
the built pnv3400ctl and a fleet of simulated encoders. Three sites: two share
a twelve-encoder fleet (one site also lists an address where nothing
answers), the third has one encoder that refuses its write and one that
acknowledges a write and keeps its old configuration.

Usage: tst_ansible_collection.py SOURCE_DIR BIN_DIR     (exit 77: skipped, and why)
"""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import pnvtest  # noqa: E402
from pnvtest import skip, state_value  # noqa: E402

COLLECTION = "pnv3400.encoder"
FQCN = COLLECTION + ".encoder_config"
FLEET_FIRST = "10.77.8.1"   # 10.77.8.1 to .12, used by no other test
FLEET_SIZE = 12
UNREACHABLE = "10.77.8.99"

failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
    return condition


def fleet_address(index):
    return "10.77.8.%d" % index


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
    return {item["item"]["encoder"]: item for item in result.get("results", [])}


def plan_results(result):
    return {entry["encoder"]: entry for entry in result.get("results", [])}


# What each module returns besides Ansible's own keys, as its RETURN documents it; every result this test sees
# is held against it, whichever path produced it.
ANSIBLE_KEYS = {"changed", "failed", "msg", "invocation", "diff", "stdout", "stderr", "warnings", "deprecations",
                "item", "ansible_loop_var", "_ansible_no_log", "_ansible_item_label", "stdout_lines", "stderr_lines"}
returned = {}


def held_to_return(module, result):
    keys = set(result) - ANSIBLE_KEYS
    expect(keys == returned[module], "%s returned %s, its RETURN documents %s"
           % (module, sorted(keys), sorted(returned[module])))


def check_documentation(ansible, collection, example):
    for module in ("encoder_config", "encoder_info", "encoder_plan"):
        name = "%s.%s" % (COLLECTION, module)
        code, out, _, _ = ansible.run("ansible-doc", "--json", name)
        if not expect(code == 0, "ansible-doc %s failed:\n%s" % (name, out)):
            return
        entry = json.loads(out)[name]
        returned[module] = set(entry["return"])
        expect(name in entry["examples"], "the examples of %s do not use it" % module)
    code, out, _, _ = ansible.run("ansible-doc", "-t", "inventory", "--json", COLLECTION + ".scan")
    expect(code == 0 and "subnets" in out, "ansible-doc of the inventory plugin failed:\n" + out)
    # The README shows the example files as they are, less their opening comments.
    with open(os.path.join(example, os.pardir, "README.md")) as readme:
        shown = re.findall(r"^```yaml\n(.*?)^```$", readme.read(), re.MULTILINE | re.DOTALL)
    for name in sorted(os.listdir(example)):
        with open(os.path.join(example, name)) as text:
            expect(re.sub(r"\A(#.*\n)+", "", text.read()) in shown, "the README does not show %s as it is" % name)
        if name not in ("inventory.yml", "encoders.pnv3400.yml"):
            code, out, _, _ = ansible.run("ansible-playbook", "--syntax-check", "-i",
                                          os.path.join(example, "inventory.yml"), os.path.join(example, name))
            expect(code == 0, "the example %s fails its syntax check:\n%s" % (name, out))
    validate_modules(ansible, collection)


def check_outcome_table(bin_dir, collection):
    """The collection's copy of pnv3400ctl's outcome table against the one `pnv3400ctl --help` prints."""
    spec = importlib.util.spec_from_file_location("pnv3400ctl_utils", os.path.join(
        collection, "plugins", "module_utils", "pnv3400ctl.py"))
    utils = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(utils)
    done = subprocess.run([os.path.join(bin_dir, "pnv3400ctl"), "--help"], capture_output=True, text=True, timeout=30)
    _, found, table = done.stdout.partition("Outcomes of a write:\n")
    tool = {}
    for line in table.splitlines()[1:]:   # the first is the column header
        if not line.strip():
            break
        name, code, changed, failed = line.split()[:4]
        tool[name] = (int(code), changed == "yes", failed == "yes")
    expect(found and tool == utils.OUTCOMES, "the outcomes of module_utils/pnv3400ctl.py %s differ from those "
           "pnv3400ctl --help lists %s" % (utils.OUTCOMES, tool))


def validate_modules(ansible, collection):
    """ansible-core's validate-modules, run as ansible-test would run it but without its network-installed
    tools; an error counts unless tests/sanity names it, and an entry there that matches nothing counts too."""
    python = subprocess.run(["ansible-test", "--version"], capture_output=True, text=True)
    with open(shutil.which("ansible-test")) as script:
        interpreter = script.readline()[2:].strip()
    found = subprocess.run(interpreter.split() + ["-c", "import ansible_test, voluptuous, yaml; "
                                                  "print(ansible_test.__path__[0])"], capture_output=True, text=True)
    if not expect(python.returncode == 0 and found.returncode == 0,
                  "validate-modules cannot run (python3-voluptuous, yamllint): " + found.stderr):
        return
    version = re.search(r"(\d+\.\d+)", python.stdout).group(1)
    validate = os.path.join(found.stdout.strip(), "_util", "controller", "sanity", "validate-modules", "validate.py")
    ignored = set()
    with open(os.path.join(collection, "tests", "sanity", "ignore-%s.txt" % version)) as ignore:
        for line in ignore:
            path, check = line.split("#")[0].split()
            ignored.add((path, check.partition(":")[2]))
    used, errors = set(), []
    tree = os.path.join(ansible.env["ANSIBLE_COLLECTIONS_PATH"], "ansible_collections", "pnv3400", "encoder")
    for kind, folder in (("module", "modules"), ("inventory", "inventory")):
        plugins = sorted("plugins/%s/%s" % (folder, name) for name in os.listdir(os.path.join(collection, "plugins",
                                                                                               folder)))
        done = subprocess.run(interpreter.split() + [validate, "--format", "json", "--arg-spec", "--collection",
                                                     "ansible_collections/pnv3400/encoder", "--collection-version",
                                                     "1.0.0", "--plugin-type", kind] + plugins,
                              cwd=tree, env=ansible.env, capture_output=True, text=True, timeout=120)
        try:
            report = json.loads(done.stdout)
        except ValueError:
            report = {"validate-modules": {"errors": [{"code": "no-report", "msg": done.stdout + done.stderr}]}}
        for path, result in report.items():
            for error in result.get("errors", []):
                if (path, error["code"]) in ignored:
                    used.add((path, error["code"]))
                else:
                    errors.append("%s: %s %s" % (path, error["code"], error["msg"]))
    expect(not errors, "validate-modules:\n" + "\n".join(errors))
    expect(used == ignored, "tests/sanity ignores errors that do not occur: %s" % sorted(ignored - used))


def main():
    source, bin_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    for tool in ("ansible-playbook", "ansible-doc", "ansible", "ansible-inventory", "ansible-test"):
        if shutil.which(tool) is None:
            skip(tool + " is not installed (Debian package ansible-core, see scripts/setup.sh)")
    collection = os.path.join(source, "contrib", "ansible")
    example = os.path.join(collection, "examples")
    work = tempfile.mkdtemp(prefix="pnv3400-ansible-")
    simulators = pnvtest.Simulators(bin_dir, work)
    try:
        ansible = Ansible(work, collection, bin_dir)
        check_documentation(ansible, collection, example)
        check_outcome_table(bin_dir, collection)
        if not pnvtest.in_sealed_network():
            # Only the offline checks above ran.
            if failures:
                raise SystemExit("FAIL:\n" + "\n".join(failures))
            skip("the fleet needs the sealed network namespace of scripts/test.sh; never the real network")
        run_fleet(ansible, simulators, example, work)
    finally:
        simulators.stop()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("FAIL:\n" + "\n".join(failures), file=sys.stderr)
        sys.exit(1)
    print("PASS: the collection against %d simulated encoders" % FLEET_SIZE)


def run_fleet(ansible, simulators, example, work):
    states = os.path.join(work, "states")
    simulators.fleet("fleet", FLEET_FIRST, FLEET_SIZE, states)
    # Faults apply to a whole fleet: the misbehaving encoders run alone.
    refusing, = simulators.start("refusing", ["--port", "0", "--state", os.path.join(work, "refusing.state"),
                                              "--fault", "write-status:4"])
    losing, = simulators.start("losing", ["--port", "0", "--state", os.path.join(work, "losing.state"),
                                          "--fault", "lose-write"])
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

    def write_inventory():
        with open(inventory, "w") as out:
            json.dump({"sites": {"vars": local, "children": {
                name: {"hosts": {name + "-ops": None},
                       "vars": {"encoders": [{"encoder": e} for e in encoders], "encoder_gateway": gateway,
                                "encoder_mask": mask}}
                for name, (encoders, gateway, mask) in sites.items()}}}, out)

    write_inventory()
    fleet_state = {address: os.path.join(states, address + ".state")
                   for address in (fleet_address(i) for i in range(1, FLEET_SIZE + 1))}

    def fleet_holds(site, gateway=None, mask=None):
        encoders, site_gateway, site_mask = sites[site]
        return all(state_value(fleet_state[e], "gateway") == (gateway or site_gateway)
                   and state_value(fleet_state[e], "mask") == (mask or site_mask) for e in encoders if e in fleet_state)

    def fleet_writes():
        return simulators.log("fleet").count("WRITE")

    # WHEN the example playbook runs the first time THEN every fleet encoder
    # is written and holds its site's values; the misbehaving ones fail their
    # site's task with pnv3400ctl's message, and the others go on.
    playbook = os.path.join(example, "gateway-and-mask.yml")
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
        held_to_return("encoder_config", item)
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
            held_to_return("encoder_config", item)
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

    # write-status refuses one write only: the plan meets a fresh refusing encoder.
    refusing, = simulators.start("refusing-again", ["--port", "0", "--state", os.path.join(work, "refusing-2.state"),
                                                    "--fault", "write-status:4"])
    sites["lab"] = ([refusing, losing],) + sites["lab"][1:]
    run_plan(ansible, example, inventory, write_inventory, sites, fleet_holds, fleet_writes, refusing, losing)
    probe(ansible, simulators, work, local)
    scan_inventory(ansible, work)


def run_plan(ansible, example, inventory, write_inventory, sites, fleet_holds, fleet_writes, refusing, losing):
    """The site-at-once example: one encoder_plan task per site, new gateways given with prefix-length masks."""
    playbook = os.path.join(example, "site-plan.yml")
    sites["north"] = sites["north"][:1] + ("10.77.8.250", "24")
    sites["harbour"] = sites["harbour"][:1] + ("10.77.255.250", "/16")
    write_inventory()
    writes = fleet_writes()
    code, _, results, recap = ansible.run("ansible-playbook", "-i", inventory, playbook)
    expect(code == 2 and recap == {"north-ops": 0, "harbour-ops": 1, "lab-ops": 1},
           "plan: exit %d, failed tasks per host %s" % (code, recap))
    north, harbour, lab = (results.get(site + "-ops", {}) for site in ("north", "harbour", "lab"))
    entries = dict(plan_results(north), **plan_results(harbour))
    for encoder, entry in entries.items():
        wanted = ("failed", False, True) if encoder.startswith(UNREACHABLE + ":") else ("applied", True, False)
        expect((entry["outcome"], entry["changed"], entry["failed"]) == wanted, "plan: %s: %s" % (encoder, entry))
    expect(len(entries) == FLEET_SIZE + 1 and north.get("changed") is True and harbour.get("changed") is True
           and harbour.get("msg", "").startswith("1 of 7 encoders failed: %s:3001: failed: " % UNREACHABLE),
           "plan: the sites' tasks: %s / %s" % (north, harbour))
    expect(fleet_holds("north", "10.77.8.250", "255.255.255.0") and fleet_holds("harbour", "10.77.255.250",
                                                                                  "255.255.0.0"),
           "plan: the state files do not hold the new gateways and masks")
    expect(fleet_writes() == writes + FLEET_SIZE, "plan: %d WRITEs, not %d" % (fleet_writes() - writes, FLEET_SIZE))
    lab_entries = plan_results(lab)
    expect([lab_entries.get(e, {}).get("outcome") for e in (refusing, losing)] == ["rejected", "not-applied"]
           and lab.get("summary", {}).get("rejected") == 1 and lab.get("changed") is False,
           "plan: the lab's results: %s" % lab)
    for result in (north, harbour, lab):
        held_to_return("encoder_plan", result)

    # WHEN it runs again THEN nothing is written; in check mode with a new gateway nothing is written either,
    # and the diff names each encoder that would change.
    code, _, results, _ = ansible.run("ansible-playbook", "-i", inventory, "--limit", "north", playbook)
    north = results.get("north-ops", {})
    expect(code == 0 and north.get("changed") is False and north.get("summary", {}).get("unchanged") == 6,
           "plan, second run: %s" % north)
    code, out, results, _ = ansible.run("ansible-playbook", "-i", inventory, "--limit", "north", "--check", "--diff",
                                        "-e", "encoder_gateway=10.77.8.249", playbook)
    north = results.get("north-ops", {})
    expect(code == 0 and north.get("changed") is True and north.get("summary", {}).get("dry-run") == 6
           and out.count("+gateway: 10.77.8.249\n") == 6 and "+++ after: %s:3001" % fleet_address(1) in out,
           "plan, check mode: %s\n%s" % (north, out))
    expect(fleet_writes() == writes + FLEET_SIZE and fleet_holds("north", "10.77.8.250", "255.255.255.0"),
           "plan: the second run or check mode wrote")


def probe(ansible, simulators, work, local):
    """Ad hoc, one case per host: what the modules refuse before any traffic, what pnv3400ctl cannot do without
    its library or is not there, and reading."""
    probes = {
        "no-encoder": ({"mask": "255.255.255.0"}, "missing required arguments: encoder"),
        "empty-encoder": ({"encoder": "", "mask": "24"}, "encoder is empty"),
        "nothing-to-set": ({"encoder": fleet_address(4)}, "one of the following is required: ip, port, gateway, mask"),
        "rule-refusal": ({"encoder": fleet_address(4), "mask": "255.0.255.0"},
                         "%s:3001: invalid: mask 255.0.255.0 is not contiguous" % fleet_address(4)),
        "prefix-refusal": ({"encoder": fleet_address(4), "mask": "/31"},
                           "%s:3001: invalid: mask 255.255.255.254 is a /31" % fleet_address(4)),
        "masks-disagree": ({"encoder": fleet_address(4), "ip": "10.77.8.4/24", "mask": "16"},
                           "%s: invalid: ip 10.77.8.4/24 and mask 16 give different masks" % fleet_address(4)),
        "no-library": ({"encoder": fleet_address(5), "mask": "24", "library": "/nonexistent/libtessalin.so"},
                       "pnv3400ctl (exit 3): pnv3400ctl: cannot bind the device library: /nonexistent/libtessalin.so"),
        "no-program": ({"encoder": fleet_address(6), "mask": "24", "ctl_path": os.path.join(work, "pnv3400ctl")},
                       "ctl_path %s is not an executable file" % os.path.join(work, "pnv3400ctl")),
    }
    probe_inventory = os.path.join(work, "probes.yml")
    with open(probe_inventory, "w") as out:
        hosts = {name: {"probe": args} for name, (args, _) in probes.items()}
        hosts.update({"reads": {"probe": {"encoder": fleet_address(3)}},
                      "reads-nothing": {"probe": {"encoder": UNREACHABLE}}})
        json.dump({"probes": {"vars": local, "hosts": hosts}}, out)
    connections = simulators.log("fleet").count("connected")
    arguments = " ".join("%s={{ probe.%s | default(omit) }}" % (key, key)
                         for key in ("encoder", "ip", "mask", "library", "ctl_path"))
    code, out, results, _ = ansible.run("ansible", "probes", "-i", probe_inventory, "--limit", ",".join(probes),
                                        "-m", FQCN, "-a", arguments)
    expect(code == 2, "probes: ansible exited %d, expected 2" % code)
    status = dict(re.findall(r"^(\S+) \| ([A-Z]+)", out, re.MULTILINE))
    for name, (_, message) in probes.items():
        result = results.get(name, {})
        expect(status.get(name) == "FAILED" and result.get("msg", "").startswith(message),
               "probe %s: expected '%s...', got %s" % (name, message, result))
        if not name.startswith(("no-encoder", "nothing-to-set")):   # Ansible refused these before the module ran
            held_to_return("encoder_config", result)
    expect(simulators.log("fleet").count("connected") == connections,
           "probes: a refused task reached the fleet:\n" + simulators.log("fleet"))

    # A plan the rules refuse is refused whole: its encoder at fault is named, the other one is not run.
    plan = {"encoders": [{"encoder": fleet_address(4), "gateway": "10.77.9.1"},
                         {"encoder": fleet_address(5), "mask": "255.0.255.0"}]}
    code, out, results, _ = ansible.run("ansible", "reads", "-i", probe_inventory, "-m", COLLECTION + ".encoder_plan",
                                        "-a", json.dumps(plan))
    refused = results.get("reads", {})
    expect(code == 2 and [(r["outcome"], r["message"]) for r in refused.get("results", [])]
           == [(None, None), ("invalid", "%s:3001: mask 255.0.255.0 is not contiguous" % fleet_address(5))]
           and refused.get("msg", "").startswith("the plan is refused; nothing was sent: %s:3001: invalid: "
                                                  % fleet_address(5)), "encoder_plan, refused: %s" % refused)
    held_to_return("encoder_plan", refused)
    expect(simulators.log("fleet").count("connected") == connections, "encoder_plan: a refused plan was sent")

    # encoder_info reads in check mode as it does otherwise.
    code, out, results, _ = ansible.run("ansible", "reads*", "-i", probe_inventory, "--check", "-m",
                                        COLLECTION + ".encoder_info", "-a", "encoder={{ probe.encoder }}")
    status = dict(re.findall(r"^(\S+) \| ([A-Z]+)", out, re.MULTILINE))
    read, nothing = results.get("reads", {}), results.get("reads-nothing", {})
    expect(code == 2 and read.get("changed") is False and read.get("config", {}).get("gateway") == "10.77.8.250"
           and read.get("config", {}).get("prefix") == 24 and read.get("encoder") == fleet_address(3) + ":3001",
           "encoder_info: %s" % read)
    expect(status.get("reads-nothing") == "FAILED" and nothing.get("config") is None
           and nothing.get("msg", "").startswith("%s:3001: failed: connect: " % UNREACHABLE),
           "encoder_info, nothing there: %s" % nothing)
    for result in (read, nothing):
        held_to_return("encoder_info", result)
    expect(simulators.log("fleet").count("connected") == connections + 1, "encoder_info: not one connection")


def scan_inventory(ansible, work):
    """The scan inventory plugin over the fleet's subnet: each encoder a host with its variables."""
    source = os.path.join(work, "fleet.pnv3400.yml")
    with open(source, "w") as out:
        json.dump({"plugin": COLLECTION + ".scan", "subnets": ["10.77.8.0/28"], "timeout": 300,
                   "keyed_groups": [{"key": "gateway", "prefix": "gateway"}]}, out)
    code, out, _, _ = ansible.run("ansible-inventory", "-i", source, "--list")
    inventory = json.loads(out) if code == 0 else {}
    hostvars = inventory.get("_meta", {}).get("hostvars", {})
    expect(sorted(hostvars) == sorted(fleet_address(i) for i in range(1, FLEET_SIZE + 1)),
           "scan: hosts %s" % sorted(hostvars))
    expect(sorted(inventory.get("subnet_10_77_8_0_28", {}).get("hosts", [])) == sorted(hostvars)
           and len(inventory.get("gateway_10_77_8_250", {}).get("hosts", [])) == FLEET_SIZE // 2,
           "scan: groups %s" % {name: group for name, group in inventory.items() if name != "_meta"})
    for host, variables in hostvars.items():
        expect(variables.get("encoder") == host + ":3001" and variables.get("ip") == host
               and variables.get("port") == 3001 and re.match(r"^([0-9A-F]{2}:){5}[0-9A-F]{2}$",
                                                              variables.get("mac", ""), re.I)
               and variables.get("gateway") in ("10.77.8.250", "10.77.255.250")
               and variables.get("mask") in ("255.255.255.0", "255.255.0.0"), "scan: %s: %s" % (host, variables))


if __name__ == "__main__":
    main()
