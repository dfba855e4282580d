#!/usr/bin/env python3
"""Plants one-line faults at random lines of the library and checks that the tests catch them.

Run on demand, not in CI:  python3 tests/mutants.py --out /tmp/mutants.json
(--help lists the options; the same seed draws the same sites on the same tree.)
"""
import argparse, json, random, re, signal, subprocess, sys, time
from pathlib import Path

FLIP = {'==': '!=', '!=': '==', '<': '>=', '>=': '<', '>': '<=', '<=': '>', '&&': '||', '||': '&&',
        'true': 'false', 'false': 'true', '+': '-', '-': '+'}
# Each operator: a pattern over the masked line and the replacement of its first group.
OPERATORS = [
    (r'(?<=\s)(==|!=|<=|>=|<|>|&&|\|\|)(?=\s)', lambda m: FLIP[m[1]]),
    (r'\b(true|false)\b', lambda m: FLIP[m[1]]),
    (r'(?<=\s)([+-])(?= 1(?![\w.]))', lambda m: FLIP[m[1]]),
    (r'(?<![\w.])(\d+)(?=[uUlL]*(?![\w.]))', lambda m: str(int(m[1]) + 1)),
    (r'^\s*(return (?!(?:0|nullptr|false|\{\})\s*;).+;)\s*$', lambda m: 'return {};'),
]
CALL = re.compile(r'\s*((?:[A-Za-z_]\w*(?:::|\.|->))*([A-Za-z_]\w*)\(.*\);)\s*')
LEXEMES = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|//.*|/\*.*?(?:\*/|$)')
NOT_CALLS = {'return', 'if', 'while', 'for', 'switch', 'sizeof', 'delete', 'static_assert'}


def mask(line):
    """The line with the insides of literals (NULs) and comments (spaces) blanked out."""
    return LEXEMES.sub(lambda m: ' ' * len(m[0]) if m[0][0] == '/' else
                       m[0][0] + '\0' * (len(m[0]) - 2) + m[0][-1], line)


def mutations(body):
    """Every one-line fault that applies to a line of code (without its line ending)."""
    masked, found = mask(body), []
    for pattern, repl in OPERATORS:
        for m in re.finditer(pattern, masked):
            found.append(body[:m.start(1)] + repl(m) + body[m.end(1):])
    call = CALL.fullmatch(masked)
    if call and call[2] not in NOT_CALLS and call[1].count('(') == call[1].count(')'):
        found.append(body[:call.start(1)] + ';')
    return found


def file_sites(rel, text):
    """(file, line number, original, [mutants]) for every line of one source file."""
    sites, in_comment, in_assert = [], False, False
    for n, line in enumerate(text.splitlines(), 1):
        s = line.strip()
        in_assert = in_assert or s.startswith('static_assert')
        skip = in_comment or in_assert or not s or s.startswith(('//', '/*', '*', '#'))
        sites.append((rel, n, line, [] if skip else mutations(line)))
        in_comment = (in_comment or s.startswith('/*')) and '*/' not in s
        in_assert = in_assert and not s.endswith(';')
    return sites


def all_sites(tree, seed, dirs):
    """Every line of the library in a seeded random order; each with one fault drawn for it."""
    files = sorted(p for d in dirs for ext in ('*.cpp', '*.h') for p in (tree / d).rglob(ext)
                   if p.name != 'uni_tables_generated.cpp')
    sites = [s for p in files for s in file_sites(p.relative_to(tree).as_posix(), p.read_text('utf-8'))]
    rng = random.Random(seed)
    rng.shuffle(sites)
    return [(rel, n, line, rng.choice(found)) for rel, n, line, found in sites if found]


def run(cmd, tree, timeout=None):
    try:
        return subprocess.run(cmd, cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--build', default='build/mutants')
    ap.add_argument('--seed', type=int, default=20261206)
    ap.add_argument('--count', type=int, default=40)
    ap.add_argument('--timeout', type=int, default=600, help='seconds of testing per mutant; longer is a catch')
    ap.add_argument('--out', type=Path, help='JSON file for the results')
    args = ap.parse_args()
    tree = Path(__file__).resolve().parent.parent
    sites = all_sites(tree, args.seed, ['kavrel', 'i18n'])

    build = ['cmake', '--build', args.build, '-j2']
    test = ['ctest', '--test-dir', args.build, '-j2', '--timeout', '60', '--stop-on-failure', '--no-tests=error']
    if not (tree / args.build / 'CMakeCache.txt').exists():
        run(['cmake', '-S', '.', '-B', args.build, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
             '-DKAVREL_BENCH=OFF'], tree)
    print('building and testing the unmutated tree ...', flush=True)
    if not run(build, tree) or not run(test, tree, args.timeout):
        sys.exit(f'mutants: the unmutated tree in {tree} does not build or pass its tests; fix that first')

    # A stop by signal unwinds through the finally below, which restores the source.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit('mutants: stopped; sources restored'))
    results, stillborn = [], 0
    for rel, n, line, mutant in sites:
        if len(results) == args.count:
            break
        path = tree / rel
        data = path.read_bytes()
        lines = data.decode().splitlines(keepends=True)
        lines[n - 1] = mutant + lines[n - 1][len(lines[n - 1].rstrip('\r\n')):]
        path.write_bytes(''.join(lines).encode())
        try:
            built, start = run(build, tree), time.monotonic()
            result = built and ('survived' if run(test, tree, args.timeout) else 'caught')
        finally:
            path.write_bytes(data)
        if not built:
            stillborn += 1
            print(f'  stillborn {rel}:{n}', flush=True)
            continue
        results.append(dict(file=rel, line=n, original=line, mutated=mutant, result=result))
        print(f'[{len(results)}/{args.count}] {result:8} {rel}:{n} ({time.monotonic() - start:.0f} s)'
              f'  {mutant.strip()}', flush=True)
    summary = f"caught {sum(r['result'] == 'caught' for r in results)} of {len(results)} ({stillborn} stillborn skipped)"
    print(summary)
    if args.out:
        args.out.write_text(json.dumps(dict(mutants=results, summary=summary), indent=2) + '\n')


if __name__ == '__main__':
    main()
