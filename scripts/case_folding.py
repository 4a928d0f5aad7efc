#!/usr/bin/env python3
"""Writes src/case_folding_table.h from the Unicode Character Database's
CaseFolding.txt (Debian: unicode-data, /usr/share/unicode/CaseFolding.txt):
the simple case folding (statuses C and S) as runs of code points that map
by one offset, every code point of the run or every second one.

    python3 scripts/case_folding.py /usr/share/unicode/CaseFolding.txt > src/case_folding_table.h
"""
import re
import sys

path = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode/CaseFolding.txt"
text = open(path, encoding="utf-8").read()
version = re.search(r"CaseFolding-([0-9.]+)\.txt", text)
fold = {}
for line in text.splitlines():
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    code, status, mapping = [f.strip() for f in line.split(";")[:3]]
    if status in ("C", "S"):
        fold[int(code, 16)] = int(mapping, 16)

# Greedy runs: (first, last, offset, stride), stride 1 or 2.
runs = []
codes = sorted(fold)
i = 0
while i < len(codes):
    first = codes[i]
    offset = fold[first] - first
    best = (first, first, offset, 1, i + 1)
    for stride in (1, 2):
        j, last = i + 1, first
        while j < len(codes) and codes[j] == last + stride and fold[codes[j]] - codes[j] == offset:
            last = codes[j]
            j += 1
        if j > best[4]:
            best = (first, last, offset, stride, j)
    runs.append(best[:4])
    i = best[4]

print("// Unicode simple case folding (CaseFolding.txt %s, statuses C and S), as"
      % (version.group(1) if version else "?"))
print("// runs {first, last, offset, stride}: every stride-th code point from first")
print("// to last folds to itself plus offset. Written by scripts/case_folding.py.")
print("// For name_policy.cpp only.")
print("static const CaseRun case_runs[] = {")
line = "   "
for first, last, offset, stride in runs:
    item = " {0x%X, 0x%X, %d, %d}," % (first, last, offset, stride)
    if len(line) + len(item) > 100:
        print(line)
        line = "   "
    line += item
print(line)
print("};")
