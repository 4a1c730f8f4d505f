#!/usr/bin/env python3
"""scripts/junit-counts on CTest JUnit files whose tests left gtest XML (the
Windows trees run each executable as one CTest test): the cases are counted,
a skipped case as skipped, and a test CTest saw fail is never all passes."""
import os
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts", "junit-counts")


def gtest_xml(passed, failed, skipped):
    cases = ['<testcase name="p%d" status="run" result="completed"/>' % i for i in range(passed)]
    cases += ['<testcase name="f%d" status="run" result="completed"><failure message="x"/></testcase>' % i
              for i in range(failed)]
    cases += ['<testcase name="s%d" status="run" result="skipped"><skipped message="y"/></testcase>' % i
              for i in range(skipped)]
    return '<testsuites><testsuite name="S">%s</testsuite></testsuites>' % "".join(cases)


CTEST_CASE = {
    "run": '<testcase name="%s" status="run"/>',
    "fail": '<testcase name="%s" status="fail"><failure message=""/></testcase>',
    "notrun": '<testcase name="%s" status="notrun"><skipped message="SKIP_RETURN_CODE=77"/></testcase>',
}

# CTest's verdict, the gtest XML the test left (None: none), expected counts
ROWS = [
    ("run", (2, 0, 1), (2, 0, 1)),   # a skipped case inside a passing executable
    ("run", (3, 0, 0), (3, 0, 0)),
    ("fail", (1, 1, 0), (1, 1, 0)),
    ("fail", (2, 0, 0), (2, 1, 0)),  # crashed after writing its file
    ("notrun", None, (0, 0, 1)),     # wine-run's exit 77: the loader does not run here
    ("run", None, (1, 0, 0)),        # no XML: the CTest test itself
]

failures = 0
with tempfile.TemporaryDirectory() as tmp:
    for i, (verdict, inner, want) in enumerate(ROWS):
        name = "exe%d" % i
        if inner is not None:
            with open(os.path.join(tmp, name + ".xml"), "w") as f:
                f.write(gtest_xml(*inner))
        junit = os.path.join(tmp, "ctest%d.xml" % i)
        with open(junit, "w") as f:
            f.write('<testsuite name="t">%s</testsuite>' % (CTEST_CASE[verdict] % name))
        out = subprocess.run([sys.executable, SCRIPT, junit, tmp], capture_output=True, text=True).stdout
        got = tuple(int(n) for n in out.split()) if out.strip() else None
        if got != want:
            print("FAIL: row %d (%s, %s): expected %s, got %s" % (i, verdict, inner, want, got))
            failures += 1
print("%d rows: %d passed, %d failed" % (len(ROWS), len(ROWS) - failures, failures))
sys.exit(1 if failures else 0)
