#!/usr/bin/env python3
"""The scan inventory plugin of the Ansible collection over 1,000 simulated
encoders (`ansible-inventory --list`, a whole run), against `pnv3400ctl scan`
of the same subnet alone, run beside it in alternating pairs; the table gives
the wall times and their ratio (median and range). The inventory takes each
encoder's configuration from the scan itself, so its cost over the scan is
Ansible's own, not a second pass of reads.

    python3 bench/ansible_inventory_bench.py [BUILD_DIR] [--encoders N] [--reps N] [--jobs N]

Runs itself inside the sealed network namespace (scripts/sealed-net.sh); every
address stays there.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import pnvtest  # noqa: E402

FIRST, SUBNET = "10.82.0.1", "10.82.0.0/22"   # used by no test and no other benchmark


def timed(argv, env, cwd):
    start = time.monotonic()
    done = subprocess.run(argv, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          check=False)
    took = time.monotonic() - start
    if done.returncode != 0:
        sys.exit("%s failed:\n%s" % (argv[0], done.stderr[-2000:]))
    return took, done.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--encoders", type=int, default=1000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=8)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if not pnvtest.in_sealed_network():
        os.execvp("bash", ["bash", os.path.join(ROOT, "scripts", "sealed-net.sh"), sys.executable,
                           os.path.abspath(__file__), build] + sys.argv[2:])
    if shutil.which("ansible-inventory") is None:
        pnvtest.skip("ansible-inventory is not installed (Debian package ansible-core)")
    bin_dir = os.path.join(build, "bin")
    work = tempfile.mkdtemp(prefix="inventory-bench.", dir=build)
    simulators = pnvtest.Simulators(bin_dir, work)
    try:
        simulators.fleet("fleet", FIRST, args.encoders, os.path.join(work, "states"))
        collections = os.path.join(work, "collections", "ansible_collections", "pnv3400")
        os.makedirs(collections)
        os.symlink(os.path.join(ROOT, "contrib", "ansible"), os.path.join(collections, "encoder"))
        open(os.path.join(work, "ansible.cfg"), "w").close()
        source = os.path.join(work, "fleet.pnv3400.yml")
        with open(source, "w") as out:
            json.dump({"plugin": "pnv3400.encoder.scan", "subnets": [SUBNET], "jobs": args.jobs}, out)
        env = dict(os.environ, HOME=work, ANSIBLE_CONFIG=os.path.join(work, "ansible.cfg"),
                   ANSIBLE_COLLECTIONS_PATH=os.path.join(work, "collections"),
                   PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))

        def scan_alone():
            took, out = timed([os.path.join(bin_dir, "pnv3400ctl"), "--json", "scan", SUBNET, "--jobs",
                               str(args.jobs)], env, work)
            if out.count('"encoder"') != args.encoders:
                sys.exit("scan found %d encoders, not %d" % (out.count('"encoder"'), args.encoders))
            return took

        def inventory():
            took, out = timed(["ansible-inventory", "-i", source, "--list"], env, work)
            hosts = json.loads(out).get("_meta", {}).get("hostvars", {})
            if len(hosts) != args.encoders or not all(v.get("gateway") for v in hosts.values()):
                sys.exit("the inventory holds %d hosts, not %d with their configuration" % (len(hosts), args.encoders))
            return took

        pairs = []
        for rep in range(args.reps):
            if rep % 2 == 0:
                pairs.append((inventory(), scan_alone()))
            else:
                alone = scan_alone()
                pairs.append((inventory(), alone))
    finally:
        simulators.stop()
        shutil.rmtree(work, ignore_errors=True)

    inventories, alone = [p[0] for p in pairs], [p[1] for p in pairs]
    ratios = [i / a for i, a in zip(inventories, alone)]
    print("%d encoders of one pnv3400-sim --fleet, --jobs %d, %d pairs, %d cores" % (args.encoders, args.jobs,
                                                                                     args.reps, os.cpu_count()))
    print("| Run | Wall time, median | Ratio to scan alone, median (range) |")
    print("|---|---|---|")
    print("| `pnv3400ctl scan` alone (baseline) | %.2f s | 1.00 |" % statistics.median(alone))
    print("| the scan inventory (ansible-inventory --list, whole run) | %.2f s | %.2f (%.2f to %.2f) |" % (
        statistics.median(inventories), statistics.median(ratios), min(ratios), max(ratios)))


if __name__ == "__main__":
    main()
