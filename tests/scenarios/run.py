#!/usr/bin/env python3
"""Runs the end-to-end scenarios against one build and reports every
difference in output, exit status, files and registry."""

import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import backends  # noqa: E402
import cases  # noqa: E402

# Lines the command interpreter prints on its own account; they are not
# the tool's messages and are left out of the comparison.
INTERPRETER_LINES = [re.compile(p) for p in (
    r'^\s*\d+ file\(s\) (copied|moved)\.$',
    r'^Could Not Find ',
    r'^The system cannot find ',
    r'^File not found',
    r'^cmd\.exe: ',
)]


def tool_lines(output):
    return [line for line in output.split('\n')[:-1]
            if not any(p.search(line) for p in INTERPRETER_LINES)]


class Fixtures:
    """Driver files by (version text, payload), generated once per run."""

    def __init__(self, tooldir, where):
        self.tooldir = tooldir
        self.where = where
        self.made = {}

    def path(self, driver):
        driver = tuple(driver) if isinstance(driver, (list, tuple)) else (driver, '')
        if driver not in self.made:
            out = os.path.join(self.where, 'fixture%d.sys' % len(self.made))
            subprocess.run([os.path.join(self.tooldir, 'mksys'), out] + cases.mksys_args(driver),
                           check=True)
            self.made[driver] = out
        return self.made[driver]

    def read(self, driver):
        with open(self.path(driver), 'rb') as f:
            return f.read()


def place_files(fixtures, files, directory):
    for name, driver in files.items():
        target = os.path.join(directory, name)
        if driver == 'DIR':
            os.makedirs(os.path.join(target, 'inside'))
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, 'wb') as f:
            f.write(fixtures.read(driver))


def check_files(fixtures, backend, expected, problems):
    present = sorted(n for n in os.listdir(backend.drivers) if n.lower().startswith('korvex'))
    if present != sorted(expected):
        problems.append('driver files %s, expected %s' % (present, sorted(expected)))
        return
    for name, driver in expected.items():
        if driver == 'DIR':
            if not os.path.isdir(os.path.join(backend.drivers, name, 'inside')):
                problems.append('directory %s was not left alone' % name)
            continue
        with open(os.path.join(backend.drivers, name), 'rb') as f:
            if f.read() != fixtures.read(driver):
                problems.append('%s does not hold the expected driver %s' % (name, driver))


def fill(text, values):
    for key, value in values.items():
        text = text.replace('{' + key + '}', value)
    return text


def run_one(backend, fixtures, sc, top):
    backend.layout(top, sc)
    place_files(fixtures, sc.get('source', {}), backend.work)
    place_files(fixtures, sc.get('installed', {}), backend.drivers)
    if not sc.get('no_drivers_directory'):
        return check_run(backend, fixtures, sc)
    backend.hide_drivers_directory()
    try:
        problems = check_run(backend, fixtures, sc)
        if os.path.lexists(backend.drivers):
            problems.append('something was made where the drivers directory should be')
        return problems
    finally:
        backend.restore_drivers_directory()


def check_run(backend, fixtures, sc):
    values = backend.placeholders()
    argv0 = fill(sc.get('argv0', 'drvinst'), values)
    args = [fill(a, values) for a in sc['args']]
    hive_before = backend.hive_bytes() if 'damage' in sc else None
    output, status, problems = backend.run(argv0, args, sc.get('env', {}))
    if problems:
        return problems
    if 'damage' in sc and backend.hive_bytes() != hive_before:
        problems.append('the damaged hive was written to')
    want = [fill(line, values) for line in sc['out']]
    got = tool_lines(output)
    if got != want:
        problems.append('output differs:\n  got:  %r\n  want: %r\n  raw:  %r' % (got, want, output))
    if status != sc['status']:
        problems.append('status %d, expected %d' % (status, sc['status']))
    if 'files' in sc:
        check_files(fixtures, backend, sc['files'], problems)
    if 'registry' in sc:
        got_keys = backend.export_registry()
        if got_keys != sc['registry']:
            problems.append('registry differs:\n  got:  %r\n  want: %r' % (got_keys, sc['registry']))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', choices=['posix', 'wine'], required=True)
    parser.add_argument('--bin', required=True, help='build directory of the tool')
    parser.add_argument('--tools', help='POSIX build directory holding mksys and mktree')
    parser.add_argument('--only', action='append',
                        help='run only scenarios whose name contains this (repeatable)')
    parser.add_argument('--repeat', type=int, default=1, help='run the selection this often')
    opts = parser.parse_args()
    opts.bin = os.path.abspath(opts.bin)
    tooldir = os.path.abspath(opts.tools or opts.bin)
    with tempfile.TemporaryDirectory(prefix='drvinst-scenarios-') as tmp:
        if opts.build == 'posix':
            backend = backends.Posix(opts.bin, tooldir)
        else:
            backend = backends.Wine(opts.bin, os.path.join(tmp, 'prefix'))
        fixtures = Fixtures(tooldir, tmp)
        failed = 0
        selected = [sc for sc in cases.SCENARIOS
                    if opts.build in sc.get('builds', ('posix', 'wine'))
                    and (not opts.only or any(o in sc['name'] for o in opts.only))] * opts.repeat
        try:
            for i, sc in enumerate(selected):
                problems = run_one(backend, fixtures, sc, os.path.join(tmp, 'sc%d' % i))
                print('%s %s' % ('ok  ' if not problems else 'FAIL', sc['name']))
                for p in problems:
                    print('    ' + p)
                failed += bool(problems)
        finally:
            if opts.build == 'wine':
                backend.close()
        print('%d of %d scenarios failed on %s' % (failed, len(selected), opts.build))
        return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
