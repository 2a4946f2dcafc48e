#!/usr/bin/env python3
"""One encoder_plan task of the Ansible collection over 1,000 simulated
encoders, against `pnv3400ctl apply` of the same plan alone, run beside it:
the pairs alternate which goes first, every run writes a new gateway to every
encoder, and the table gives the wall times and their ratio (median and range).
A third row, a play whose only task does nothing, shows Ansible's own fixed cost.

    python3 bench/ansible_plan_bench.py [BUILD_DIR] [--encoders N] [--reps N] [--jobs N]

Runs itself inside the sealed network namespace (scripts/sealed-net.sh); every
address stays there. See docs/performance.md.
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

FIRST = "10.79.0.1"   # used by no test and no other benchmark

PLAY = """- hosts: localhost
  gather_facts: false
  tasks:
    - pnv3400.encoder.encoder_plan:
        encoders: "{{ plan }}"
        jobs: "{{ jobs }}"
      when: not idle
"""


def timed(argv, env, cwd):
    start = time.monotonic()
    done = subprocess.run(argv, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    took = time.monotonic() - start
    if done.returncode != 0:
        sys.exit("%s failed:\n%s" % (argv[0], done.stdout[-2000:]))
    return took, done.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--encoders", type=int, default=1000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=4)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if not pnvtest.in_sealed_network():
        os.execvp("bash", ["bash", os.path.join(ROOT, "scripts", "sealed-net.sh"), sys.executable,
                           os.path.abspath(__file__), build] + sys.argv[2:])
    for tool in ("ansible-playbook",):
        if shutil.which(tool) is None:
            pnvtest.skip("%s is not installed (Debian package ansible-core)" % tool)
    bin_dir = os.path.join(build, "bin")
    work = tempfile.mkdtemp(prefix="ansible-bench.", dir=build)   # the build's disk: saves are durable there
    simulators = pnvtest.Simulators(bin_dir, work)
    try:
        encoders = simulators.fleet("fleet", FIRST, args.encoders, os.path.join(work, "states"))
        collections = os.path.join(work, "collections", "ansible_collections", "pnv3400")
        os.makedirs(collections)
        os.symlink(os.path.join(ROOT, "contrib", "ansible"), os.path.join(collections, "encoder"))
        open(os.path.join(work, "ansible.cfg"), "w").close()
        with open(os.path.join(work, "play.yml"), "w") as play:
            play.write(PLAY)
        # The interpreter ansible-playbook itself runs on: no discovery at each run.
        with open(shutil.which("ansible-playbook")) as script:
            interpreter = script.readline()[2:].strip()
        env = dict(os.environ, HOME=work, ANSIBLE_CONFIG=os.path.join(work, "ansible.cfg"),
                   ANSIBLE_COLLECTIONS_PATH=os.path.join(work, "collections"), ANSIBLE_LOCALHOST_WARNING="0",
                   ANSIBLE_INVENTORY_UNPARSED_WARNING="0", ANSIBLE_PYTHON_INTERPRETER=interpreter,
                   PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
        gateway = [0]

        def plan():
            """A new gateway for every encoder, so that each run writes them all."""
            gateway[0] += 1
            return [{"encoder": e, "gateway": "10.79.255.%d" % gateway[0]} for e in encoders]

        def apply_alone():
            rows = plan()
            path = os.path.join(work, "plan.csv")
            with open(path, "w") as out:
                out.write("encoder,ip,port,gateway,mask\n")
                out.writelines("%s,,,%s,\n" % (row["encoder"], row["gateway"]) for row in rows)
            took, out = timed([os.path.join(bin_dir, "pnv3400ctl"), "--json", "apply", path, "--jobs",
                               str(args.jobs)], env, work)
            if '"applied":%d' % len(rows) not in out.replace(" ", ""):
                sys.exit("apply did not write every encoder:\n" + out[-500:])
            return took

        def play(idle=False):
            with open(os.path.join(work, "vars.json"), "w") as out:
                json.dump({"plan": [] if idle else plan(), "jobs": args.jobs, "idle": idle}, out)
            took, out = timed(["ansible-playbook", "-i", "localhost,", "-c", "local", "-e", "@vars.json",
                               "play.yml"], env, work)
            if not idle and "changed=1" not in out:
                sys.exit("the play did not change the encoders:\n" + out[-2000:])
            return took

        pairs = []
        for rep in range(args.reps):
            if rep % 2 == 0:
                pairs.append((play(), apply_alone(), play(idle=True)))
            else:
                alone = apply_alone()
                pairs.append((play(), alone, play(idle=True)))
    finally:
        simulators.stop()
        shutil.rmtree(work, ignore_errors=True)

    def row(name, values, base):
        ratios = [v / b for v, b in zip(values, base)]
        print("| %s | %.2f s | %.2f (%.2f to %.2f) |" % (name, statistics.median(values), statistics.median(ratios),
                                                          min(ratios), max(ratios)))

    plays, alone, idle = ([p[i] for p in pairs] for i in range(3))
    print("%d encoders of one pnv3400-sim --fleet, --jobs %d, %d pairs, %d cores" % (args.encoders, args.jobs,
                                                                                     args.reps, os.cpu_count()))
    print("| Run | Wall time, median | Ratio to apply alone, median (range) |")
    print("|---|---|---|")
    row("`pnv3400ctl apply` alone (baseline)", alone, alone)
    row("one `encoder_plan` task (ansible-playbook, whole run)", plays, alone)
    row("a play whose task is skipped (Ansible's fixed cost)", idle, alone)


if __name__ == "__main__":
    main()
