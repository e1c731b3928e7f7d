#!/usr/bin/env python3
"""Fails when code above the platform layer reads or writes errno.

Only libpal learns why a system call failed and turns it into a verr
(os_last_verr); the log core below it keeps the caller's errno intact and
may touch it. Tests may use POSIX directly. Comments and string literals
are ignored, so the protocol's "errno" attribute is no finding.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
ALLOWED = ("src/lib/libpal/",)
LOG_CORE = "src/lib/liblog/"
LOG_ABOVE = "src/lib/liblog/out/"
TESTS = ("_test.cpp", "_fuzz.cpp", "_test_util.h")

token = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def blank(m):
    # Keep the line count so findings name the right line.
    return re.sub(r"[^\n]", " ", m.group(0))


findings = []
for f in sorted((root / "src").rglob("*")):
    if f.suffix not in (".cpp", ".h"):
        continue
    rel = f.relative_to(root).as_posix()
    if rel.startswith(ALLOWED) or rel.endswith(TESTS):
        continue
    if rel.startswith(LOG_CORE) and not rel.startswith(LOG_ABOVE):
        continue
    code = token.sub(blank, f.read_text(errors="replace"))
    for n, line in enumerate(code.split("\n"), 1):
        if re.search(r"\berrno\b", line) or re.search(r"#\s*include\s*<(cerrno|errno\.h)>", line):
            findings.append(f"{rel}:{n}: {line.strip()}")

for x in findings:
    print(x)
if findings:
    print(f"{len(findings)} use(s) of errno above the platform layer: use os_last_verr()", file=sys.stderr)
    sys.exit(1)
print("no errno above the platform layer")
