#!/usr/bin/env python3
"""Every log record the plug-in can write is in the operator's guide, word for word.

Reads the record texts from the sources, so that a record added to src/ and
not to docs/operators.md fails this test:
- the text arguments of every call of the log's writers (the functions of
  src/log/*.h named Log... that take a text): string literals, named string
  constants of the same file, a buffer's snprintf format with what it
  formats in, and the literals a function returns when its result is passed
  (QueryErrorText);
- the formats the log itself writes: named constants kSomethingRecord (the
  dropped-records lines) and fprintf formats.
A printf conversion stands for any text the guide puts in its place.

Usage: guide_records_test.py SOURCE_ROOT [GUIDE]
"""
import os
import re
import sys

WILD = object()  # a printf conversion: the guide shows a placeholder there
CONVERSION = re.compile(r"%[-+ #0]*(\*|\d+)?(?:\.(\*|\d+))?(?:hh|h|ll|l|z|j|t)?([diouxXcsfgeEp%])")
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0"}


# A string or character literal, or a comment; a literal is skipped whole.
TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'|//[^\n]*|/\*.*?(?:\*/|\Z)', re.S)


def strip_comments(text):
    """The source with comments blanked out; strings and line numbers kept."""
    return TOKEN.sub(lambda m: m.group() if m.group()[0] in "\"'" else re.sub(r"[^\n]", " ", m.group()), text)


def call_arguments(text, open_paren):
    """The top-level arguments of the call whose '(' is at open_paren."""
    args, depth, start, i = [], 0, open_paren + 1, open_paren
    while i < len(text):
        c = text[i]
        if c in "\"'":
            i = TOKEN.match(text, i).end() - 1
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(text[start:i].strip())
                return args
        elif c == "," and depth == 1:
            args.append(text[start:i].strip())
            start = i + 1
        i += 1
    raise ValueError("unbalanced call")


def literal(arg):
    """The text of an argument made only of string literals, else None."""
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', arg)
    if not parts or re.sub(r'"(?:[^"\\]|\\.)*"', "", arg).strip():
        return None
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), "".join(parts))


def constant(name, text):
    m = re.search(r"\b%s\b\s*(?:\[\s*\])?\s*=\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+)[;,]" % re.escape(name), text)
    return literal(m.group(1)) if m else None


def resolve(arg, text):
    """A piece list for an argument, or None when it carries no known text."""
    value = literal(arg)
    if value is None and re.fullmatch(r"[A-Za-z_]\w*", arg):
        value = constant(arg, text)
    return None if value is None else [value]


def formatted(fmt, args, text):
    """A printf format as pieces, with the arguments that are known texts put in."""
    pieces, pos, arg = [], 0, 0
    for m in CONVERSION.finditer(fmt):
        pieces.append(fmt[pos:m.start()])
        pos = m.end()
        if m.group(3) == "%":
            pieces.append("%")
            continue
        arg += (m.group(1) == "*") + (m.group(2) == "*")
        known = resolve(args[arg], text) if arg < len(args) and m.group(3) == "s" else None
        pieces.extend(known if known else [WILD])
        arg += 1
    pieces.append(fmt[pos:])
    return pieces


def returned_literals(function, sources):
    """The string literals a function of the sources returns."""
    found = []
    for text in sources.values():
        m = re.search(r"\b%s\s*\([^;{)]*\)\s*\{" % re.escape(function), text)
        if m:
            body = ",".join(call_arguments(text, m.end() - 1))  # split at its commas, joined again
            found += [[literal(s)] for s in re.findall(r'return\s+("(?:[^"\\]|\\.)*")\s*;', body)]
    return found


def argument_records(arg, text, sources):
    """Records an argument that is no text itself stands for, or None."""
    if not re.fullmatch(r"[A-Za-z_]\w*", arg):
        return None
    m = re.search(r"\bs?n?printf\s*\(\s*%s\s*," % re.escape(arg), text)
    if m:
        args = call_arguments(text, text.index("(", m.start()))
        fmt = resolve(args[2], text) if len(args) > 2 else None
        return [formatted(fmt[0], args[3:], text)] if fmt else None
    m = re.search(r"\b%s\s*=\s*([A-Za-z_]\w*)\s*\(" % re.escape(arg), text)
    if m:
        return returned_literals(m.group(1), sources) or None
    return None


def extract(root):
    """{record pieces (tuple): [where, ...]} and a list of calls whose text is unknown."""
    sources = {}
    for folder, _, files in os.walk(os.path.join(root, "src")):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(folder, name)
                with open(path) as f:
                    sources[os.path.relpath(path, root)] = strip_comments(f.read())
    log_dir = os.path.join("src", "log") + os.sep
    # The log's writers: the functions of its headers named Log... that take a text.
    names = {m.group(1) for path, text in sources.items() if path.startswith(log_dir) and path.endswith(".h")
             for m in re.finditer(r"\bvoid\s+(Log\w+)\s*\(([^)]*)\)\s*;", text) if "char" in m.group(2)}
    records, unknown = {}, []
    call = re.compile(r"\b(%s)\s*\(" % "|".join(sorted(names)))
    for path, text in sorted(sources.items()):
        in_log = path.startswith(log_dir)

        def add(pieces, at):
            records.setdefault(tuple(pieces), []).append("%s:%d" % (path, text.count("\n", 0, at) + 1))
        for m in call.finditer(text):
            where = "%s:%d" % (path, text.count("\n", 0, m.start()) + 1)
            args = call_arguments(text, m.end() - 1)
            if re.match(r"\s*(void|const|char|int)\b", text[m.end():]) or re.search(r"\bvoid\s+$", text[:m.start()]):
                continue  # a declaration or definition
            found = []
            for arg in args:
                known = resolve(arg, text)
                found += [known] if known else argument_records(arg, text, sources) or []
            if not found and not in_log:
                unknown.append("%s: %s(%s)" % (where, m.group(1), ", ".join(args)))
            for pieces in found:
                add(pieces, m.start())
        if in_log:
            # The log's own lines, kept as named formats: kSomethingRecord.
            for m in re.finditer(r"\bconstexpr\s+char\s+(k\w*Record)\s*\[\s*\]\s*=", text):
                fmt = constant(m.group(1), text)
                if fmt:
                    add(formatted(fmt, [], text), m.start())
            for m in re.finditer(r"\bfprintf\s*\(", text):
                args = call_arguments(text, m.end() - 1)
                fmt = resolve(args[1], text) if len(args) > 1 else None
                if fmt:
                    add(formatted(fmt[0], args[2:], text), m.start())
    return records, unknown


def pattern(pieces):
    """A regular expression over the guide, or None for a record without words."""
    words = "".join(p for p in pieces if p is not WILD)
    if not re.search(r"[A-Za-z]", words):
        return None
    parts = []
    for piece in pieces:
        if piece is WILD:
            parts.append(r"[^\n`|]*?")
        else:
            parts.append(r"\s+".join(re.escape(w) for w in piece.split()) if piece.strip() else r"\s*")
    return re.compile("".join(parts).strip())


def shown(pieces):
    return "".join("..." if p is WILD else p for p in pieces).strip().replace("\n", "\\n").replace("\t", "\\t")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    root = sys.argv[1]
    guide_path = sys.argv[2] if len(sys.argv) == 3 else os.path.join(root, "docs", "operators.md")
    with open(guide_path) as f:
        guide = f.read()
    records, unknown = extract(root)
    failures = ["cannot read the text of %s: give it a string literal or a named constant" % u for u in unknown]
    checked = 0
    for pieces, where in sorted(records.items(), key=lambda r: r[1][0]):
        expression = pattern(pieces)
        if expression is None:
            continue
        checked += 1
        if not expression.search(guide):
            failures.append("not in %s: \"%s\" (%s)" % (guide_path, shown(pieces), ", ".join(where)))
    # The extraction itself must keep finding the records it was written for.
    texts = [shown(p) for p in records]
    for expected in ("Call with object address", "Error sending trap", "VlmLastAlert field not defined",
                     "Dropped ... log record... of process ...: the log lock was held elsewhere"):
        if not any(expected in t for t in texts):
            failures.append("the sources gave no record like \"%s\": is the extraction broken?" % expected)
    for failure in failures:
        print("FAIL: " + failure)
    print("%d log records read from %s/src, %d missing from the guide" % (checked, root, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
