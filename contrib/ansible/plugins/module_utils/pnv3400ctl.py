# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The PNV-3400 Set-up Utility authors
# Apache License, Version 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0
#
# What every module and plugin of the collection shares about pnv3400ctl: how
# to run it, how to read its JSON, and its outcomes. pnv3400ctl owns the
# address rules and the verified write; nothing here judges an address, so
# the collection refuses exactly what the tool refuses.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re
import select
import subprocess

SETTABLE = ("ip", "port", "gateway", "mask")
CONFIG_KEYS = ("mac",) + SETTABLE
DEFAULT_PORT = 3001

# Each outcome of a write (and of each row of apply): the exit code the tool
# gives it, whether the task changed something, whether it failed. An outcome
# missing here, or arriving with another exit code, is never taken for a
# success. The same facts as the table `pnv3400ctl --help` prints.
OUTCOMES = {
    "applied": (0, True, False),
    "unchanged": (0, False, False),
    "dry-run": (0, True, False),
    "rejected": (1, False, True),
    "not-applied": (1, False, True),
    "failed": (1, False, True),
    "invalid": (2, False, True),
    "unknown": (1, False, True),
}
EXIT_SUCCESS, EXIT_ENCODER, EXIT_USAGE, EXIT_LIBRARY = 0, 1, 2, 3
# Stopped by apply's time limit, SIGHUP, SIGINT or SIGTERM: the rows under way finished and were reported.
EXIT_STOPPED = (124, 129, 130, 143)

_ENCODER = re.compile(r"^([0-9.]+)(?::([0-9]+))?$")
_PREFIX = re.compile(r"^/?(0|[1-9][0-9]?)$")


class Refused(ValueError):
    """Input refused before anything runs; its text says which value and why."""


def encoder_text(text):
    """ADDRESS[:PORT] as ADDRESS:PORT, the form pnv3400ctl reports; None for any other text.

    Only the shape is looked at: whether it is an address is for the tool to say. Blanks around it are
    trimmed, as every module and every value of a plan trims them."""
    match = _ENCODER.match((text or "").strip())
    if not match:
        return None
    return "%s:%s" % (match.group(1), match.group(2) or DEFAULT_PORT)


def mask_of_prefix(prefix):
    mask = (0xFFFFFFFF << (32 - prefix)) & 0xFFFFFFFF
    return ".".join(str(mask >> shift & 255) for shift in (24, 16, 8, 0))


def new_values(values):
    """The settable fields as pnv3400ctl takes them, from what a task gives.

    `mask` may be a prefix length (24 or /24), `ip` ADDRESS/PREFIX, which sets
    the mask too; both become the dotted mask that pnv3400ctl checks. Raises
    Refused when the two disagree or a prefix is not 0 to 32."""
    fields = dict((key, None if values.get(key) is None else str(values[key]).strip()) for key in SETTABLE)
    masks = []
    if fields["ip"] is not None and "/" in fields["ip"]:
        fields["ip"], prefix = fields["ip"].split("/", 1)
        if not _PREFIX.match(prefix) or int(prefix) > 32:
            raise Refused("ip %s: the prefix must be 0 to 32" % values["ip"])
        masks.append(mask_of_prefix(int(prefix)))
    if fields["mask"] is not None and _PREFIX.match(fields["mask"]):
        if int(fields["mask"].lstrip("/")) > 32:
            raise Refused("mask %s: a prefix must be 0 to 32" % values["mask"])
        fields["mask"] = mask_of_prefix(int(fields["mask"].lstrip("/")))
    if fields["mask"] is not None:
        masks.append(fields["mask"])
    if len(set(masks)) > 1:
        raise Refused("ip %s and mask %s give different masks" % (values["ip"], values["mask"]))
    if masks:
        fields["mask"] = masks[0]
    return dict((key, value) for key, value in fields.items() if value is not None)


def config_of(value, keys=CONFIG_KEYS):
    """Exactly the documented keys of a configuration the tool reported, or None."""
    if not isinstance(value, dict):
        return None
    return dict((key, value.get(key)) for key in keys)


def diff_lines(config):
    """What a diff shows of a configuration: the settable fields, one a line."""
    if not isinstance(config, dict):
        return ""
    return "".join("%s: %s\n" % (key, config[key]) for key in SETTABLE if key in config)


def json_lines(stdout):
    """The JSON objects pnv3400ctl printed, one a line; None if any line is something else."""
    objects = []
    for line in stdout.splitlines():
        if not line.strip():
            continue
        try:
            value = json.loads(line)
        except ValueError:
            return None
        if not isinstance(value, dict):
            return None
        objects.append(value)
    return objects


def single_report(stdout):
    """The one JSON object pnv3400ctl prints for a single encoder, or None."""
    objects = json_lines(stdout)
    return objects[0] if objects is not None and len(objects) == 1 else None


def tool_failure(rc, stdout, stderr):
    """The message of a run whose output cannot be trusted as a report: its JSON error object's errors where it
    printed one, else what it wrote."""
    objects = json_lines(stdout or "") or []
    errors = objects[-1].get("errors") if objects and "error" in objects[-1] else None
    if isinstance(errors, list) and errors:
        what = "; ".join(error.get("error", "") if isinstance(error, dict) else str(error) for error in errors)
    else:
        what = (stderr or "").strip() or (stdout or "").strip() or "no output and no report"
    return "pnv3400ctl (exit %d): %s" % (rc, what)


def ctl_program(module):
    """The pnv3400ctl to run: the task's ctl_path or the one on PATH; fails the task without one."""
    ctl = module.params.get("ctl_path")
    if ctl is None:
        ctl = module.get_bin_path("pnv3400ctl")
        if ctl is None:
            return None, "pnv3400ctl was not found on PATH; install it or give ctl_path"
    elif not (os.path.isfile(ctl) and os.access(ctl, os.X_OK)):
        return None, "ctl_path %s is not an executable file" % ctl
    return ctl, None


def command(ctl, encoder=None, library=None):
    # --name=value keeps each value one argument whatever it holds, so every
    # text reaches the tool's own syntax check as it was given.
    argv = [ctl, "--json"]
    if encoder is not None:
        argv.append("--encoder=%s" % encoder.strip())
    if library:
        argv.append("--library=%s" % library)
    return argv


def field_options(values):
    return ["--%s=%s" % (key, values[key]) for key in SETTABLE if key in values]


def run_ctl(module, argv):
    """Runs pnv3400ctl for a module: (exit code, stdout, stderr), as module.run_command gives them.

    The task keyword C(timeout) ends the task, not the module: Ansible stops reading the module's output and goes
    on while the module and its pnv3400ctl would keep running. So the module watches its own standard output,
    the pipe to whoever waits for its result: once nobody can read it, pnv3400ctl is sent SIGTERM and starts no
    new encoder, the one under way finishing. pnv3400ctl is also told the module's process: should the module
    itself be ended, it stops the same way."""
    env = dict(os.environ, PNV3400CTL_PARENT_PID=str(os.getpid()), LANG="C.UTF-8", LC_ALL="C.UTF-8")
    with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                          close_fds=True) as process:
        out, err = process.stdout.fileno(), process.stderr.fileno()
        chunks = {out: [], err: []}
        poller = select.poll()
        for fd in chunks:
            poller.register(fd, select.POLLIN)
        poller.register(1, 0)   # POLLERR or POLLHUP come unasked: the reader of the module's result is gone
        reading = set(chunks)
        while reading:
            for fd, events in poller.poll(1000):
                if fd == 1:
                    if events & (select.POLLERR | select.POLLHUP):
                        process.terminate()
                    poller.unregister(1)
                elif fd in reading:
                    chunk = os.read(fd, 65536)
                    chunks[fd].append(chunk)
                    if not chunk:
                        poller.unregister(fd)
                        reading.discard(fd)
        rc = process.wait()
    return rc, b"".join(chunks[out]).decode("utf-8", "replace"), b"".join(chunks[err]).decode("utf-8", "replace")
