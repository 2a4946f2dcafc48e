#!/usr/bin/env python3
"""The Ansible collection of contrib/ansible as an integrator runs it: its example playbooks, unchanged, through
ansible-playbook with a local connection, the built pnv3400ctl and a fleet of simulated encoders. Three sites: two
share a twelve-encoder fleet (one site also lists an address where nothing answers), the third has one encoder that
refuses its write and one that acknowledges a write and keeps its old configuration.

Usage: tst_ansible_collection.py SOURCE_DIR BIN_DIR     (exit 77: skipped, and why)
"""

import itertools
import json
import os
import re
import runpy
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import pnvtest  # noqa: E402
from pnvtest import skip  # noqa: E402

COLLECTION = "pnv3400.encoder"
FLEET = ["10.77.8.%d" % i for i in range(1, 13)]   # used by no other test
FLEET_SIZE = len(FLEET)
UNREACHABLE = "10.77.8.99"

failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
    return condition


class Ansible:
    """Runs ansible tools with everything they write kept inside WORK."""

    def __init__(self, work, collection, bin_dir):
        collections, home, config = (os.path.join(work, name) for name in ("collections", "home", "ansible.cfg"))
        os.makedirs(os.path.join(collections, "ansible_collections", "pnv3400"))
        os.symlink(collection, os.path.join(collections, "ansible_collections", "pnv3400", "encoder"))
        os.makedirs(home)
        open(config, "w").close()   # no /etc/ansible/ansible.cfg, no user settings
        self.work, self.runs = work, 0
        # The tree callback keeps each host's last result as JSON, for ad hoc runs too; the module finds
        # pnv3400ctl on PATH, as on a site's host.
        self.env = dict(os.environ, HOME=home, ANSIBLE_CONFIG=config, ANSIBLE_HOME=os.path.join(home, ".ansible"),
                        ANSIBLE_LOCAL_TEMP=os.path.join(work, "local-tmp"),
                        ANSIBLE_REMOTE_TEMP=os.path.join(work, "remote-tmp"), ANSIBLE_COLLECTIONS_PATH=collections,
                        ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_CALLBACKS_ENABLED="tree",
                        ANSIBLE_LOAD_CALLBACK_PLUGINS="1", TESSALIN_TIMEOUT_MS="2000",
                        PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))

    def run(self, tool, *arguments):
        """(exit code, stdout, {host: the last task's result}, {host: tasks failed in the recap})."""
        self.runs += 1
        tree = os.path.join(self.work, "tree-%d" % self.runs)
        env = dict(self.env, ANSIBLE_CALLBACK_TREE_DIR=tree)
        done = subprocess.run([tool] + list(arguments), env=env, cwd=self.work, capture_output=True, text=True,
                              timeout=60)
        self.stderr = done.stderr
        results = {host: json.load(open(os.path.join(tree, host))) for host in
                   (os.listdir(tree) if os.path.isdir(tree) else [])}
        recap = {match.group(1): int(match.group(2)) for match in re.finditer(
            r"^(\S+)\s+: ok=\d+\s+changed=\d+\s+unreachable=\d+\s+failed=(\d+)", done.stdout, re.MULTILINE)}
        if done.returncode not in (0, 2):
            print(done.stdout + done.stderr, file=sys.stderr)
        return done.returncode, done.stdout, results, recap


def fleet_addresses(first, count):
    """COUNT addresses from FIRST on the sealed namespace's loopback, as a fleet's are."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    subprocess.run(["bash", os.path.join(root, "scripts", "fleet-addresses.sh"), first, str(count)], check=True,
                   timeout=30)


def by_encoder(result):
    """A task's results by encoder: a loop's items by the encoder asked for, a plan's entries by their own."""
    return {entry.get("item", entry)["encoder"]: entry for entry in result.get("results", [])}


# What each module returns besides Ansible's own keys, as its RETURN documents it; every result this test sees
# is held against it, whichever path produced it.
ANSIBLE_KEYS = {"changed", "failed", "msg", "invocation", "diff", "stdout", "stderr", "warnings", "deprecations",
                "item", "ansible_loop_var", "_ansible_no_log", "_ansible_item_label", "stdout_lines", "stderr_lines"}
returned = {}


def held_to_return(module, *results):
    for keys in (set(result) - ANSIBLE_KEYS for result in results):
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


def check_lint(ansible, collection):
    """ansible-lint's production profile, offline, over every YAML file of the collection (the changelog
    fragments too, from which the changelog is built); every message counts. Returns why it could not run."""
    lint = shutil.which("ansible-lint")
    if lint is None:
        return "ansible-lint is not installed (Debian package ansible-lint, see scripts/setup.sh)"
    files = sorted(os.path.relpath(os.path.join(folder, name), collection) for folder, _, names in os.walk(collection)
                   for name in names if name.endswith((".yml", ".yaml")))
    done = subprocess.run([lint, "--offline", "--profile", "production", "--nocolor"] + files, cwd=collection,
                          env=ansible.env, capture_output=True, text=True, timeout=240)
    expect(done.returncode == 0, "ansible-lint --offline --profile production:\n" + done.stdout + done.stderr)
    return None


def check_outcome_table(bin_dir, collection):
    """The collection's copy of pnv3400ctl's outcome table against the one `pnv3400ctl --help` prints."""
    outcomes = runpy.run_path(os.path.join(collection, "plugins", "module_utils", "pnv3400ctl.py"))["OUTCOMES"]
    done = subprocess.run([os.path.join(bin_dir, "pnv3400ctl"), "--help"], capture_output=True, text=True, timeout=30)
    _, found, table = done.stdout.partition("Outcomes of a write:\n")
    rows = itertools.takewhile(str.strip, table.splitlines()[1:])   # from past the column header to a blank line
    tool = {name: (int(code), changed == "yes", failed == "yes")
            for name, code, changed, failed in (row.split()[:4] for row in rows)}
    expect(found and tool == outcomes, "the outcomes of module_utils/pnv3400ctl.py %s differ from those "
           "pnv3400ctl --help lists %s" % (outcomes, tool))


def sanity_pylint(ansible, interpreter, ansible_test):
    """pylint with ansible-test sanity's own configuration and checkers, one run per context as it makes them
    (modules, module_utils, the rest of the collection), without the virtual environment it fetches from the
    network; every message counts."""
    if not expect(subprocess.run(interpreter + ["-c", "import pylint"], capture_output=True).returncode == 0,
                  "pylint cannot run (Debian package pylint, see scripts/setup.sh)"):
        return
    sanity = os.path.join(ansible_test, "_util", "controller", "sanity", "pylint")
    collections = ansible.env["ANSIBLE_COLLECTIONS_PATH"]
    tree = os.path.join(collections, "ansible_collections", "pnv3400", "encoder")
    env = dict(ansible.env, PYTHONPATH=os.pathsep.join([os.path.join(sanity, "plugins"), collections]),
               PYLINTHOME=os.path.join(ansible.work, "pylint"),
               ANSIBLE_TEST_MODULES_PATH=os.path.join(tree, "plugins", "modules") + os.sep,
               ANSIBLE_TEST_MODULE_UTILS_PATH=os.path.join(tree, "plugins", "module_utils") + os.sep)
    checkers = sorted(name[:-3] for name in os.listdir(os.path.join(sanity, "plugins")) if name.endswith(".py"))
    files = sorted(os.path.relpath(os.path.join(folder, name), tree) for folder, _, names in os.walk(tree)
                   for name in names if name.endswith(".py"))
    contexts = {"plugins/modules/": [], "plugins/module_utils/": [], "": []}
    for path in files:
        contexts[next(prefix for prefix in contexts if path.startswith(prefix))].append(path)
    for paths in contexts.values():
        done = subprocess.run(interpreter + [
            "-m", "pylint", "--jobs", "0", "--reports", "n", "--max-line-length", "160", "--max-complexity", "20",
            "--rcfile", os.path.join(sanity, "config", "collection.cfg"), "--output-format", "json",
            "--load-plugins", ",".join(checkers + ["pylint.extensions.mccabe"]),
            "--collection-name", COLLECTION, "--collection-version", "1.0.0"] + paths,
            cwd=tree, env=env, capture_output=True, text=True, timeout=120)
        try:
            messages = ["%(path)s:%(line)s: %(symbol)s %(message)s" % message for message in json.loads(done.stdout)]
        except ValueError:
            messages = [done.stdout + done.stderr]
        expect(not messages and done.returncode == 0, "pylint as ansible-test sanity runs it:\n" + "\n".join(messages))


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
    sanity_pylint(ansible, interpreter.split(), found.stdout.strip())
    version = re.search(r"(\d+\.\d+)", python.stdout).group(1)
    validate = os.path.join(found.stdout.strip(), "_util", "controller", "sanity", "validate-modules", "validate.py")
    with open(os.path.join(collection, "tests", "sanity", "ignore-%s.txt" % version)) as ignore:
        ignored = {(path, check.partition(":")[2]) for path, check in (line.split("#")[0].split() for line in ignore)}
    used, errors = set(), []
    tree = os.path.join(ansible.env["ANSIBLE_COLLECTIONS_PATH"], "ansible_collections", "pnv3400", "encoder")
    plugin_root = os.path.join(collection, "plugins")
    for kind, folder in (("module", "modules"), ("inventory", "inventory")):
        plugins = ["plugins/%s/%s" % (folder, name) for name in sorted(os.listdir(os.path.join(plugin_root, folder)))]
        done = subprocess.run(interpreter.split() + [validate, "--format", "json", "--arg", "--collection",
                                                     "ansible_collections/pnv3400/encoder", "--collection-version",
                                                     "1.0.0", "--plugin-type", kind] + plugins,
                              cwd=tree, env=ansible.env, capture_output=True, text=True, timeout=120)
        try:
            report = json.loads(done.stdout)
        except ValueError:
            report = {"validate-modules": {"errors": [{"code": "no-report", "msg": done.stdout + done.stderr}]}}
        reported = [(path, error["code"], error["msg"]) for path, result in report.items()
                    for error in result.get("errors", [])]
        used |= {error[:2] for error in reported if error[:2] in ignored}
        errors += ["%s: %s %s" % error for error in reported if error[:2] not in ignored]
    expect(not errors, "validate-modules:\n" + "\n".join(errors))
    expect(used == ignored, "tests/sanity ignores errors that do not occur: %s" % sorted(ignored - used))


def main():
    source, bin_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    for tool in ("ansible-playbook", "ansible-doc", "ansible", "ansible-inventory", "ansible-test"):
        if shutil.which(tool) is None:
            skip(tool + " is not installed (Debian package ansible-core, see scripts/setup.sh)")
    collection = os.path.join(source, "contrib", "ansible")
    work = tempfile.mkdtemp(prefix="pnv3400-ansible-")
    simulators = pnvtest.Simulators(bin_dir, work)
    sealed = pnvtest.in_sealed_network()   # outside it, only the offline checks run
    unlinted = None
    try:
        ansible = Ansible(work, collection, bin_dir)
        check_documentation(ansible, collection, os.path.join(collection, "examples"))
        check_outcome_table(bin_dir, collection)
        unlinted = check_lint(ansible, collection)
        if sealed:
            run_fleet(ansible, simulators, os.path.join(collection, "examples"), work)
    finally:
        simulators.stop()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit("FAIL:\n" + "\n".join(failures))
    if unlinted:
        skip(unlinted + "; every other check passed")
    if not sealed:
        skip("the fleet needs the sealed network namespace of scripts/test.sh; never the real network")
    print("PASS: the collection against %d simulated encoders" % FLEET_SIZE)


def run_fleet(ansible, simulators, example, work):
    states = os.path.join(work, "states")
    simulators.fleet("fleet", FLEET[0], FLEET_SIZE, states)

    def alone(name, fault):
        """Faults apply to a whole fleet: a misbehaving encoder runs alone, at the factory address 172.16.30.1."""
        return simulators.start(name, ["--port", "0", "--state", os.path.join(work, name + ".state"), "--fault",
                                       fault])[0]

    refusing, losing = alone("refusing", "write-status:4"), alone("losing", "lose-write")
    sites = {"north": (FLEET[:FLEET_SIZE // 2], "10.77.8.254", "255.255.255.0"),
             "harbour": (FLEET[FLEET_SIZE // 2:] + [UNREACHABLE], "10.77.255.254", "255.255.0.0"),
             "lab": ([refusing, losing], "172.16.30.254", "255.255.255.0")}
    local = {"ansible_connection": "local", "ansible_python_interpreter": "{{ ansible_playbook_python }}"}
    inventory = os.path.join(work, "inventory.yml")

    def write_inventory():
        with open(inventory, "w") as out:
            json.dump({"sites": {"vars": local, "children": {
                name: {"hosts": {name + "-ops": None},
                       "vars": {"encoders": [{"encoder": e} for e in encoders], "encoder_gateway": gateway,
                                "encoder_mask": mask}}
                for name, (encoders, gateway, mask) in sites.items()}}}, out)

    def fleet_holds(site, mask=None):
        encoders, gateway, site_mask = sites[site]
        held = [pnvtest.state_values(os.path.join(states, e + ".state")) or {} for e in encoders if e in FLEET]
        return all((values.get("gateway"), values.get("mask")) == (gateway, mask or site_mask) for values in held)

    def fleet_writes():
        return simulators.log("fleet").count("WRITE")

    def playbook_run(name, *options):
        return ansible.run("ansible-playbook", "-i", inventory, *options, os.path.join(example, name))

    # WHEN the example playbook runs the first time THEN every fleet encoder
    # is written and holds its site's values; the misbehaving ones fail their
    # site's task with pnv3400ctl's message, and the others go on.
    write_inventory()
    code, _, results, recap = playbook_run("gateway-and-mask.yml")
    expect(code == 2 and recap == {"north-ops": 0, "harbour-ops": 1, "lab-ops": 1},
           "first run: exit %d (2 for failed hosts), failed tasks per host: %s" % (code, recap))
    for site in ("north", "harbour"):
        for encoder, item in by_encoder(results.get(site + "-ops", {})).items():
            expect(encoder == UNREACHABLE or (item.get("changed") is True and item.get("outcome") == "applied"),
                   "first run: %s: %s" % (encoder, item))
        expect(fleet_holds(site), "first run: the state files of %s do not hold its gateway and mask" % site)
    expect(fleet_writes() == FLEET_SIZE, "first run: %d WRITEs in the fleet, not %d" % (fleet_writes(), FLEET_SIZE))
    for encoder, site, message in (
            (UNREACHABLE, "harbour", "%s:3001: failed: connect: " % UNREACHABLE),
            (refusing, "lab", "%s: rejected: the encoder refused the write" % refusing),
            (losing, "lab", "%s: not-applied: the encoder acknowledged the write but holds something else" % losing)):
        item = by_encoder(results.get(site + "-ops", {})).get(encoder, {})
        expect(item.get("failed") is True and item.get("changed") is False and item.get("msg", "").startswith(message),
               "first run: %s: expected failed with '%s...', got %s" % (encoder, message, item))
        held_to_return("encoder_config", item)
    expect(by_encoder(results.get("lab-ops", {})).get(refusing, {}).get("code") == 4, "first run: refusal, no code 4")
    for name in ("refusing", "losing"):
        expect((pnvtest.state_values(os.path.join(work, name + ".state")) or {}).get("gateway") == "172.16.0.1",
               "first run: the %s encoder stored the write" % name)

    # WHEN it runs again THEN nothing is changed and nothing written.
    code, _, results, _ = playbook_run("gateway-and-mask.yml", "--limit", "north:harbour")
    expect(code == 2, "second run: ansible-playbook exited %d, expected 2 (the unreachable encoder)" % code)
    items = dict(by_encoder(results.get("north-ops", {})), **by_encoder(results.get("harbour-ops", {})))
    expect(set(items) == set(FLEET) | {UNREACHABLE}, "second run: encoders reported: %s" % sorted(items))
    for encoder, item in items.items():
        expect(encoder == UNREACHABLE or (item.get("changed") is False and item.get("outcome") == "unchanged"),
               "second run: %s: %s" % (encoder, item))
        held_to_return("encoder_config", item)
    expect(fleet_writes() == FLEET_SIZE, "second run: the fleet logged %d WRITEs more" % (fleet_writes() - FLEET_SIZE))

    # WHEN check mode asks for a new gateway THEN each encoder would change,
    # the diff shows it, and nothing is written.
    code, out, results, _ = playbook_run("gateway-and-mask.yml", "--limit", "north", "--check", "--diff",
                                         "-e", "encoder_gateway=10.77.8.253")
    items = by_encoder(results.get("north-ops", {}))
    expect(code == 0 and len(items) == len(sites["north"][0]), "check mode: exit %d, %d encoders" % (code, len(items)))
    for encoder, item in items.items():
        expect(item.get("changed") is True and item.get("outcome") == "dry-run"
               and item.get("after", {}).get("gateway") == "10.77.8.253", "check mode: %s: %s" % (encoder, item))
    expect("-gateway: 10.77.8.254\n+gateway: 10.77.8.253\n" in out, "check mode: no gateway diff in:\n" + out)
    expect(fleet_writes() == FLEET_SIZE and fleet_holds("north"), "check mode wrote to the fleet")

    # The site-at-once example: one encoder_plan task per site, new gateways given with prefix-length masks.
    # write-status refuses one write only: the plan meets a fresh refusing encoder.
    refusing = alone("refusing-again", "write-status:4")
    sites.update(north=(sites["north"][0], "10.77.8.250", "24"), harbour=(sites["harbour"][0], "10.77.255.250", "/16"),
                 lab=([refusing, losing],) + sites["lab"][1:])
    write_inventory()
    writes = fleet_writes()
    code, _, results, recap = playbook_run("site-plan.yml")
    expect(code == 2 and recap == {"north-ops": 0, "harbour-ops": 1, "lab-ops": 1},
           "plan: exit %d, failed tasks per host %s" % (code, recap))
    north, harbour, lab = (results.get(site + "-ops", {}) for site in ("north", "harbour", "lab"))
    entries = dict(by_encoder(north), **by_encoder(harbour))
    for encoder, entry in entries.items():
        wanted = ("failed", False, True) if encoder.startswith(UNREACHABLE + ":") else ("applied", True, False)
        expect((entry["outcome"], entry["changed"], entry["failed"]) == wanted, "plan: %s: %s" % (encoder, entry))
    expect(len(entries) == FLEET_SIZE + 1 and north.get("changed") is True and harbour.get("changed") is True
           and harbour.get("msg", "").startswith("1 of 7 encoders failed: %s:3001: failed: " % UNREACHABLE),
           "plan: the sites' tasks: %s / %s" % (north, harbour))
    expect(fleet_holds("north", "255.255.255.0") and fleet_holds("harbour", "255.255.0.0"),
           "plan: the state files do not hold the new gateways and masks")
    expect(fleet_writes() == writes + FLEET_SIZE, "plan: %d WRITEs, not %d" % (fleet_writes() - writes, FLEET_SIZE))
    lab_entries = by_encoder(lab)
    expect([lab_entries.get(e, {}).get("outcome") for e in (refusing, losing)] == ["rejected", "not-applied"]
           and lab.get("summary", {}).get("rejected") == 1 and lab.get("changed") is False,
           "plan: the lab's results: %s" % lab)
    held_to_return("encoder_plan", north, harbour, lab)

    # WHEN it runs again THEN nothing is written; in check mode with a new gateway nothing is written either,
    # and the diff names each encoder that would change.
    code, _, results, _ = playbook_run("site-plan.yml", "--limit", "north")
    north = results.get("north-ops", {})
    expect(code == 0 and north.get("changed") is False and north.get("summary", {}).get("unchanged") == 6,
           "plan, second run: %s" % north)
    code, out, results, _ = playbook_run("site-plan.yml", "--limit", "north", "--check", "--diff",
                                         "-e", "encoder_gateway=10.77.8.249")
    north = results.get("north-ops", {})
    expect(code == 0 and north.get("changed") is True and north.get("summary", {}).get("dry-run") == 6
           and out.count("+gateway: 10.77.8.249\n") == 6 and "+++ after: %s:3001" % FLEET[0] in out,
           "plan, check mode: %s\n%s" % (north, out))
    expect(fleet_writes() == writes + FLEET_SIZE and fleet_holds("north", "255.255.255.0"),
           "plan: the second run or check mode wrote")
    probe(ansible, simulators, work, local)
    scan_inventory(ansible, simulators, work)
    task_timeout(ansible, simulators, work, local)


def probe(ansible, simulators, work, local):
    """Ad hoc, one case per host: what the modules refuse before any traffic, what pnv3400ctl cannot do without
    its library or is not there, and reading."""
    four, missing = FLEET[3], os.path.join(work, "pnv3400ctl")
    probes = {
        "no-encoder": ({"mask": "255.255.255.0"}, "missing required arguments: encoder"),
        "empty-encoder": ({"encoder": "", "mask": "24"}, "encoder is empty"),
        "nothing-to-set": ({"encoder": four}, "one of the following is required: ip, port, gateway, mask"),
        "rule-refusal": ({"encoder": four, "mask": "255.0.255.0"},
                         four + ":3001: invalid: mask 255.0.255.0 is not contiguous"),
        "prefix-refusal": ({"encoder": four, "mask": "/31"}, four + ":3001: invalid: mask 255.255.255.254 is a /31"),
        "masks-disagree": ({"encoder": four, "ip": "10.77.8.4/24", "mask": "16"},
                           four + ": invalid: ip 10.77.8.4/24 and mask 16 give different masks"),
        "no-library": ({"encoder": FLEET[4], "mask": "24", "library": "/nonexistent/libtessalin.so"},
                       "pnv3400ctl (exit 3): cannot bind the device library: /nonexistent/libtessalin.so"),
        "no-program": ({"encoder": FLEET[5], "mask": "24", "ctl_path": missing},
                       "ctl_path %s is not an executable file" % missing),
    }
    probe_inventory = os.path.join(work, "probes.yml")
    # Blanks around an encoder are trimmed by every module, as by encoder_plan.
    hosts = dict(probes, reads=({"encoder": FLEET[2]},), **{"reads-nothing": ({"encoder": UNREACHABLE},),
                                                           "reads-blanks": ({"encoder": " %s " % FLEET[2]},)})
    with open(probe_inventory, "w") as out:
        json.dump({"probes": {"vars": local, "hosts": {name: {"probe": row[0]} for name, row in hosts.items()}}}, out)

    def connections():
        return simulators.log("fleet").count("connected")

    def ad_hoc(pattern, module, arguments, *options):
        """(exit code, {host: OK, FAILED...}, {host: result})"""
        code, out, results, _ = ansible.run("ansible", pattern, "-i", probe_inventory, *options,
                                            "-m", "%s.%s" % (COLLECTION, module), "-a", arguments)
        return code, dict(re.findall(r"^(\S+) \| ([A-Z]+)", out, re.MULTILINE)), results

    before = connections()
    code, status, results = ad_hoc("probes", "encoder_config", " ".join(
        "%s={{ probe.%s | default(omit) }}" % (key, key) for key in ("encoder", "ip", "mask", "library", "ctl_path")),
        "--limit", ",".join(probes))
    expect(code == 2, "probes: ansible exited %d, expected 2" % code)
    for name, (_, message) in probes.items():
        result = results.get(name, {})
        expect(status.get(name) == "FAILED" and result.get("msg", "").startswith(message),
               "probe %s: expected '%s...', got %s" % (name, message, result))
        if not name.startswith(("no-encoder", "nothing-to-set")):   # Ansible refused these before the module ran
            held_to_return("encoder_config", result)
    expect(connections() == before, "probes: a refused task reached the fleet:\n" + simulators.log("fleet"))

    # A plan the rules refuse is refused whole: its encoder at fault is named, the other one is not run.
    plan = {"encoders": [{"encoder": four, "gateway": "10.77.9.1"}, {"encoder": FLEET[4], "mask": "255.0.255.0"}]}
    code, _, results = ad_hoc("reads", "encoder_plan", json.dumps(plan))
    refused = results.get("reads", {})
    expect(code == 2 and [(r["outcome"], r["message"]) for r in refused.get("results", [])]
           == [(None, None), ("invalid", "%s:3001: mask 255.0.255.0 is not contiguous" % FLEET[4])]
           and refused.get("msg", "").startswith("the plan is refused; nothing was sent: %s:3001: invalid: "
                                                  % FLEET[4]), "encoder_plan, refused: %s" % refused)
    held_to_return("encoder_plan", refused)
    expect(connections() == before, "encoder_plan: a refused plan was sent")

    # encoder_info reads in check mode as it does otherwise.
    code, status, results = ad_hoc("reads*", "encoder_info", "encoder={{ probe.encoder }}", "--check")
    read, nothing = results.get("reads", {}), results.get("reads-nothing", {})
    blanks = results.get("reads-blanks", {})
    expect(blanks.get("encoder") == FLEET[2] + ":3001" and blanks.get("config") == read.get("config"),
           "encoder_info, blanks around the encoder: %s" % blanks)
    expect(code == 2 and read.get("changed") is False and read.get("config", {}).get("gateway") == "10.77.8.250"
           and read.get("config", {}).get("prefix") == 24 and read.get("encoder") == FLEET[2] + ":3001",
           "encoder_info: %s" % read)
    expect(status.get("reads-nothing") == "FAILED" and nothing.get("config") is None
           and nothing.get("msg", "").startswith("%s:3001: failed: connect: " % UNREACHABLE),
           "encoder_info, nothing there: %s" % nothing)
    held_to_return("encoder_info", read, nothing)
    expect(connections() == before + 2, "encoder_info: not one connection per host")

    # A row invalid only after its read (a gateway outside the subnet the encoder holds) fails the task, and the
    # other rows, which pnv3400ctl did run, are reported with their outcomes and the summary.
    plan = {"encoders": [{"encoder": FLEET[2], "gateway": "10.77.8.250"}, {"encoder": FLEET[3], "gateway": "10.99.9.9"}]}
    code, _, results = ad_hoc("reads", "encoder_plan", json.dumps(plan))
    mixed = results.get("reads", {})
    expect(code == 2 and [r["outcome"] for r in mixed.get("results", [])] == ["unchanged", "invalid"]
           and (mixed.get("summary") or {}).get("unchanged") == 1 and (mixed.get("summary") or {}).get("invalid") == 1
           and mixed.get("rc") == 2, "encoder_plan, a row invalid after its read: %s" % mixed)
    held_to_return("encoder_plan", mixed)

    # An empty plan runs nothing and succeeds.
    code, status, results = ad_hoc("reads", "encoder_plan", json.dumps({"encoders": []}))
    empty = results.get("reads", {})
    expect(code == 0 and status.get("reads") == "SUCCESS" and empty.get("results") == [] and empty.get("changed") is False,
           "encoder_plan, no encoders: %s" % empty)


def scan_inventory(ansible, simulators, work):
    """The scan inventory plugin over the fleet's subnet: each encoder a host with its variables."""
    source = os.path.join(work, "fleet.pnv3400.yml")
    with open(source, "w") as out:
        # Overlapping subnets: each encoder is still one host.
        json.dump({"plugin": COLLECTION + ".scan", "subnets": ["10.77.8.0/28", "10.77.8.0/29"], "timeout": 300,
                   "keyed_groups": [{"key": "gateway", "prefix": "gateway"}]}, out)
    code, out, _, _ = ansible.run("ansible-inventory", "-i", source, "--list")
    inventory = json.loads(out) if code == 0 else {}
    hostvars = inventory.get("_meta", {}).get("hostvars", {})
    expect(sorted(hostvars) == sorted(FLEET), "scan: hosts %s" % sorted(hostvars))
    expect(sorted(inventory.get("subnet_10_77_8_0_28", {}).get("hosts", [])) == sorted(hostvars)
           and len(inventory.get("gateway_10_77_8_250", {}).get("hosts", [])) == FLEET_SIZE // 2,
           "scan: groups %s" % {name: group for name, group in inventory.items() if name != "_meta"})
    for host, variables in hostvars.items():
        expect(variables.get("encoder") == host + ":3001" and variables.get("ip") == host
               and variables.get("port") == 3001 and re.match(r"^([0-9A-F]{2}:){5}[0-9A-F]{2}$",
                                                              variables.get("mac", ""), re.I)
               and variables.get("gateway") in ("10.77.8.250", "10.77.255.250")
               and variables.get("mask") in ("255.255.255.0", "255.255.0.0"), "scan: %s: %s" % (host, variables))
    # A scan that fails (a subnet wider than a /22 is refused, nothing sent): the source adds no hosts and the run
    # goes on with a warning; with strict it fails.
    for strict in (False, True):
        failing = os.path.join(work, "failing-%s.pnv3400.yml" % strict)
        with open(failing, "w") as out:
            json.dump({"plugin": COLLECTION + ".scan", "subnets": ["10.77.0.0/16"], "strict": strict}, out)
        code, out, _, _ = ansible.run("ansible-inventory", "-i", failing, "--list")
        hosts = json.loads(out).get("_meta", {}).get("hostvars", {}) if code == 0 else None
        expect((code, hosts) == ((1, None) if strict else (0, {})), "scan, strict %s, failed: exit %d, hosts %s"
               % (strict, code, hosts))
    # Three encoders that share one MAC are three hosts and a warning that names them; nothing answering is a
    # warning too; strict fails the run on either.
    twins = ["10.77.8.%d" % k for k in (201, 202, 203)]
    fleet_addresses(twins[0], len(twins))
    for address in twins:
        simulators.start("twin-" + address, ["--listen", address, "--port", "3001", "--state",
                                             os.path.join(work, address + ".state"), "--mac", "02:00:00:00:77:77"])
    shared = "MAC 02:00:00:00:77:77 answers at " + ", ".join(twin + ":3001" for twin in twins)
    for subnet, hosts, warning in (("10.77.8.200/29", sorted(twins), shared),
                                   ("10.77.8.208/29", [], "no encoder answered on 10.77.8.208/29, port 3001")):
        for strict in (False, True):
            doubtful = os.path.join(work, "doubt-%s-%s.pnv3400.yml" % (subnet.replace("/", "_"), strict))
            with open(doubtful, "w") as out:
                json.dump({"plugin": COLLECTION + ".scan", "subnets": [subnet], "timeout": 300, "strict": strict}, out)
            code, out, _, _ = ansible.run("ansible-inventory", "-i", doubtful, "--list")
            found = sorted(json.loads(out).get("_meta", {}).get("hostvars", {})) if code == 0 else None
            expect((code, found) == ((1, None) if strict else (0, hosts)) and warning in ansible.stderr.replace("\n", " "),
                   "scan %s, strict %s: exit %d, hosts %s, stderr %s" % (subnet, strict, code, found, ansible.stderr))


def task_timeout(ansible, simulators, work, local):
    """The task keyword timeout ends the module; its pnv3400ctl then starts no new encoder."""
    slow = ["10.77.8.%d" % k for k in range(161, 167)]
    fleet_addresses(slow[0], len(slow))
    simulators.start("slow", ["--fleet", str(len(slow)), "--listen", slow[0], "--port", "3001", "--state-dir",
                              os.path.join(work, "slow"), "--fault", "delay:400"], len(slow))
    playbook = os.path.join(work, "timeout.yml")
    with open(playbook, "w") as out:
        json.dump([{"hosts": "localhost", "gather_facts": False, "vars": local, "tasks": [{
            "name": "A plan longer than its task may take", "timeout": 3,
            COLLECTION + ".encoder_plan": {"jobs": 1, "encoders": [
                {"encoder": encoder, "gateway": "10.77.8.254", "mask": "24"} for encoder in slow]}}]}], out)
    code, out, _, _ = ansible.run("ansible-playbook", "-i", "localhost,", playbook)
    expect(code == 2 and "expected time frame" in out, "task timeout: exit %d\n%s" % (code, out))

    def writes():
        return simulators.log("slow").count("WRITE")

    # Each row takes over a second: once the count stands still for three of them, nothing writes any more.
    counts, deadline = [writes()], time.monotonic() + 30
    while time.monotonic() < deadline and not (len(counts) >= 4 and len(set(counts[-4:])) == 1):
        time.sleep(1)
        counts.append(writes())
    expect(counts[-1] < len(slow), "task timeout: pnv3400ctl went on writing after its module ended: %s" % counts)


if __name__ == "__main__":
    main()
