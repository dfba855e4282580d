#!/usr/bin/env python3
"""The size of the test suite against the code it tests: non-blank, non-comment
lines of .c/.cc/.cpp/.h/.py/.sh files in tests/ and fuzz/ against driver/,
kavrel/, i18n/ and tools/ (generated tables, golden files and fuzz corpora
left out). Exits 1 when the suite is above the limit (default 40 %)."""
import os, re, sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')


def lines(path):
    script, count, block = path.endswith(('.py', '.sh')), 0, False
    for line in open(path, errors='replace'):
        s = line.strip()
        if not s or (script and s.startswith('#')):
            continue
        if not script:
            if block:
                block = '*/' not in s
                continue
            if s.startswith('//'):
                continue
            if s.startswith('/*'):
                block = '*/' not in s
                continue
        count += 1
    return count


def total(folders):
    n = 0
    for folder in folders:
        for where, dirs, files in os.walk(os.path.join(ROOT, folder)):
            dirs[:] = [d for d in dirs if d not in ('corpus', 'golden', '__pycache__')]
            n += sum(lines(os.path.join(where, f)) for f in files
                     if re.search(r'\.(c|cc|cpp|h|py|sh)$', f) and 'generated' not in f)
    return n


tests, code = total(['tests', 'fuzz']), total(['driver', 'kavrel', 'i18n', 'tools'])
limit = float(sys.argv[1]) if len(sys.argv) > 1 else 40.0
print(f'test suite: {tests} lines against {code} lines of code: {100 * tests / code:.1f} % (limit {limit:g} %)')
sys.exit(0 if 100 * tests / code <= limit else 1)
