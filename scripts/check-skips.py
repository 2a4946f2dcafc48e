#!/usr/bin/env python3
"""Fails a test run in which a test skipped, unless for a missing optional tool that README.md names.

Usage: check-skips.py JUNIT_XML README

Reads ctest's JUnit report (ctest --output-junit, with --test-output-size-passed large enough to keep every line)
and finds every skip: a test that did not run (its SKIP_RETURN_CODE), and every "SKIP:" line (our shell and Python
tests) or "SKIP   :" line (a Qt test function's QSKIP) in a test's output, including those of tests that passed,
where a skip would otherwise count as a pass. Allowed are only "TOOL is not installed" for a tool that README.md
lists on its "Optional tools for the tests:" line, and "needs root" when the suite itself ran without root.
"""

import os
import re
import sys
import xml.etree.ElementTree as ElementTree

SKIP_LINE = re.compile(r"^SKIP\s*:\s*(.*)$")


def optional_tools(readme):
    with open(readme, encoding="utf-8") as text:
        for line in text:
            if line.startswith("Optional tools for the tests:"):
                return set(re.findall(r"`([^`]+)`", line))
    raise SystemExit("check-skips: %s has no line \"Optional tools for the tests:\"" % readme)


def allowed(reason, tools, root):
    missing = re.search(r"(\S+) is not installed", reason)
    if missing and missing.group(1) in tools:
        return True
    return "needs root" in reason and not root


def skips(report):
    """(test, reason) for every skip in the report."""
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        name = case.get("name")
        output = "\n".join(element.text or "" for element in case.iter() if element.tag in ("system-out", "system-err"))
        reasons = [match.group(1).strip() for match in map(SKIP_LINE.match, output.splitlines()) if match]
        for reason in reasons:
            yield name, reason or "(no reason printed)"
        if case.get("status") == "notrun" and not reasons:
            yield name, "did not run, and printed no reason"


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    tools = optional_tools(argv[2])
    root = os.geteuid() == 0
    found = list(skips(argv[1]))
    refused = [(name, reason) for name, reason in found if not allowed(reason, tools, root)]
    for name, reason in found:
        verdict = "NOT ALLOWED" if (name, reason) in refused else "allowed"
        print("check-skips: %s skipped (%s): %s" % (name, verdict, reason), file=sys.stderr)
    if refused:
        print("check-skips: %d skip(s) on a machine that should run every test; a skip is a failure here" % len(refused),
              file=sys.stderr)
        return 1
    print("check-skips: no test skipped%s" % (" but for optional tools" if found else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
