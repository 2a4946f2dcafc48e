#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The PNV-3400 Set-up Utility authors
# Apache License, Version 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0
#
# Configures many PNV-3400 encoders in one task through one run of
# pnv3400ctl apply: a module run per encoder costs Ansible far more than the
# write itself, while apply writes them in parallel worker processes.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: encoder_plan
short_description: Configure many PNV-3400 encoders at once
version_added: "1.0.0"
description:
  - Writes a plan of encoders through a single run of C(pnv3400ctl apply --json) on the managed host, I(jobs)
    encoders at a time, each read, checked, written only when it holds something else, and read back.
  - The whole plan is checked before anything is sent; if any encoder's values break the rules, the task fails
    and nothing is written to any encoder.
  - The task reports a change when any encoder was written, and fails when any encoder failed; I(results) says
    which, and every other encoder was still done.
  - A new address or port takes effect when the encoder restarts; until then it answers at the old one.
options:
  encoders:
    description:
      - The encoders and their new values; each entry takes the keys of M(pnv3400.encoder.encoder_config).
      - An encoder may be listed once only, and two entries may not give the same new I(ip).
    type: list
    elements: dict
    required: true
    suboptions:
      encoder:
        description: The encoder, C(ADDRESS) or C(ADDRESS:PORT) (port 3001 when not given).
        type: str
        required: true
      ip:
        description: Its new address; C(ADDRESS/PREFIX) also sets the mask.
        type: str
      port:
        description: Its new port, 1 to 65535.
        type: int
      gateway:
        description: Its new default gateway; C(0.0.0.0) means none.
        type: str
      mask:
        description: Its new subnet mask, dotted or as a prefix length (C(24) or C(/24)).
        type: str
  jobs:
    description: How many encoders are written at the same time, 1 to 64.
    type: int
    default: 4
  force:
    description:
      - Skip the address rules and the address-in-use check for every encoder; the syntax is still checked, a plan
        that would put two encoders on one address is still refused, and encoders may still refuse.
    type: bool
    default: false
  allow_in_use:
    description: Skip only the check that nothing answers at a new I(ip) yet; the address rules still apply.
    type: bool
    default: false
  timeout:
    description:
      - Seconds after which C(pnv3400ctl) starts no new encoder (1 to 86400); those under way finish, every encoder
        is reported (those not started with a null I(outcome)), and the task fails.
      - The task keyword C(timeout) instead ends the module when it passes, without any report; C(pnv3400ctl),
        told of the module's end, starts no new encoder and finishes the one under way, unreported. Set this option
        below the task keyword so that the task ends with every encoder reported.
    type: int
notes:
  - Each entry needs at least one of I(ip), I(port), I(gateway) and I(mask).
  - An empty I(encoders) list runs nothing and changes nothing.
attributes:
  check_mode:
    support: full
    description: Runs C(pnv3400ctl apply --dry-run); every encoder is read and checked, none is written.
  diff_mode:
    support: full
    description: Shows the address, port, gateway and mask before and after of each encoder that changes.
seealso:
  - module: pnv3400.encoder.encoder_config
  - module: pnv3400.encoder.encoder_info
extends_documentation_fragment:
  - pnv3400.encoder.pnv3400ctl
author:
  - PNV-3400 Set-up Utility maintainers (@pnv3400)
"""

EXAMPLES = r"""
- name: The gateway and mask of every encoder of the site, eight at a time
  pnv3400.encoder.encoder_plan:
    encoders: "{{ site_encoders | map('community.general.dict_kv', 'encoder')
                  | map('combine', {'gateway': '10.1.2.254', 'mask': 24}) }}"
    jobs: 8

- name: A plan written out in full
  pnv3400.encoder.encoder_plan:
    encoders:
      - encoder: 10.1.2.3
        gateway: 10.1.2.254
        mask: 255.255.255.0
      - encoder: 172.16.30.1
        ip: 10.1.2.40/24
        gateway: 10.1.2.254
  register: plan
"""

RETURN = r"""
results:
  description:
    - One entry per entry of I(encoders), in the same order.
    - When the plan is refused before anything is sent, the encoders at fault have the outcome C(invalid) and the
      others a null outcome; when C(pnv3400ctl) could not run or its output could not be trusted, every outcome
      is null.
  returned: always
  type: list
  elements: dict
  contains:
    encoder:
      description: The encoder, as C(ADDRESS:PORT); as given when it does not have that shape.
      type: str
      sample: 10.1.2.3:3001
    outcome:
      description: The outcome of its write, as C(pnv3400ctl) reports it; null when it was not run.
      type: str
      choices: [applied, unchanged, dry-run, rejected, not-applied, failed, invalid, unknown]
      sample: applied
    changed:
      description: Whether it was written (or, in check mode, would be).
      type: bool
    failed:
      description: Whether its outcome is a failure.
      type: bool
    before:
      description: Its configuration before the write (C(mac), C(ip), C(port), C(gateway), C(mask)); null when not read.
      type: dict
      sample: {"mac": "00:1A:2B:3C:4D:5E", "ip": "10.1.2.3", "port": 3001, "gateway": "172.16.0.1",
               "mask": "255.255.0.0"}
    after:
      description: Its configuration read back, or what would be written in check mode; null when not read.
      type: dict
      sample: {"mac": "00:1A:2B:3C:4D:5E", "ip": "10.1.2.3", "port": 3001, "gateway": "10.1.2.254",
               "mask": "255.255.255.0"}
    code:
      description: The status the encoder answered or the library's result code; null when nothing was sent.
      type: int
    message:
      description: The explanation of its outcome; null when it was not run and there is nothing to say.
      type: str
      sample: the encoder refused the write
summary:
  description:
    - How many encoders ended in each outcome (every outcome named, 0 when none), how many were not started
      (C(not-started), when pnv3400ctl was stopped by a signal), the number of encoders, and how long
      C(pnv3400ctl apply) took; null when it did not run or refused the plan before sending anything.
  returned: always
  type: dict
  sample: {"encoders": 2, "applied": 1, "unchanged": 1, "dry-run": 0, "rejected": 0, "not-applied": 0,
           "failed": 0, "invalid": 0, "unknown": 0, "not-started": 0, "seconds": 0.08}
rc:
  description: The exit code of C(pnv3400ctl apply); null when the task failed before it ran.
  returned: unless I(encoders) is empty, when nothing runs
  type: int
  sample: 1
"""

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pnv3400.encoder.plugins.module_utils.pnv3400ctl import (
    EXIT_ENCODER, EXIT_STOPPED, EXIT_SUCCESS, EXIT_USAGE, OUTCOMES, SETTABLE, Refused, command, config_of, ctl_program,
    diff_lines, encoder_text, json_lines, new_values, run_ctl, tool_failure)

HEADER = "encoder,ip,port,gateway,mask"


def blank_result(entry):
    encoder = (entry.get("encoder") or "").strip()
    return dict(encoder=encoder_text(encoder) or encoder, outcome=None, changed=False, failed=False, before=None,
                after=None, code=None, message=None)


def plan_rows(entries):
    """The CSV rows of the plan, or {index: why} for the entries refused before anything runs."""
    rows, refused = [], {}
    for index, entry in enumerate(entries):
        try:
            if not (entry["encoder"] or "").strip():
                raise Refused("encoder is empty; give ADDRESS[:PORT]")
            values = new_values(entry)
            if not values:
                raise Refused("give at least one of %s" % ", ".join(SETTABLE))
            cells = [entry["encoder"].strip()] + [str(values.get(key, "")) for key in SETTABLE]
            # The plan has no quoting: a value holding a separator would shift the cells.
            if any(re.search(r'[,"\r\n]', cell) for cell in cells):
                raise Refused("a value holds a comma, a quote or a line break")
            rows.append(",".join(cells))
        except Refused as refusal:
            refused[index] = str(refusal)
    return rows, refused


def refused_plan(module, entries, refused, rc=None):
    results = [blank_result(entry) for entry in entries]
    for index, why in refused.items():
        results[index].update(outcome="invalid", failed=True, message=why)
    lines = ["%s: invalid: %s" % (results[index]["encoder"], why) for index, why in sorted(refused.items())]
    module.fail_json(msg="the plan is refused; nothing was sent: " + "; ".join(lines), results=results, summary=None,
                     rc=rc)


def apply_command(ctl, params, plan, check_mode):
    argv = command(ctl, library=params["library"]) + ["apply", plan, "--jobs=%d" % params["jobs"]]
    if params["force"]:
        argv.append("--force")
    if params["allow_in_use"]:
        argv.append("--allow-in-use")
    if params["timeout"] is not None:
        argv.append("--time-limit=%d" % params["timeout"])
    if check_mode:
        argv.append("--dry-run")
    return argv


def refused_entries(objects, count):
    """{index: why} of the entries a refused plan's errors name by their lines; line 2 holds the first entry."""
    errors = objects[-1].get("errors") if objects and objects[-1].get("error") == "plan" else None
    refused = {}
    for error in errors if isinstance(errors, list) else []:
        index = error.get("line", 0) - 2 if isinstance(error, dict) and isinstance(error.get("line"), int) else -1
        if 0 <= index < count:
            refused[index] = "; ".join(filter(None, [refused.get(index), error.get("error")]))
    return refused


def main():
    module = AnsibleModule(
        argument_spec=dict(
            encoders=dict(type="list", elements="dict", required=True, options=dict(
                encoder=dict(type="str", required=True),
                ip=dict(type="str"),
                port=dict(type="int"),
                gateway=dict(type="str"),
                mask=dict(type="str"),
            )),
            jobs=dict(type="int", default=4),
            force=dict(type="bool", default=False),
            allow_in_use=dict(type="bool", default=False),
            timeout=dict(type="int"),
            ctl_path=dict(type="path"),
            library=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    params = module.params
    entries = params["encoders"]
    if not entries:
        # No rc at all: Ansible takes any rc but 0, null included, for a failure.
        module.exit_json(changed=False, results=[], summary=None)
    rows, refused = plan_rows(entries)
    if refused:
        refused_plan(module, entries, refused)
    ctl, problem = ctl_program(module)
    if problem:
        module.fail_json(msg=problem, results=[blank_result(entry) for entry in entries], summary=None, rc=None)

    plan = os.path.join(module.tmpdir, "plan.csv")
    with open(plan, "w") as out:
        out.write("\n".join([HEADER] + rows) + "\n")
    rc, stdout, stderr = run_ctl(module, apply_command(ctl, params, plan, module.check_mode))

    def untrusted():
        module.fail_json(msg=tool_failure(rc, stdout, stderr), stdout=stdout, stderr=stderr,
                         results=[blank_result(entry) for entry in entries], summary=None, rc=rc)

    objects = json_lines(stdout)
    reported = bool(objects) and set(objects[-1]) == {"summary"}
    if rc == EXIT_USAGE and not reported:
        refused = refused_entries(objects, len(entries))
        if not refused:
            untrusted()
        refused_plan(module, entries, refused, rc)

    # With a summary, every row that started was reported, whatever the exit:
    # rows invalid after their read (2) or a stop by a signal leave the other
    # rows written, and those are reported as such.
    if rc not in (EXIT_SUCCESS, EXIT_ENCODER, EXIT_USAGE) + EXIT_STOPPED or not reported:
        untrusted()
    stopped = rc in EXIT_STOPPED
    reports = dict((report.get("encoder"), report) for report in objects[:-1])
    results = [blank_result(entry) for entry in entries]
    for result in results:
        report = reports.pop(result["encoder"], None)
        if report is None and stopped:
            result.update(failed=True, message="not started: pnv3400ctl was stopped by a signal or its time limit "
                                               "(exit %d)" % rc)
            continue
        expected = OUTCOMES.get(report.get("outcome")) if report else None
        if expected is None:
            untrusted()
        result.update(outcome=report["outcome"], changed=expected[1], failed=expected[2],
                      before=config_of(report.get("before")), after=config_of(report.get("after")),
                      code=report.get("code"), message=report.get("message"))
    failures = [result for result in results if result["failed"]]
    if reports or (not stopped and (rc == EXIT_SUCCESS) == bool(failures)):
        untrusted()

    summary = dict((outcome, 0) for outcome in OUTCOMES)
    summary["not-started"] = 0
    for result in results:
        summary[result["outcome"] or "not-started"] += 1
    summary.update(encoders=len(results), seconds=objects[-1]["summary"].get("seconds"))
    changed = any(result["changed"] for result in results)
    outcome = dict(changed=changed, results=results, summary=summary, rc=rc)
    if module._diff:
        outcome["diff"] = [dict(before=diff_lines(result["before"]), after=diff_lines(result["after"]),
                                before_header=result["encoder"], after_header=result["encoder"])
                           for result in results if result["changed"]]
    if stopped and not failures:
        module.fail_json(msg="pnv3400ctl was stopped by a signal or its time limit (exit %d) after every row had ended"
                         % rc, **outcome)
    if failures:
        module.fail_json(msg="%d of %d encoders failed: %s" % (len(failures), len(results), "; ".join(
            "%s: %s: %s" % (result["encoder"], result["outcome"], result["message"]) for result in failures)),
            **outcome)
    module.exit_json(**outcome)


if __name__ == "__main__":
    main()
