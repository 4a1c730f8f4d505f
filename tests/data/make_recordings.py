#!/usr/bin/env python3
"""Generate the snmpsim printer recordings of this folder.

    make_recordings.py [--real DIR] [--out DIR]   write the *.snmprec files
    make_recordings.py --check [--real DIR]       exit 1 when a file differs from what
                                                  this script writes

--real names a folder holding the five JSON walks of real printers
(brother_snmp.json, ...); without it the real recordings already in the folder
are left as they are and only the made-up ones are written.

What a poll of each gives is stated by hand in polls.expected and
records.expected, not computed here.

Standard library only; the output depends on nothing but the inputs.
"""

import argparse
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
    return 1 if stale else 0


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
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    if args.check:
        return check(args.out, args.real)
    generate(args.out, args.real)
    return 0


if __name__ == "__main__":
    sys.exit(main())
