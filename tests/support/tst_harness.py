#!/usr/bin/env python3
"""The suite's own guards: scripts/check-skips.py refuses every skip but an optional tool's, and the sealed-network
check tells the sealed namespace from a namespace made inside it, whatever devices either holds.

Usage: tst_harness.py SOURCE_DIR"""

import os
import subprocess
import sys
import tempfile

SOURCE = sys.argv[1]
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import pnvtest  # noqa: E402

failures = []


def check(what, condition):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, file=sys.stderr)


def case(name, status, output, skipped=""):
    return ('<testcase name="%s" status="%s">%s<system-out>%s</system-out></testcase>'
            % (name, status, skipped, output))


README_LINE = "Optional tools for the tests: `tesseract`.\n"
# (what, test cases of a ctest JUnit report, whether check-skips lets the run pass)
REPORTS = [
    ("no skip", case("a", "run", "PASS   : T::f()\n"), True),
    ("a Qt function's skip inside a test that passed",
     case("a", "run", "PASS   : T::f()\nSKIP   : T::g() needs the sealed network namespace\n"), False),
    ("a whole test skipped for a tool setup.sh installs",
     case("b", "notrun", "SKIP: xdotool is not installed\n", '<skipped message="SKIP_RETURN_CODE=77"/>'), False),
    ("a whole test skipped for an optional tool the README names",
     case("b", "notrun", "SKIP: tesseract is not installed\n", '<skipped message="SKIP_RETURN_CODE=77"/>'), True),
    ("a test that did not run and said nothing", case("c", "notrun", "", "<skipped/>"), False),
]

with tempfile.TemporaryDirectory() as work:
    readme = os.path.join(work, "README.md")
    with open(readme, "w") as text:
        text.write(README_LINE)
    for what, cases, passes in REPORTS:
        report = os.path.join(work, "report.xml")
        with open(report, "w") as xml:
            xml.write('<?xml version="1.0"?><testsuite>%s</testsuite>' % cases)
        run = subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "check-skips.py"), report, readme],
                             capture_output=True, text=True, timeout=30)
        check("check-skips, %s: exit %d" % (what, run.returncode), (run.returncode == 0) == passes)

# The sealed namespace is known by its identity, not by its devices: a dummy
# device in it changes nothing, and a namespace made inside it is not it.
if pnvtest.in_sealed_network():
    added = subprocess.run(["ip", "link", "add", "pnvharness0", "type", "dummy"], capture_output=True).returncode == 0
    check("sealed, with a device more", pnvtest.in_sealed_network())
    if added:
        subprocess.run(["ip", "link", "del", "pnvharness0"], check=False)
    inner = subprocess.run(["unshare", "-n", sys.executable, "-c",
                            "import sys; sys.path.insert(0, %r); import pnvtest; sys.exit(0 if pnvtest.in_sealed_network() "
                            "else 3)" % os.path.join(SOURCE, "tests", "support")], timeout=30)
    check("a namespace inside the sealed one counts as sealed (exit %d)" % inner.returncode, inner.returncode == 3)
else:
    check("outside the sealed namespace: PNV_SEALED_NETNS is unset or names another namespace",
          os.environ.get("PNV_SEALED_NETNS", "") != os.readlink("/proc/self/ns/net"))

sys.exit(1 if failures else 0)
