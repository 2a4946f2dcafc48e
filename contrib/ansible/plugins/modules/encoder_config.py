#!/usr/bin/python
# -*- coding: utf-8 -*-
# Reads or sets the network configuration of one PNV-3400 encoder by running
# pnv3400ctl on the managed host. The command line owns the address rules,
# the verified write and the outcomes; this module only maps its JSON report
# and exit code onto what Ansible expects of a task.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: encoder_config
short_description: Read or set the network configuration of a PNV-3400 encoder
version_added: "1.0.0"
description:
  - Runs C(pnv3400ctl) on the managed host, which must reach the encoder over the network.
  - With none of I(ip), I(port), I(gateway) and I(mask) given, the module only reads the encoder and returns its
    configuration; it never reports a change then.
  - Otherwise the options given replace the encoder's values and the others keep theirs. C(pnv3400ctl) checks the
    result against its address rules before anything is sent, writes only when the encoder holds something else,
    and reads the configuration back over the same link to prove that the encoder stored it.
  - The task fails when the rules refuse the configuration (outcome C(invalid)), the encoder refuses the write
    (C(rejected)), acknowledges it but keeps something else (C(not-applied)), or cannot be reached or read
    (C(failed)), with the message of C(pnv3400ctl).
  - A new address or port takes effect when the encoder restarts; until then it answers where it was.
options:
  encoder:
    description:
      - The encoder to talk to, C(ADDRESS) or C(ADDRESS:PORT); the port is 3001 when not given.
      - The default is the factory address of an encoder.
    type: str
    default: 172.16.30.1:3001
  ip:
    description: The new address of the encoder, in dotted decimal.
    type: str
  port:
    description: The new port of the encoder, 1 to 65535.
    type: int
  gateway:
    description: The new default gateway, in dotted decimal; C(0.0.0.0) means no gateway.
    type: str
  mask:
    description: The new subnet mask, in dotted decimal.
    type: str
  force:
    description:
      - Skip the address rules (contiguous mask, usable host address, gateway inside the subnet). The syntax of
        the addresses is still checked, and the encoder may still refuse.
    type: bool
    default: false
  ctl_path:
    description: The C(pnv3400ctl) program to run; by default the one found on the managed host's C(PATH).
    type: path
  library:
    description:
      - The device library C(pnv3400ctl) binds (its option C(--library)). By default it looks where it always
        does, starting with the environment variable C(TESSALIN_LIBRARY).
    type: path
notes:
  - Check mode is supported. It runs C(pnv3400ctl write --dry-run), which reads the encoder and checks the
    change but writes nothing; the task reports a change when a write would happen.
  - Diff mode is supported; the diff shows the encoder's address, port, gateway and mask before and after.
  - The managed host needs C(pnv3400ctl) and the device library; one encoder is reached per module run, so loop
    over a list of encoders.
author:
  - PNV-3400 Set-up Utility developers
"""

EXAMPLES = r"""
- name: Read the encoder at its factory address
  pnv3400.encoder.encoder_config:
  register: factory

- name: Set the gateway and mask of every encoder this site's host reaches
  pnv3400.encoder.encoder_config:
    encoder: "{{ item }}"
    gateway: 10.1.2.254
    mask: 255.255.255.0
  loop:
    - 10.1.2.3
    - 10.1.2.4:3001

- name: Move an encoder to a new address (it answers there after its next restart)
  pnv3400.encoder.encoder_config:
    encoder: 172.16.30.1
    ip: 10.1.2.5
    gateway: 10.1.2.254
    mask: 255.255.255.0
    ctl_path: /opt/pnv3400/bin/pnv3400ctl
"""

RETURN = r"""
encoder:
  description: The encoder, as C(ADDRESS:PORT).
  returned: always
  type: str
  sample: 10.1.2.3:3001
outcome:
  description:
    - What happened; C(read) when only read, else the outcome of C(pnv3400ctl write)
    - C(applied), C(unchanged), C(dry-run), C(invalid), C(rejected), C(not-applied) or C(failed).
  returned: when pnv3400ctl gave a report
  type: str
  sample: applied
config:
  description: The configuration the encoder holds, when the module only read it.
  returned: when none of ip, port, gateway and mask was given and the read succeeded
  type: dict
  sample: {"encoder": "10.1.2.3:3001", "mac": "00:1A:2B:3C:4D:5E", "ip": "10.1.2.3", "port": 3001,
           "gateway": "10.1.2.254", "mask": "255.255.255.0", "prefix": 24}
before:
  description: The configuration read before the write (mac, ip, port, gateway, mask); null when the read failed.
  returned: when pnv3400ctl gave a report
  type: dict
  sample: {"mac": "00:1A:2B:3C:4D:5E", "ip": "10.1.2.3", "port": 3001, "gateway": "172.16.0.1",
           "mask": "255.255.0.0"}
after:
  description:
    - The configuration read back after the write, the same as I(before) when nothing was written, what would be
      written in check mode; null when nothing could be read back.
  returned: when pnv3400ctl gave a report
  type: dict
  sample: {"mac": "00:1A:2B:3C:4D:5E", "ip": "10.1.2.3", "port": 3001, "gateway": "10.1.2.254",
           "mask": "255.255.255.0"}
code:
  description: The status the encoder answered or the library's result code; null when nothing was sent.
  returned: when pnv3400ctl gave a report
  type: int
  sample: 4
message:
  description: The explanation pnv3400ctl gives with its outcome.
  returned: when pnv3400ctl gave a report
  type: str
  sample: written and read back; a new address or port takes effect when the encoder restarts
rc:
  description: The exit code of pnv3400ctl.
  returned: always
  type: int
  sample: 0
"""

import json
import os

from ansible.module_utils.basic import AnsibleModule

SETTABLE = ("ip", "port", "gateway", "mask")

# Every outcome pnv3400ctl write reports, with the exit code it gives it and
# whether the task changed something. An outcome missing here, or arriving
# with another exit code, is never taken for a success.
OUTCOMES = {
    "applied": (0, True),
    "dry-run": (0, True),
    "unchanged": (0, False),
    "invalid": (2, None),
    "rejected": (1, None),
    "not-applied": (1, None),
    "failed": (1, None),
}


def config_text(config):
    """The lines a diff shows: what the module can set, one per line."""
    if not isinstance(config, dict):
        return ""
    return "".join("%s: %s\n" % (key, config[key]) for key in SETTABLE if key in config)


def single_report(stdout):
    """The one JSON object pnv3400ctl prints with --json, or None."""
    lines = [line for line in stdout.splitlines() if line.strip()]
    if len(lines) != 1:
        return None
    try:
        report = json.loads(lines[0])
    except ValueError:
        return None
    return report if isinstance(report, dict) else None


def fail_untrusted(module, rc, stdout, stderr):
    what = stderr.strip() or stdout.strip() or "no output and no report"
    module.fail_json(msg="pnv3400ctl (exit %d): %s" % (rc, what),
                     rc=rc, stdout=stdout, stderr=stderr, encoder=module.params["encoder"])


def main():
    module = AnsibleModule(
        argument_spec=dict(
            encoder=dict(type="str", default="172.16.30.1:3001"),
            ip=dict(type="str"),
            port=dict(type="int"),
            gateway=dict(type="str"),
            mask=dict(type="str"),
            force=dict(type="bool", default=False),
            ctl_path=dict(type="path"),
            library=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    params = module.params

    # pnv3400ctl takes an empty --encoder for its default, the factory address:
    # an empty variable in a playbook must not turn into another encoder.
    if not params["encoder"].strip():
        module.fail_json(msg="encoder is empty; give ADDRESS[:PORT]", encoder=params["encoder"])

    ctl = params["ctl_path"]
    if ctl is None:
        ctl = module.get_bin_path("pnv3400ctl", required=True)
    elif not (os.path.isfile(ctl) and os.access(ctl, os.X_OK)):
        module.fail_json(msg="ctl_path %s is not an executable file" % ctl, encoder=params["encoder"])

    # --name=value keeps each value in one argument whatever it holds, so
    # every text reaches the tool's own syntax check as it was given.
    command = [ctl, "--json", "--encoder=%s" % params["encoder"]]
    if params["library"]:
        command.append("--library=%s" % params["library"])
    settable = [key for key in SETTABLE if params[key] is not None]
    if settable:
        command.append("write")
        command.extend("--%s=%s" % (key, params[key]) for key in settable)
        if params["force"]:
            command.append("--force")
        if module.check_mode:
            command.append("--dry-run")
    else:
        command.append("read")

    rc, stdout, stderr = module.run_command(command)
    report = single_report(stdout)
    if report is None:
        fail_untrusted(module, rc, stdout, stderr)
    encoder = report.get("encoder", params["encoder"])

    if not settable:
        if rc == 0 and "outcome" not in report:
            module.exit_json(changed=False, encoder=encoder, outcome="read", config=report,
                             before=report, after=report, rc=rc)
        if report.get("outcome") != "failed" or rc != 1:
            fail_untrusted(module, rc, stdout, stderr)
        module.fail_json(msg="%s: failed: %s" % (encoder, report.get("message")), encoder=encoder,
                         outcome="failed", code=report.get("code"), message=report.get("message"),
                         before=None, after=None, rc=rc)

    outcome = report.get("outcome")
    expected = OUTCOMES.get(outcome)
    if expected is None or expected[0] != rc:
        fail_untrusted(module, rc, stdout, stderr)
    result = dict(encoder=encoder, outcome=outcome, before=report.get("before"), after=report.get("after"),
                  code=report.get("code"), message=report.get("message"), rc=rc)
    changed = expected[1]
    if changed is None:
        module.fail_json(msg="%s: %s: %s" % (encoder, outcome, report.get("message")), changed=False, **result)
    if module._diff:
        result["diff"] = dict(before=config_text(result["before"]), after=config_text(result["after"]),
                              before_header=encoder, after_header=encoder)
    module.exit_json(changed=changed, **result)


if __name__ == "__main__":
    main()
