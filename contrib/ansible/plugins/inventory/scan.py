# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The PNV-3400 Set-up Utility authors
# Apache License, Version 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0
#
# Builds an inventory of the encoders that answer on the subnets an
# inventory source names: pnv3400ctl scan finds them and reads each one's
# configuration in the same link.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
name: scan
short_description: The PNV-3400 encoders that answer on some subnets
version_added: "1.0.0"
description:
  - Runs C(pnv3400ctl scan) on the controller for each subnet and port the inventory source lists; the scan
    reads each encoder it finds in the same link, so no second pass runs.
  - An encoder found twice (overlapping subnets, a port listed twice) is one host, told by the address and port it
    answers at.
  - One MAC seen at more than one address (encoders that share a MAC, which a network cannot tell apart) gives a
    warning naming the addresses, each still a host of its own; with I(strict), the run fails.
  - A scan where no encoder answers at all gives a warning; with I(strict), the run fails.
  - Each encoder becomes a host named by the address it answers at (C(ADDRESS:PORT) when that address already
    answered on another port), with the host variables C(encoder) (C(ADDRESS:PORT), ready for the modules'
    I(encoder)), C(mac), C(ip), C(port), C(gateway), C(mask) and C(prefix). C(ip) and C(port) are what the
    encoder holds, which differs from where it answers until it restarts after a new address was written.
  - Each host is in the group of its subnet, C(subnet_) followed by the subnet with C(_) for its dots and slash
    (C(subnet_10_1_2_0_24)), and in the groups I(groups) and I(keyed_groups) make.
  - An encoder that answers but cannot be read stays a host with only C(encoder) and C(mac), and a warning.
  - A scan that fails (C(pnv3400ctl) missing, refusing the subnet, or ending without its report) leaves the
    inventory source unused, with a warning, and Ansible goes on without its hosts (a play then matches no host).
    With I(strict), it fails the run instead, as when Ansible's C(inventory_any_unparsed_is_failed) is set;
    I(strict) also makes a I(compose), I(groups) or I(keyed_groups) expression that fails an error, as in
    C(constructed).
  - The inventory source is a YAML file whose name ends in C(pnv3400.yml) or C(pnv3400.yaml).
options:
  plugin:
    description: The name of this plugin; it must be C(pnv3400.encoder.scan).
    required: true
    type: str
    choices: [pnv3400.encoder.scan]
  subnets:
    description: The subnets to scan, each C(ADDRESS/PREFIX) with a prefix of 22 to 32, as C(pnv3400ctl scan) takes them.
    required: true
    type: list
    elements: str
  ports:
    description: The ports to try on every subnet.
    type: list
    elements: int
    default: [3001]
  jobs:
    description: How many worker processes each scan runs at once (1 to 64).
    type: int
    default: 8
  timeout:
    description: How long each library call of a scan may take, in milliseconds (1 to 3000).
    type: int
    default: 500
  ctl_path:
    description: The C(pnv3400ctl) program to run; by default the one found on the controller's C(PATH).
    type: path
  library:
    description: The device library C(pnv3400ctl) binds (its option C(--library)).
    type: path
extends_documentation_fragment:
  - constructed
  - inventory_cache
requirements:
  - C(pnv3400ctl) and the device library on the controller, which must reach the subnets.
author:
  - PNV-3400 Set-up Utility maintainers (@pnv3400)
"""

EXAMPLES = r"""
# site.pnv3400.yml
plugin: pnv3400.encoder.scan
subnets:
  - 10.1.2.0/24
  - 10.20.0.0/22
ports: [3001, 3002]
keyed_groups:
  - key: gateway
    prefix: gateway
compose:
  site: "'harbour' if ip.startswith('10.20.') else 'north'"
"""

import json
import os
import subprocess

from ansible import constants
from ansible.errors import AnsibleParserError
from ansible.module_utils.common.process import get_bin_path
from ansible.plugins.inventory import BaseInventoryPlugin, Cacheable, Constructable
from ansible_collections.pnv3400.encoder.plugins.module_utils.pnv3400ctl import (
    CONFIG_KEYS, command, config_of, json_lines, tool_failure)


class InventoryModule(BaseInventoryPlugin, Constructable, Cacheable):

    NAME = "pnv3400.encoder.scan"

    def verify_file(self, path):
        return super(InventoryModule, self).verify_file(path) and path.endswith(("pnv3400.yml", "pnv3400.yaml"))

    def _run(self, argv):
        # The exit code is judged by the caller: a scan with some silent workers still exits 1 with its answers.
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              check=False)
        return done.returncode, done.stdout, done.stderr

    def _failure(self, message):
        """The error of a scan that failed, to raise: the source is not used and Ansible warns; with `strict`,
        the run fails."""
        if self.get_option("strict"):
            # Ansible takes a source a plugin could not parse for a warning unless this is set; it is read
            # right after this source fails, which ends the run.
            constants.INVENTORY_ANY_UNPARSED_IS_FAILED = True
        else:
            self.display.warning("%s; this inventory source adds no hosts (with strict: true the run fails)" % message)
        return AnsibleParserError(message)

    def _ctl(self):
        ctl = self.get_option("ctl_path")
        if ctl is None:
            try:
                return get_bin_path("pnv3400ctl")
            except ValueError:
                raise self._failure("pnv3400ctl was not found on PATH; install it or give ctl_path")
        if not (os.path.isfile(ctl) and os.access(ctl, os.X_OK)):
            raise self._failure("ctl_path %s is not an executable file" % ctl)
        return ctl

    def _scan(self, ctl):
        """[(subnet, encoder, mac, configuration or None)] of every encoder that answered."""
        library = self.get_option("library")
        found = []
        for subnet in self.get_option("subnets"):
            for port in self.get_option("ports"):
                rc, stdout, stderr = self._run(command(ctl, library=library) + [
                    "scan", subnet, "--port=%d" % port, "--jobs=%d" % self.get_option("jobs"),
                    "--timeout=%d" % self.get_option("timeout")])
                lines = json_lines(stdout)
                if lines is not None:   # {"error": ...} says only what stderr says; {"summary": ...} is counted here
                    lines = [line for line in lines if "error" not in line and "summary" not in line]
                # Exit 1 with reports: some worker failed, the others' answers still count.
                if rc not in (0, 1) or lines is None or (rc == 1 and not lines):
                    raise self._failure("scan %s port %d: %s" % (subnet, port, tool_failure(rc, stdout, stderr)))
                if rc == 1:
                    self.display.warning("scan %s port %d: %s" % (subnet, port, stderr.strip()))
                for line in lines:
                    # The scan read each encoder as it found it: one pass, no second process per encoder.
                    config = config_of(line.get("config"), CONFIG_KEYS + ("prefix",)) if line.get("config") else None
                    if config is None:
                        self.display.warning("%s answered a scan but could not be read" % line["encoder"])
                    found.append([subnet, line["encoder"], line.get("mac"), config])
        # One encoder found twice (overlapping subnets, a port listed twice) is one host: the first finding.
        seen, unique = set(), []
        for entry in found:
            if entry[1] not in seen:
                seen.add(entry[1])
                unique.append(entry)
        if not unique:
            self._doubt("no encoder answered on %s, port %s" % (", ".join(self.get_option("subnets")),
                                                               ", ".join(str(p) for p in self.get_option("ports"))))
        addresses = {}
        for _subnet, encoder, mac, _config in unique:
            if mac:
                addresses.setdefault(mac, []).append(encoder)
        for mac, encoders in sorted(addresses.items()):
            if len(encoders) > 1:
                self._doubt("MAC %s answers at %s: encoders that share a MAC cannot be told apart on a network"
                            % (mac, ", ".join(encoders)))
        return unique

    def _doubt(self, message):
        """What a scan found that an inventory should not be built on without a word: a warning, or with
        `strict` the end of the run."""
        if self.get_option("strict"):
            raise self._failure(message)
        self.display.warning(message)

    def parse(self, inventory, loader, path, cache=True):
        super(InventoryModule, self).parse(inventory, loader, path, cache)
        self._read_config_data(path)
        cache_key = self.get_cache_key(path)
        use_cache = self.get_option("cache") and cache
        encoders = None
        if use_cache:
            try:
                encoders = json.loads(self._cache[cache_key])
            except (KeyError, TypeError, ValueError):
                encoders = None
        if encoders is None:
            encoders = self._scan(self._ctl())
            if self.get_option("cache"):
                self._cache[cache_key] = json.dumps(encoders)
        self._populate(encoders)

    def _populate(self, encoders):
        strict = self.get_option("strict")
        for subnet, encoder, mac, config in encoders:
            address = encoder.rsplit(":", 1)[0]
            name = address if address not in self.inventory.hosts else encoder
            group = self.inventory.add_group("subnet_" + subnet.replace(".", "_").replace("/", "_"))
            self.inventory.add_host(name, group=group)
            variables = dict(config or {}, encoder=encoder, mac=(config or {}).get("mac", mac))
            for key, value in variables.items():
                self.inventory.set_variable(name, key, value)
            self._set_composite_vars(self.get_option("compose"), variables, name, strict=strict)
            self._add_host_to_composed_groups(self.get_option("groups"), variables, name, strict=strict)
            self._add_host_to_keyed_groups(self.get_option("keyed_groups"), variables, name, strict=strict)
