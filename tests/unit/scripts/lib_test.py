#!/usr/bin/env python3
"""scripts/lib.sh under the strict mode the demo runs in: the package check
must report what is missing, not die quietly on dpkg-query's exit status."""
import os
import subprocess
import sys

LIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "scripts", "lib.sh")
# Read as zov_install_packages reads it: a process substitution keeps set -e,
# where a command substitution would not.
MISSING = ('set -euo pipefail; source "$0"; mapfile -t got < <(zov_missing_packages "$@"); '
           'printf "%s\\n" "${got[@]}"; echo end')


def missing(*packages):
    out = subprocess.run(["bash", "-c", MISSING, LIB, *packages], capture_output=True, text=True).stdout
    lines = out.split("\n")
    # No "end": the strict shell died inside the function.
    return [p for p in lines[:lines.index("end")] if p] if "end" in lines else None


native = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
# A foreign architecture no package here is ever installed for.
foreign = "mips64el" if native == "s390x" else "s390x"
# package, expected
ROWS = [
    ("zov-never-installed-package", "missing"),
    ("bash", "installed"),
    (f"bash:{native}", "installed"),
    (f"bash:{foreign}", "missing"),
]
failures = 0
for package, expected in ROWS:
    got = missing(package)
    verdict = None if got is None else ("missing" if got else "installed")
    if verdict != expected:
        print(f"FAIL: {package}: expected {expected}, got {verdict}")
        failures += 1
# All at once: one unknown name must not hide the verdict on the others.
want = [p for p, e in ROWS if e == "missing"]
got = missing(*[p for p, _ in ROWS])
if got != want:
    print(f"FAIL: all at once: expected {want}, got {got}")
    failures += 1
print(f"{len(ROWS)} cases and one combined check: {len(ROWS) + 1 - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
