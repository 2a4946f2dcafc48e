# -*- coding: utf-8 -*-
# Copyright: (c) 2026, The PNV-3400 Set-up Utility authors
# Apache License, Version 2.0 (see LICENSE or https://www.apache.org/licenses/LICENSE-2.0)
# SPDX-License-Identifier: Apache-2.0
#
# What every module of the collection says about the program it runs: one
# text for the options that choose it and its library, and what it needs.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  ctl_path:
    description: The C(pnv3400ctl) program to run; by default the one found on the managed host's C(PATH).
    type: path
  library:
    description:
      - The device library C(pnv3400ctl) binds (its option C(--library)). By default it looks where it always
        does, starting with the environment variable C(TESSALIN_LIBRARY).
      - The maker's Windows C(Tessalin.DLL) works too, through Wine.
    type: path
requirements:
  - C(pnv3400ctl) and the device library on the managed host (Debian package C(pnv3400-setup)).
attributes:
  platform:
    support: full
    platforms: posix
    description: The managed host runs C(pnv3400ctl), which must reach the encoders.
"""
