#!/usr/bin/env python3
"""Seeds each fault of faults.txt into a copy of one commit, builds it and
runs the tests; prints "caught" or "MISSED" per fault.

Usage: bench/mutants/run.py [--ref REF] [--only ID,ID] [--work DIR]

The copy (git archive of REF, default HEAD) is built once in WORK (default
build/mutants/<commit>) and must pass the tests unchanged; each fault is
then put in, built incrementally, tested, and taken out again.  The fault
list is always this checkout's, so that one list measures two commits."""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))


def parse(path):
    faults, current = [], None
    with open(path) as f:
        for line in f.read().split('\n'):
            if not line.strip():
                current = None
            elif current is None and not line.startswith('#'):
                ident, suites, name = line.split()
                current = dict(id=ident, suites=suites, file=name, what='', old=[], new=[])
                faults.append(current)
            elif current is not None and line.startswith('# '):
                current['what'] = line[2:]
            elif current is not None and line[:2] in ('- ', '+ ', '-', '+'):
                current['old' if line[0] == '-' else 'new'].append(line[2:])
    for fault in faults:
        fault['old'] = '\n'.join(fault['old'])
        fault['new'] = '\n'.join(fault['new'])
    return faults


def sh(command, cwd, timeout=900):
    try:
        done = subprocess.run(command, cwd=cwd, shell=True, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
        return done.returncode, done.stdout.decode('latin-1')
    except subprocess.TimeoutExpired:
        return 124, 'timed out'


def suite(src, build, suites):
    """0 when every test passes; otherwise the first failing step's status."""
    steps = ['ctest -L "unit|posix" --timeout 300 --stop-on-failure']
    if suites == 'rel':
        steps.append('RELIABILITY_BUILD=%s sh %s/scripts/reliability.sh --quick' % (build, src))
    for step in steps:
        status, output = sh(step, build)
        if status != 0:
            return status, output
    return 0, ''


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--ref', default='HEAD')
    parser.add_argument('--only', help='comma-separated fault ids')
    parser.add_argument('--work')
    parser.add_argument('--skip-clean-run', action='store_true',
                        help='do not run the tests on the unchanged copy first')
    opts = parser.parse_args()
    commit = subprocess.check_output(['git', '-C', TOP, 'rev-parse', '--short', opts.ref],
                                     text=True).strip()
    work = opts.work or os.path.join(TOP, 'build', 'mutants', commit)
    src, build = os.path.join(work, 'src'), os.path.join(work, 'build')
    os.makedirs(build, exist_ok=True)
    sh('rm -rf src && mkdir src && git -C %s archive %s | tar -x -C src' % (TOP, commit), work)
    status, output = sh('cmake -S %s -B %s && cmake --build %s -j2' % (src, build, build), work)
    if status != 0:
        sys.exit('the unchanged copy does not build:\n' + output[-3000:])
    faults = parse(os.path.join(HERE, 'faults.txt'))
    if opts.only:
        faults = [f for f in faults if f['id'] in opts.only.split(',')]
    if opts.skip_clean_run:
        status = 0
    elif any(f['suites'] == 'rel' for f in faults) or not opts.only:
        status, output = suite(src, build, 'rel')
    else:
        status, output = suite(src, build, 'fast')
    if status != 0:
        sys.exit('the unchanged copy fails its tests:\n' + output[-3000:])
    missed = 0
    print('commit %s' % commit)
    for fault in faults:
        path = os.path.join(src, fault['file'])
        if not os.path.exists(path):
            print('%s  not applied (no %s)' % (fault['id'], fault['file']))
            continue
        with open(path) as f:
            pristine = f.read()
        if pristine.count(fault['old']) != 1:
            print('%s  not applied (text found %d times)' % (fault['id'],
                                                            pristine.count(fault['old'])))
            continue
        started = time.time()
        with open(path, 'w') as f:
            f.write(pristine.replace(fault['old'], fault['new']))
        try:
            status, output = sh('cmake --build %s -j2' % build, work)
            if status != 0:
                verdict = 'DOES NOT BUILD'
            else:
                status, output = suite(src, build, fault['suites'])
                verdict = 'caught' if status != 0 else 'MISSED'
        finally:
            with open(path, 'w') as f:
                f.write(pristine)
        missed += verdict == 'MISSED'
        print('%s  %-24s %4.0f s  %s' % (fault['id'], verdict, time.time() - started,
                                         fault['what']), flush=True)
    sh('cmake --build %s -j2' % build, work)
    print('%d of %d faults missed' % (missed, len(faults)))
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main())
