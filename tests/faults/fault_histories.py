#!/usr/bin/env python3
"""Randomized fault histories, in the manner of Jepsen's: each history draws a fleet, a plan (gateway changes,
moves, shared targets, chains, a second plan onto addresses the first promised), faults of the simulator (a write
stored and its link dropped before the answer, answered after the budget, stored and the encoder gone, acknowledged
but not stored, slow answers) and sometimes a Ctrl+C to pnv3400ctl apply; then every encoder's state file is read
and what was reported is checked against it:
  1. no encoder holds a change that its report calls failed, not-applied, rejected, invalid or unchanged, nor one
     of a row that never started;
  2. no two encoders hold one address.
Prints its seed first, and again with the history on a failure, so that a run can be repeated with --seed.
Runs in the sealed network namespace only (scripts/sealed-net.sh); skips elsewhere.
Usage: fault_histories.py BIN_DIR [--seconds S] [--seed N]"""

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))
import pnvtest  # noqa: E402

FAULTS = ([], ["drop-after-write"], ["late-write:600"], ["gone-after-write"], ["lose-write"],
          ["lose-write", "drop-after-write"], ["delay:80"])
KEEPS_NOTHING = {"failed", "not-applied", "rejected", "invalid", "unchanged"}


def apply(ctl, plan, jobs, env, interrupt_after):
    """The JSON lines of one `pnv3400ctl apply`, Ctrl+C'd after `interrupt_after` seconds when given."""
    process = subprocess.Popen([ctl, "--json", "apply", plan, "--jobs", str(jobs)], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env, start_new_session=True)
    if interrupt_after is not None:
        try:
            process.wait(interrupt_after)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGINT)
    out, _ = process.communicate(timeout=120)
    return process.returncode, [json.loads(line) for line in out.decode().splitlines() if line.strip()]


def history(number, rng, bin_dir, work):
    """One history; a list of the invariants it broke (empty when it held them all)."""
    base = "10.%d.%d" % (90 + number // 250, number % 250)
    count = rng.randint(3, 6)
    faults = rng.choice(FAULTS)
    sims = pnvtest.Simulators(bin_dir, work)
    states = os.path.join(work, "states-%d" % number)
    args = []
    for fault in faults:
        args += ["--fault", fault]
    try:
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        subprocess.run(["bash", os.path.join(root, "scripts", "fleet-addresses.sh"), base + ".1", str(count)],
                       check=True, timeout=30)
        sims.start("fleet-%d" % number, ["--fleet", str(count), "--listen", base + ".1", "--port", "3001",
                                          "--state-dir", states] + args, count)
        encoders = ["%s.%d" % (base, i + 1) for i in range(count)]
        path = lambda e: os.path.join(states, e + ".state")
        before = {e: pnvtest.state_values(path(e)) for e in encoders}
        env = dict(os.environ, TESSALIN_TIMEOUT_MS="300")
        ctl = os.path.join(bin_dir, "pnv3400ctl")
        asked = {}
        rows = []
        # Now and then one row that refuses the plan whole: a target shared with another row, or a chain.
        odd = rng.randrange(count) if rng.random() < 0.2 else -1
        for i, encoder in enumerate(encoders):
            kind = rng.choice(("shared", "chain")) if i == odd else rng.choice(("gateway", "move"))
            if kind == "gateway":
                cells = ("", "%s.254" % base)
            elif kind == "move":
                cells = ("%s.%d" % (base, 100 + i), "")
            elif kind == "shared":
                cells = ("%s.%d" % (base, 100 + (i + 1) % count), "")
            else:
                cells = (encoders[(i + 1) % count], "")
            rows.append("%s,%s,,%s,255.255.255.0" % (encoder, cells[0], cells[1] or "0.0.0.0"))
            asked[encoder] = cells
        plan = os.path.join(work, "plan-%d.csv" % number)
        with open(plan, "w") as out:
            out.write("encoder,ip,port,gateway,mask\n" + "\n".join(rows) + "\n")
        interrupt = rng.uniform(0.05, 1.0) if rng.random() < 0.3 else None
        code, lines = apply(ctl, plan, rng.choice((1, 2, 4)), env, interrupt)
        reports = {line["encoder"].rsplit(":", 1)[0]: line for line in lines if "outcome" in line}
        # A second plan onto the addresses the first gave: each refused while promised, or written where free.
        moved = [e for e, r in reports.items() if r["outcome"] in ("applied", "unknown") and asked[e][0]]
        if moved and rng.random() < 0.5:
            target = asked[rng.choice(moved)][0]
            other = rng.choice([e for e in encoders if e not in moved] or encoders)
            with open(plan, "w") as out:
                out.write("encoder,ip,port,gateway,mask\n%s,%s,,0.0.0.0,255.255.255.0\n" % (other, target))
            _, second = apply(ctl, plan, 1, env, None)
            for line in second:
                if "outcome" in line:
                    reports.setdefault(other, line)
                    if line["outcome"] == "applied":
                        reports[other] = line
        after = {e: pnvtest.state_values(path(e)) for e in encoders}
        broken = []
        for encoder in encoders:
            held, was = after[encoder] or {}, before[encoder] or {}
            report = reports.get(encoder)
            changed = any(held.get(k) != was.get(k) for k in ("address", "port", "gateway", "mask"))
            outcome = report["outcome"] if report else "not started"
            if changed and (outcome in KEEPS_NOTHING or outcome == "not started"):
                broken.append("%s holds a change (%s -> %s) its report calls %s" % (
                    encoder, {k: was.get(k) for k in ("address", "gateway")}, {k: held.get(k) for k in ("address", "gateway")},
                    outcome))
        addresses = [(after[e] or {}).get("address") for e in encoders]
        for address in set(addresses):
            if addresses.count(address) > 1:
                broken.append("two encoders hold %s" % address)
        return broken, {"faults": faults, "plan": rows, "interrupt": interrupt, "exit": code,
                        "outcomes": {e: r.get("outcome") for e, r in reports.items()}}
    finally:
        sims.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin_dir")
    parser.add_argument("--seconds", type=float, default=50)
    parser.add_argument("--seed", type=int, default=None)
    options = parser.parse_args()
    if not pnvtest.in_sealed_network():
        pnvtest.skip("outside the sealed network namespace (scripts/sealed-net.sh)")
    seed = options.seed if options.seed is not None else random.SystemRandom().randrange(1 << 32)
    print("seed %d" % seed, flush=True)
    rng = random.Random(seed)
    work = tempfile.mkdtemp(prefix="pnv3400-faults-")
    os.environ["XDG_STATE_HOME"] = os.path.join(work, "state")   # the ledger of pending addresses, ours alone
    deadline = time.monotonic() + options.seconds
    histories = 0
    seen = {}
    try:
        while time.monotonic() < deadline and histories < 250 * 250:
            broken, record = history(histories, rng, os.path.abspath(options.bin_dir), work)
            histories += 1
            for outcome in record["outcomes"].values():
                seen[outcome] = seen.get(outcome, 0) + 1
            if broken:
                print("FAIL: seed %d, history %d: %s\n  %s" % (seed, histories, "; ".join(broken), json.dumps(record)))
                return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("PASS: %d histories, seed %d: no encoder holds a change reported as not made, no two encoders share an "
          "address; outcomes met: %s" % (histories, seed, json.dumps(seen, sort_keys=True)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
