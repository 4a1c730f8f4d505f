#!/usr/bin/env python3
"""Check the recordings against a running snmpsimd with net-snmp's tools.

    check_recordings.py PORT [NAME...]

For each recording (all *.snmprec of this folder when no NAME is given):
1. snmpwalk -v1 of the whole agent returns exactly the recording's objects,
   types and values, in order;
2. the probe's GETNEXT and the lock-step GETNEXT walk of the seven alert
   columns, sent with snmpgetnext -v1, get the answers (or the noSuchName)
   that a plain model of an SNMPv1 agent serving the file predicts.
Exit 0 when every recording passed.
"""

import os
import bisect
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_recordings as mr  # noqa: E402

class Agent:
    """An SNMPv1 agent serving one recording: GETNEXT in OID order."""

    def __init__(self, path):
        self.objects = []
        with open(path) as f:
            for line in f:
                oid, tag, val = line.rstrip("\n").split("|", 2)
                if tag.endswith("x"):
                    val = bytes.fromhex(val)
                    tag = tag[:-1]
                elif tag == "4":
                    val = val.encode("ascii")
                elif tag == "6":
                    val = mr.oid_key(val)
                elif tag != "64":
                    val = int(val)
                self.objects.append((mr.oid_key(oid), int(tag), val))
        self.objects.sort()
        self.keys = [o[0] for o in self.objects]

    def getnext(self, oids):
        """None when a binding has no successor (noSuchName for the whole PDU)."""
        out = []
        for want in oids:
            i = bisect.bisect_right(self.keys, want)
            if i == len(self.keys):
                return None
            out.append(self.objects[i])
        return out


HERE = os.path.dirname(os.path.abspath(__file__))
FLAGS = ["-v1", "-On", "-Oe", "-Ot", "-Ox", "-r0", "-t3"]


def parse(text):
    """net-snmp's numeric output -> list of (oid tuple, tag, value)."""
    bindings = []
    for line in text.splitlines():
        if line.startswith(".1."):
            bindings.append(line)
        elif bindings and line.strip() and line.strip() != "End of MIB":
            bindings[-1] += " " + line.strip()
    out = []
    for b in bindings:
        oid, _, val = b.partition(" = ")
        key = mr.oid_key(oid)
        if val == '""':
            out.append((key, 4, b""))
        elif val.startswith("Hex-STRING: "):
            out.append((key, 4, bytes.fromhex(val[12:].replace(" ", ""))))
        elif val.startswith("OID: "):
            out.append((key, 6, mr.oid_key(val[5:])))
        elif val.startswith("IpAddress: "):
            out.append((key, 64, val[11:]))
        elif val.startswith("INTEGER: "):
            out.append((key, 2, int(val[9:])))
        elif val.startswith("Counter32: "):
            out.append((key, 65, int(val[11:])))
        elif val.startswith("Gauge32: "):
            out.append((key, 66, int(val[9:])))
        elif val.startswith("Counter64: "):
            out.append((key, 70, int(val[11:])))
        else:  # -Ot prints TimeTicks as a bare number
            out.append((key, 67, int(val)))
    return out


def run(tool, port, community, oids):
    p = subprocess.run([tool] + FLAGS + ["-c", community, "127.0.0.1:%d" % port]
                       + [".".join(map(str, o)) for o in oids],
                       capture_output=True, text=True)
    return p.returncode, parse(p.stdout), p.stderr


def check(port, name):
    agent = Agent(os.path.join(HERE, name + ".snmprec"))
    problems = []

    rc, got, err = run("snmpwalk", port, name, [(1, 3, 6, 1)])
    want = [(o, t, v) for o, t, v in agent.objects]
    if rc != 0 or got != want:
        first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        problems.append("walk: rc %d, %d objects for %d, first difference at %d: %s / %s %s" % (
            rc, len(got), len(want), first, got[first:first + 1], want[first:first + 1], err.strip()))

    def lockstep(request):
        expected = agent.getnext(request)
        rc, got, err = run("snmpgetnext", port, name, request)
        if expected is None:
            if rc == 0 or "noSuchName" not in err:
                problems.append("getnext %s: expected noSuchName, got rc %d %s" % (request[0], rc, got))
            return None
        if rc != 0 or got != expected:
            problems.append("getnext %s: expected %s, got rc %d %s %s" % (request[0], expected, rc, got, err.strip()))
            return None
        return got

    lockstep([mr.oid_key("1.3.6.1.2.1.1.3"), mr.oid_key("1.3.6.1.2.1.1.2")])
    # The reader's seven columns in the order it asks for them.
    cols = [mr.oid_key(mr.ALERT_TABLE) + (c,) for c in (2, 8, 4, 5, 6, 7, 9)]
    request = cols
    for _ in range(len(agent.objects)):
        answer = lockstep(request)
        if answer is None or answer[0][0][: len(cols[0])] != cols[0]:
            break
        request = [b[0] for b in answer]
    return problems


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    port = int(sys.argv[1])
    names = sys.argv[2:] or sorted(f[:-8] for f in os.listdir(HERE) if f.endswith(".snmprec"))
    failed = 0
    for name in names:
        problems = check(port, name)
        print("%-32s %s" % (name, "ok" if not problems else "FAILED"))
        for p in problems:
            print("    " + p)
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
