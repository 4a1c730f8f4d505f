#!/usr/bin/env python3
"""Generate the snmpsim printer recordings of this folder.

    make_recordings.py [--real DIR] [--out DIR]   write the *.snmprec files
    make_recordings.py --expect [--out DIR]       print what a poll of each gives
    make_recordings.py --records NAME...          print the alert records read from each
    make_recordings.py --check [--real DIR]       exit 1 when a file differs from what
                                                  this script writes

--real names a folder holding the five JSON walks of real printers
(brother_snmp.json, ...); without it the real recordings already in the folder
are left as they are and only the made-up ones are written.

--expect reads the *.snmprec files back and plays one poll of each against a
model of the agent: the probe's GETNEXT, the vendor check, the lock-step
SNMPv1 walk of the seven alert columns, the severity downgrade and the choice
of the worst and the reported alert, with an empty last-alert field.  Its
output is the table of README.md.

Standard library only; the output depends on nothing but the inputs.
"""

import argparse
import bisect
import json
import os
import sys

FAMILY = (1, 3, 6, 1, 4, 1, 808, 8, 62, 1)
VENDOR_MIB = "1.3.6.1.4.1.808.8.62.2"

TAG = {
    "Integer": "2",
    "OctetString": "4",
    "ObjectIdentifier": "6",
    "IPAddress": "64",
    "Counter32": "65",
    "Gauge32": "66",
    "TimeTicks": "67",
    "Counter64": "70",
}

ALERT_TABLE = "1.3.6.1.2.1.43.18.1.1"
SYSTEM = "1.3.6.1.2.1.1"


def oid_key(oid):
    return tuple(int(x) for x in oid.strip(".").split("."))


def under(oid, prefix):
    p = oid_key(prefix)
    return oid_key(oid)[: len(p)] == p


def octets(data):
    """An OCTET STRING value: plain text when snmpsim keeps it byte for byte,
    hex otherwise (snmpsim strips the line, so edge blanks need hex too)."""
    plain = all(0x20 <= b < 0x7F for b in data) and b"\\" not in data
    if plain and data == data.strip():
        return "4", data.decode("ascii")
    return "4x", data.hex()


# ---------------------------------------------------------------- real printers

REAL = [
    # file, recording name, sysObjectID to give it (None keeps its own),
    # the vendor's enterprise subtree from which a few dozen objects follow the table
    ("brother_snmp.json", "real-brother-hl-l8260cdw", ".1.3.6.1.4.1.808.8.62.1.4", "1.3.6.1.4.1.2435"),
    ("epson_cw_snmp.json", "real-epson-cw-c6500au", ".1.3.6.1.4.1.808.8.62.1.3.5", "1.3.6.1.4.1.1248"),
    ("epson_sc_snmp.json", "real-epson-sc-t3405-foreign", None, "1.3.6.1.4.1.1248"),
    ("kyocera_cs4053_snmp.json", "real-kyocera-cs4053ci", ".1.3.6.1.4.1.808.8.62.1.2", "1.3.6.1.4.1.1347"),
    ("kyocera_p2040_snmp.json", "real-kyocera-p2040dw", ".1.3.6.1.4.1.808.8.62.1.2.1", "1.3.6.1.4.1.1347"),
]

VENDOR_OBJECTS = 40


def real_record(rec):
    kind = rec["type"]
    if kind == "OctetString":
        # hex_value is what the agent sent; value was cut at the first zero byte
        data = bytes.fromhex(rec["hex_value"]) if rec.get("hex_value") else rec["value"].encode("ascii")
        return octets(data)
    if kind == "ObjectIdentifier":
        return "6", rec["value"].strip(".")
    return TAG[kind], rec["value"]


def convert_real(path, family, vendor):
    with open(path) as f:
        walk = json.load(f)
    unique = {}
    for rec in walk:  # the recorder wrote every record twice
        unique.setdefault(rec["oid"].strip("."), rec)
    lines = {}
    vendor_oids = sorted((o for o in unique if under(o, vendor)), key=oid_key)[:VENDOR_OBJECTS]
    for oid, rec in unique.items():
        if under(oid, SYSTEM) or under(oid, "1.3.6.1.2.1.43.18") or oid in vendor_oids:
            lines[oid] = real_record(rec)
    if family:
        lines["1.3.6.1.2.1.1.2.0"] = ("6", family.strip("."))
    return lines


# ------------------------------------------------------------ made-up printers

def system_group(name, family=".1.3.6.1.4.1.808.8.62.1.1", uptime=8640000, has_uptime=True):
    g = {
        "1.3.6.1.2.1.1.1.0": octets(b"Networked laser printer (made-up recording " + name.encode() + b")"),
        "1.3.6.1.2.1.1.2.0": ("6", family.strip(".")),
        "1.3.6.1.2.1.1.4.0": octets(b"Print room"),
        "1.3.6.1.2.1.1.5.0": octets(name.encode()),
        "1.3.6.1.2.1.1.6.0": octets(b"Building 2, floor 1"),
        "1.3.6.1.2.1.1.7.0": ("2", "72"),
    }
    if has_uptime:
        g["1.3.6.1.2.1.1.3.0"] = ("67", str(uptime))
    return g


def vendor_mib(count=32):
    """The vendor's own objects, which follow the Printer MIB on a real agent."""
    out = {}
    for i in range(1, count + 1):
        oid = "%s.1.%d.0" % (VENDOR_MIB, i)
        if i % 4 == 0:
            out[oid] = octets(b"ZV%06d" % (i * 7919))
        elif i % 4 == 1:
            out[oid] = ("65", str(i * 104729))
        else:
            out[oid] = ("2", str(i % 3))
    return out


def alert_rows(rows, omit=()):
    """rows: (index, severity, group, group index, location, code, description
    bytes or None, time or None).  omit: (index, column) pairs left out."""
    out = {}
    for idx, sev, group, gidx, loc, code, desc, time in rows:
        cols = {2: ("2", str(sev)), 3: ("2", "3"), 4: ("2", str(group)), 5: ("2", str(gidx)),
                6: ("2", str(loc)), 7: ("2", str(code))}
        if desc is not None:
            cols[8] = octets(desc)
        if time is not None:
            cols[9] = ("67", str(time))
        for col, val in cols.items():
            if (idx, col) not in omit:
                out["%s.%d.1.%d" % (ALERT_TABLE, col, idx)] = val
    return out


# Printer MIB values used below: severity 1 other, 3 critical, 4 warning;
# group 5 general printer, 8 input, 11 marker supplies, 13 media path;
# code 1 other, 8 coverOpen, 13 subunitOffline, 808 inputMediaSupplyEmpty,
# 1101 markerTonerEmpty, 1104 markerTonerAlmostEmpty, 1502 mediaPathJam.
def made_up():
    R = {}

    def add(name, rows, omit=(), tail=True, **system):
        lines = system_group(name, **system)
        lines.update(alert_rows(rows, omit))
        if tail:
            lines.update(vendor_mib())
        R[name] = lines

    add("normal-other-only",
        [(1, 1, 5, 1, 0, 1, b"Sleep", 7200),
         (2, 1, 5, 1, 0, 1, b"Ready", 8100)],
        family=".1.3.6.1.4.1.808.8.62.1")
    add("warning-toner-low",
        [(1, 1, 5, 1, 0, 1, b"Ready", 1200),
         (3, 4, 11, 1, 0, 1104, b"Toner low", 5400)])
    add("warning-downgraded",
        [(1, 4, 5, 1, 3, 1, b"Energy saver", 3000),
         (2, 4, 5, 1, 4, 1, b"Warming up", 4000)])
    add("warning-kept",
        [(1, 4, 5, 1, 5, 1, b"Check printer", 3000),
         (2, 4, 8, 1, 3, 1, b"Tray 1 low", 3500),
         (3, 4, 5, 1, 3, 2, b"Service soon", 4000)])
    add("critical-offline-newest",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2000),
         (2, 3, 5, 1, 0, 13, b"Offline", 6000)])
    add("critical-offline-not-newest",
        [(1, 3, 5, 1, 0, 13, b"Offline", 2000),
         (2, 4, 11, 1, 0, 1104, b"Toner low", 6000)])
    add("critical-offline-lookalikes",
        [(1, 3, 5, 1, 0, 13, b"offline", 2000),
         (2, 3, 5, 1, 0, 13, b"Offline ", 2500),
         (3, 4, 11, 1, 0, 1104, b"Toner low", 6000)])
    add("critical-among-newer-warnings",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 3000),
         (2, 3, 13, 1, 0, 1502, b"Paper jam", 1000),
         (3, 4, 8, 2, 0, 808, b"Tray 2 empty", 4000),
         (4, 3, 5, 1, 0, 8, b"Cover open", 500)])
    add("critical-untimed-among-timed",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 500),
         (2, 3, 11, 1, 0, 1101, b"Toner empty", 0)])
    add("times-all-zero-critical",
        [(3, 4, 11, 1, 0, 1104, b"Toner low", 0),
         (7, 3, 13, 1, 0, 1502, b"Paper jam", 0),
         (5, 1, 5, 1, 0, 1, b"Ready", 0)])
    add("times-all-zero-warning",
        [(4, 4, 11, 1, 0, 1104, b"Toner low", 0),
         (9, 4, 8, 1, 0, 808, b"Tray 1 empty", 0)])
    add("times-high-bit",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2147483647),
         (2, 1, 5, 1, 0, 1, b"Sleep", 2147483648),
         (3, 1, 5, 1, 0, 1, b"Ready", 4294967295)],
        uptime=4294967295)
    add("index-high-bit",
        [(5, 4, 11, 1, 0, 1104, b"Toner low", 100),
         (4294967295, 3, 5, 1, 0, 1, b"Fuser error", 200)])
    add("empty-table", [])
    add("missing-columns-last-row",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 3000),
         (2, 1, 5, 1, 0, 1, b"Ready", 3100),
         (3, 3, 13, 1, 0, 1502, b"Paper jam", None)],
        omit={(3, 7)})
    add("critical-without-description",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", None),
         (2, 3, 13, 1, 0, 1502, None, None)])
    add("column-gap-mid-table",
        [(1, 1, 5, 1, 0, 1, b"Ready", 1000),
         (2, 4, 11, 1, 0, 1104, None, 2000),
         (3, 1, 5, 1, 0, 1, b"Sleep", 3000)])
    add("description-bytes",
        [(1, 4, 8, 1, 0, 808, "Papier leer \u2013 Fach 2".encode("utf-8"), 1000),
         (2, 4, 11, 1, 0, 1104, b"Toner\x00low \xe9\xff", 2000)])
    add("description-empty",
        [(1, 4, 11, 1, 0, 1104, b"", 2000)])
    add("no-sysuptime",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2000)],
        has_uptime=False)
    add("uptime-zero",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2000)],
        uptime=0)
    add("foreign-family",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2000)],
        family=".1.3.6.1.4.1.808.8.62.2.1")
    add("foreign-enterprise-only",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2000)],
        family=".1.3.6.1.4.1.808")
    add("table-last-object",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 2000)],
        tail=False)
    rows = []
    for i in range(1, 1001):
        if i in (250, 500, 750):
            rows.append((i, 4, 8, i // 250, 0, 808, b"Tray %d empty" % (i // 250), 100000 + i))
        else:
            rows.append((i, 1, 5, 1, 0, 1, b"Job %d done" % i, 100000 + i))
    add("table-1000-rows", rows)

    # One printer's course over four polls: a warning, a critical added,
    # both cleared. Its uptime moves on as a real agent's would.
    add("course-1-warning",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 9000)],
        uptime=10000)
    add("course-2-critical-added",
        [(1, 4, 11, 1, 0, 1104, b"Toner low", 9000),
         (2, 3, 13, 1, 0, 1502, b"Paper jam", 19000)],
        uptime=20000)
    add("course-3-cleared", [], uptime=30000)
    return R


def write(lines, path):
    text = "".join("%s|%s|%s\n" % (oid, tag, val)
                   for oid, (tag, val) in sorted(lines.items(), key=lambda kv: oid_key(kv[0])))
    tmp = path + ".tmp"
    with open(tmp, "w", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


# --------------------------------------------------- model of one poll

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
                    val = oid_key(val)
                elif tag != "64":
                    val = int(val)
                self.objects.append((oid_key(oid), int(tag), val))
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


def find(bindings, var_oid):
    return next((b for b in bindings if b[0][: len(var_oid)] == var_oid), None)


def s32(v):
    return v - (1 << 32) if v >= 1 << 31 else v


COLUMNS = [("severity", 2), ("description", 8), ("group", 4), ("group index", 5),
           ("location", 6), ("code", 7), ("time", 9)]


def read_alerts(agent):
    cols = [oid_key(ALERT_TABLE) + (c,) for _, c in COLUMNS]
    rows = []
    request = cols
    while True:
        answer = agent.getnext(request)
        if answer is None:
            return None
        first = answer[0][0]
        if first[:9] != oid_key("1.3.6.1.2.1.43.18.1") or first[: len(cols[0])] != cols[0]:
            break
        rows.append(answer)
        request = [b[0] for b in answer]
    records = []
    for row in rows:
        rec = {"index": s32(row[0][0][-1])}
        for (name, _), var in zip(COLUMNS, cols):
            b = find(row, var)
            if name == "description":
                rec[name] = None if b is None else b[2]
            elif name == "time":
                rec[name] = 0 if b is None else b[2] & 0xFFFFFFFF
            else:
                rec[name] = 0 if b is None else s32(b[2] & 0xFFFFFFFF)
        if (rec["severity"] == 4 and rec["group"] == 5 and rec["code"] == 1
                and rec["location"] in (3, 4)):
            rec["severity"] = 1
        records.append(rec)
    return records


def worst_alert(records):
    for sev in (3, 4):
        best, top = None, -1
        for r in records:
            if r["severity"] == sev and r["index"] > top:
                best, top = r, r["index"]
        if best:
            return best
    return records[0] if records else None


def reported_alert(records):
    best, top = None, 0
    for r in records:
        if r["time"] > top:
            best, top = r, r["time"]
    if best is None:
        return None
    for r in records:
        if r["severity"] == 3 and (r["description"] is None
                                   or r["description"].split(b"\0")[0] != b"Offline"):
            return r
    return best


def poll(path):
    """What the first poll of a printer gives, its last-alert field empty."""
    agent = Agent(path)
    res = {"rows": "-", "worst": "-", "reported": "-", "identity": "-", "trap": "-"}
    probe = agent.getnext([oid_key("1.3.6.1.2.1.1.3"), oid_key("1.3.6.1.2.1.1.2")])
    if probe is None:
        return dict(res, status=0, why="probe: noSuchName")
    sysuptime = oid_key("1.3.6.1.2.1.1.3")
    if probe[0][0][: len(sysuptime)] != sysuptime:
        return dict(res, status=0, why="probe: no sysUpTime")
    uptime = probe[0][2]
    family = find(probe, oid_key("1.3.6.1.2.1.1.2"))
    if uptime == 0:
        return dict(res, status=0, why="uptime 0")
    if family is None or family[2][:10] != FAMILY:
        return dict(res, status=0, why="foreign sysObjectID")
    records = read_alerts(agent)
    if records is None:
        return dict(res, status=0, why="walk: noSuchName")
    res["rows"] = str(len(records))
    if not records:
        return dict(res, status=2, identity="0", why="no alerts")
    worst = worst_alert(records)
    reported = reported_alert(records) or worst
    identity = reported["time"] or reported["index"]
    status = {3: 4, 4: 3}.get(worst["severity"], 2)
    trap = {3: "critical", 4: "warning"}.get(reported["severity"], "other")
    if reported["description"] is None:
        trap += " (none: no description)"

    def show(r):
        d = r["description"]
        text = "absent" if d is None else repr(d)[1:]
        return "%d sev %d time %d %s" % (r["index"], r["severity"], r["time"], text)

    res.update(worst=show(worst), reported=show(reported), identity=str(s32(identity)), trap=trap)
    return dict(res, status=status, why="")


def show_records(out, names):
    print("| recording | index | severity | group | group index | location | code | description | time |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name in names:
        records = read_alerts(Agent(os.path.join(out, name + ".snmprec")))
        for r in records or []:
            d = r["description"]
            print("| %s | %d | %d | %d | %d | %d | %d | %s | %d |" % (
                name, r["index"], r["severity"], r["group"], r["group index"], r["location"],
                r["code"], "absent" if d is None else repr(d)[1:], r["time"]))


def expect_table(out):
    names = sorted(f[:-8] for f in os.listdir(out) if f.endswith(".snmprec"))
    lines = ["| recording | status | alert rows | worst alert | reported alert | VlmLastAlert | trap |",
             "|---|---|---|---|---|---|---|"]
    for name in names:
        r = poll(os.path.join(out, name + ".snmprec"))
        status = "%d (%s)" % (r["status"], r["why"]) if r["why"] else str(r["status"])
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            name, status, r["rows"], r["worst"], r["reported"], r["identity"], r["trap"]))
    return "\n".join(lines) + "\n"


def expect(out):
    sys.stdout.write(expect_table(out))


def check(out, real):
    """Regenerate into a scratch folder and compare byte for byte."""
    import filecmp
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        generate(tmp, real)
        stale = [f for f in sorted(os.listdir(tmp))
                 if not os.path.exists(os.path.join(out, f))
                 or not filecmp.cmp(os.path.join(tmp, f), os.path.join(out, f), shallow=False)]
    for f in stale:
        print("%s differs from what make_recordings.py writes" % f, file=sys.stderr)
    with open(os.path.join(out, "README.md")) as f:
        readme_current = expect_table(out) in f.read()
    if not readme_current:
        print("README.md lacks the table of make_recordings.py --expect", file=sys.stderr)
    return 1 if stale or not readme_current else 0


def generate(out, real):
    if real:
        for src, name, family, vendor in REAL:
            write(convert_real(os.path.join(real, src), family, vendor),
                  os.path.join(out, name + ".snmprec"))
    for name, lines in made_up().items():
        write(lines, os.path.join(out, name + ".snmprec"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--real", help="folder of the real printers' JSON walks")
    ap.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)))
    ap.add_argument("--expect", action="store_true")
    ap.add_argument("--records", nargs="+", metavar="NAME")
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    if args.check:
        return check(args.out, args.real)
    if args.records:
        show_records(args.out, args.records)
        return 0
    if args.expect:
        expect(args.out)
        return 0
    generate(args.out, args.real)
    return 0


if __name__ == "__main__":
    sys.exit(main())
