#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The PNV-3400 Set-up Utility authors
# Apache License, Version 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0
#
# Reads one PNV-3400 encoder through pnv3400ctl read; never writes, so check
# mode changes nothing about what it does.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: encoder_info
short_description: Read the network configuration of a PNV-3400 encoder
version_added: "1.0.0"
description:
  - Runs C(pnv3400ctl read) on the managed host and returns the encoder's MAC address, address, port, gateway,
    mask and prefix length. It never changes anything and runs the same in check mode.
  - The task fails when the encoder cannot be reached or read, with the message of C(pnv3400ctl).
options:
  encoder:
    description:
      - The encoder to read, C(ADDRESS) or C(ADDRESS:PORT); the port is 3001 when not given. Required and never empty.
      - Blanks around it are trimmed, as every value of M(pnv3400.encoder.encoder_plan) is.
    type: str
    required: true
attributes:
  check_mode:
    support: full
    description: Reads in check mode too; nothing is ever written.
  diff_mode:
    support: none
    description: Nothing changes, so there is nothing to show.
seealso:
  - module: pnv3400.encoder.encoder_config
  - module: pnv3400.encoder.encoder_plan
extends_documentation_fragment:
  - pnv3400.encoder.pnv3400ctl
author:
  - PNV-3400 Set-up Utility maintainers (@pnv3400)
"""

EXAMPLES = r"""
- name: Read an encoder
  pnv3400.encoder.encoder_info:
    encoder: 10.1.2.3
  register: encoder

- name: Show its gateway
  ansible.builtin.debug:
    msg: "{{ encoder.config.mac }} uses gateway {{ encoder.config.gateway }}"
"""

RETURN = r"""
encoder:
  description: The encoder, as C(ADDRESS:PORT); null when I(encoder) does not have that shape.
  returned: always
  type: str
  sample: 10.1.2.3:3001
config:
  description: The configuration the encoder holds; null when it was not read.
  returned: always
  type: dict
  contains:
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
    prefix:
      description: The mask's prefix length; null when the mask is not contiguous.
      type: int
      sample: 24
code:
  description: The library's result code when the read failed; else null.
  returned: always
  type: int
  sample: 2
message:
  description: Why the read failed, as C(pnv3400ctl) says it; else null.
  returned: always
  type: str
  sample: "connect: time-out"
rc:
  description: The exit code of C(pnv3400ctl); null when it did not run.
  returned: always
  type: int
  sample: 0
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pnv3400.encoder.plugins.module_utils.pnv3400ctl import (
    CONFIG_KEYS, EXIT_ENCODER, EXIT_SUCCESS, command, config_of, ctl_program, encoder_text, run_ctl,
    single_report, tool_failure)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            encoder=dict(type="str", required=True),
            ctl_path=dict(type="path"),
            library=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    params = module.params
    result = dict(changed=False, encoder=encoder_text(params["encoder"]), config=None, code=None, message=None,
                  rc=None)
    if not (params["encoder"] or "").strip():
        module.fail_json(msg="encoder is empty; give ADDRESS[:PORT]", **result)
    ctl, problem = ctl_program(module)
    if problem:
        module.fail_json(msg=problem, **result)

    rc, stdout, stderr = run_ctl(module, command(ctl, params["encoder"], params["library"]) + ["read"])
    result["rc"] = rc
    report = single_report(stdout)
    if report is not None:
        result["encoder"] = report.get("encoder", result["encoder"])
    if rc == EXIT_SUCCESS and report is not None and "outcome" not in report:
        result["config"] = config_of(report, CONFIG_KEYS + ("prefix",))
        module.exit_json(**result)
    if rc == EXIT_ENCODER and report is not None and report.get("outcome") == "failed":
        result.update(code=report.get("code"), message=report.get("message"))
        module.fail_json(msg="%s: failed: %s" % (result["encoder"], result["message"]), **result)
    module.fail_json(msg=tool_failure(rc, stdout, stderr), stdout=stdout, stderr=stderr, **result)


if __name__ == "__main__":
    main()
