#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The PNV-3400 Set-up Utility authors
# Apache License, Version 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0
#
# Sets the network configuration of one PNV-3400 encoder by running pnv3400ctl
# on the managed host. The command line owns the address rules, the verified
# write and the outcomes; this module maps its JSON report and exit code onto
# what Ansible expects of a task.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: encoder_config
short_description: Set the network configuration of a PNV-3400 encoder
version_added: "1.0.0"
description:
  - Runs C(pnv3400ctl write) on the managed host, which must reach the encoder over the network.
  - The options given replace the encoder's values and the others keep theirs. C(pnv3400ctl) checks the result
    against its address rules before anything is sent, writes only when the encoder holds something else, and
    reads the configuration back over the same link to prove that the encoder stored it.
  - The task fails when the rules refuse the configuration (outcome C(invalid)), the encoder refuses the write
    (C(rejected)), acknowledges it but keeps something else (C(not-applied)), or cannot be reached or read
    (C(failed)), with the message of C(pnv3400ctl).
  - A new address or port takes effect when the encoder restarts; until then it answers at the old one, so later
    tasks keep using the old I(encoder) until it has restarted.
  - To read an encoder use M(pnv3400.encoder.encoder_info); to configure many at once, M(pnv3400.encoder.encoder_plan).
options:
  encoder:
    description:
      - The encoder to talk to, C(ADDRESS) or C(ADDRESS:PORT); the port is 3001 when not given.
      - Blanks around it are trimmed, as every value of M(pnv3400.encoder.encoder_plan) is.
      - Required, and never empty, so that a task whose variable is missing fails instead of reaching another encoder.
    type: str
    required: true
  ip:
    description:
      - The new address of the encoder, in dotted decimal.
      - C(ADDRESS/PREFIX), for example C(10.1.2.3/24), also sets the mask; I(mask), if given too, must agree.
    type: str
  port:
    description: The new port of the encoder, 1 to 65535.
    type: int
  gateway:
    description: The new default gateway, in dotted decimal; C(0.0.0.0) means no gateway.
    type: str
  mask:
    description: The new subnet mask, in dotted decimal or as a prefix length (C(24) or C(/24)).
    type: str
  force:
    description:
      - Skip the address rules (contiguous mask, usable host address, gateway inside the subnet). The syntax of
        the addresses is still checked, and the encoder may still refuse.
    type: bool
    default: false
notes:
  - At least one of I(ip), I(port), I(gateway) and I(mask) is required.
  - The rules are those of C(pnv3400ctl check); see C(man pnv3400ctl).
attributes:
  check_mode:
    support: full
    description: Runs C(pnv3400ctl write --dry-run), which reads the encoder and checks the change but writes nothing.
  diff_mode:
    support: full
    description: Shows the encoder's address, port, gateway and mask before and after.
seealso:
  - module: pnv3400.encoder.encoder_info
  - module: pnv3400.encoder.encoder_plan
extends_documentation_fragment:
  - pnv3400.encoder.pnv3400ctl
author:
  - PNV-3400 Set-up Utility maintainers (@pnv3400)
"""

EXAMPLES = r"""
- name: Set the gateway and mask of every encoder this site's host reaches
  pnv3400.encoder.encoder_config:
    encoder: "{{ item }}"
    gateway: 10.1.2.254
    mask: 24
  loop:
    - 10.1.2.3
    - 10.1.2.4:3001

- name: Move an encoder from its factory address (it answers at the new one after its next restart)
  pnv3400.encoder.encoder_config:
    encoder: 172.16.30.1
    ip: 10.1.2.5/24
    gateway: 10.1.2.254
    ctl_path: /opt/pnv3400/bin/pnv3400ctl
"""

RETURN = r"""
encoder:
  description: The encoder, as C(ADDRESS:PORT); null when I(encoder) does not have that shape.
  returned: always
  type: str
  sample: 10.1.2.3:3001
outcome:
  description:
    - The outcome of C(pnv3400ctl write); C(invalid) also when the module refuses a value before running it.
    - Null when C(pnv3400ctl) could not run or gave no report (see I(msg)).
  returned: always
  type: str
  choices: [applied, unchanged, dry-run, rejected, not-applied, failed, invalid]
  sample: applied
before:
  description: The configuration read before the write; null when it was not read.
  returned: always
  type: dict
  contains: &config
    mac:
      description: The encoder's MAC address.
      type: str
      sample: 00:1A:2B:3C:4D:5E
    ip:
      description: Its address.
      type: str
      sample: 10.1.2.3
    port:
      description: Its port.
      type: int
      sample: 3001
    gateway:
      description: Its default gateway.
      type: str
      sample: 10.1.2.254
    mask:
      description: Its subnet mask.
      type: str
      sample: 255.255.255.0
after:
  description:
    - The configuration read back after the write; the same as I(before) when nothing was written; what would be
      written in check mode; null when nothing could be read back or nothing was read.
  returned: always
  type: dict
  contains: *config
code:
  description: The status the encoder answered or the library's result code; null when nothing was sent.
  returned: always
  type: int
  sample: 4
message:
  description: The explanation C(pnv3400ctl) gives with its outcome, or why the module refused a value; else null.
  returned: always
  type: str
  sample: written and read back; a new address or port takes effect when the encoder restarts
rc:
  description: The exit code of C(pnv3400ctl); null when it did not run.
  returned: always
  type: int
  sample: 0
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pnv3400.encoder.plugins.module_utils.pnv3400ctl import (
    OUTCOMES, SETTABLE, Refused, command, config_of, ctl_program, diff_lines, encoder_text, field_options,
    new_values, run_ctl, single_report, tool_failure)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            encoder=dict(type="str", required=True),
            ip=dict(type="str"),
            port=dict(type="int"),
            gateway=dict(type="str"),
            mask=dict(type="str"),
            force=dict(type="bool", default=False),
            ctl_path=dict(type="path"),
            library=dict(type="path"),
        ),
        required_one_of=[SETTABLE],
        supports_check_mode=True,
    )
    params = module.params
    result = dict(encoder=encoder_text(params["encoder"]), outcome=None, before=None, after=None, code=None,
                  message=None, rc=None)

    # An empty variable in a playbook must fail the task here, with the task's
    # own message, rather than as a usage error of pnv3400ctl (which refuses an
    # empty --encoder too: it never means the factory address).
    if not (params["encoder"] or "").strip():
        module.fail_json(msg="encoder is empty; give ADDRESS[:PORT]", **result)
    try:
        values = new_values(params)
    except Refused as refusal:
        result.update(outcome="invalid", message=str(refusal))
        module.fail_json(msg="%s: invalid: %s" % (params["encoder"], refusal), **result)
    ctl, problem = ctl_program(module)
    if problem:
        module.fail_json(msg=problem, **result)

    argv = command(ctl, params["encoder"], params["library"]) + ["write"] + field_options(values)
    if params["force"]:
        argv.append("--force")
    if module.check_mode:
        argv.append("--dry-run")
    rc, stdout, stderr = run_ctl(module, argv)
    result["rc"] = rc
    report = single_report(stdout)
    expected = OUTCOMES.get(report.get("outcome")) if report else None
    if expected is None or expected[0] != rc:
        module.fail_json(msg=tool_failure(rc, stdout, stderr), stdout=stdout, stderr=stderr, **result)

    result.update(encoder=report.get("encoder", result["encoder"]), outcome=report["outcome"],
                  before=config_of(report.get("before")), after=config_of(report.get("after")),
                  code=report.get("code"), message=report.get("message"))
    changed, failed = expected[1], expected[2]
    if failed:
        module.fail_json(msg="%s: %s: %s" % (result["encoder"], result["outcome"], result["message"]),
                         changed=False, **result)
    if module._diff:
        result["diff"] = dict(before=diff_lines(result["before"]), after=diff_lines(result["after"]),
                              before_header=result["encoder"], after_header=result["encoder"])
    module.exit_json(changed=changed, **result)


if __name__ == "__main__":
    main()
