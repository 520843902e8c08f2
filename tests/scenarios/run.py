#!/usr/bin/env python3
"""Runs the end-to-end scenarios against one build and reports every
difference in output, exit status, files and registry."""

import argparse
import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import backends  # noqa: E402
import cases  # noqa: E402

# Lines the command interpreter prints on its own account.
INTERPRETER = re.compile(r'^(\s*\d+ file\(s\) (copied|moved)\.|Could Not Find |'
                         r'The system cannot find |File not found|cmd\.exe: )')


@functools.lru_cache(maxsize=None)
def driver_bytes(tooldir, where, driver):
    """The driver file (version text, payload[, flags]), made once per run."""
    out = os.path.join(where, 'fixture%d.sys' % driver_bytes.cache_info().currsize)
    subprocess.run([os.path.join(tooldir, 'mksys'), out] + cases.mksys_args(driver), check=True)
    with open(out, 'rb') as f:
        return f.read()


def fill(text, values):
    return re.sub(r'\{(\w+)\}', lambda m: values.get(m.group(1), m.group(0)), text)


def run_one(backend, blob, sc, top):
    backend.layout(top, sc)
    for files, directory in ((sc.get('source', {}), backend.work),
                             (sc.get('installed', {}), backend.drivers)):
        for name, driver in files.items():
            target = os.path.join(directory, name)
            os.makedirs(os.path.join(target, 'inside') if driver == 'DIR'
                        else os.path.dirname(target), exist_ok=True)
            if driver == 'FIFO':
                os.mkfifo(target)
            elif driver == 'PLANTED':  # a program that, run, says all went well
                with open(target, 'w') as f:
                    f.write('#!/bin/sh\nexit 0\n')
                os.chmod(target, 0o755)
            elif driver != 'DIR':
                with open(target, 'wb') as f:
                    f.write(blob(tuple(driver)))
    if sc.get('no_drivers_directory'):
        backend.hide_drivers_directory()
    # A 32-bit program on 64-bit Windows, whose system32 is SysWOW64: with or
    # without a drivers folder there, that folder too must stay as it was.
    folder = os.path.join(os.path.dirname(os.path.dirname(backend.drivers)), 'syswow64', 'drivers')
    if 'syswow64' in sc:
        shutil.rmtree(folder, ignore_errors=True)
        if sc['syswow64']:
            os.makedirs(folder)
    try:
        problems = check_run(backend, blob, sc)
        if sc.get('no_drivers_directory') and os.path.lexists(backend.drivers):
            problems.append('something was made where the drivers directory should be')
        left = os.listdir(folder) if os.path.lexists(folder) else None
        if 'syswow64' in sc and left != ([] if sc['syswow64'] else None):
            problems.append('SysWOW64\\drivers changed: %r' % left)
        return problems
    finally:
        if sc.get('no_drivers_directory'):
            backend.restore_drivers_directory()
        if 'syswow64' in sc:
            shutil.rmtree(folder, ignore_errors=True)


def check_run(backend, blob, sc):
    values = backend.placeholders()
    config_before = backend.config_bytes() if 'dirty' in sc or 'damage' in sc else None
    output, status, problems = backend.run(fill(sc.get('argv0', 'drvinst'), values),
                                           [fill(a, values) for a in sc['args']],
                                           {k: v and fill(v, values)
                                            for k, v in sc.get('env', {}).items()})
    if problems:
        return problems
    if config_before is not None and 'registry' not in sc and \
            backend.config_bytes() != config_before:
        problems.append('a run that changes nothing, or is refused, wrote to the hive or a log')
    if 'dirty' in sc and 'registry' in sc and not backend.hive_is_clean():
        problems.append('the hive written is not clean and sound on its own')
    want = [fill(line, values) for line in sc['out']]
    got = [line for line in output.split('\n')[:-1] if not INTERPRETER.search(line)]
    if got != want:
        problems.append('output differs:\n  got:  %r\n  want: %r\n  raw:  %r' % (got, want, output))
    if status != sc['status']:
        problems.append('status %d, expected %d' % (status, sc['status']))
    if 'files' in sc:
        present = sorted(n for n in os.listdir(backend.drivers) if n.lower().startswith('korvex'))
        if present != sorted(sc['files']):
            problems.append('driver files %s, expected %s' % (present, sorted(sc['files'])))
        for name, driver in sc['files'].items() if present == sorted(sc['files']) else ():
            path = os.path.join(backend.drivers, name)
            if driver == 'DIR' and not os.path.isdir(os.path.join(path, 'inside')):
                problems.append('directory %s was not left alone' % name)
            elif driver != 'DIR' and open(path, 'rb').read() != blob(tuple(driver)):
                problems.append('%s does not hold the expected driver %s' % (name, driver))
    if 'registry' in sc and backend.export_registry() != sc['registry']:
        problems.append('registry differs:\n  got:  %r\n  want: %r' % (backend.export_registry(),
                                                                       sc['registry']))
    return problems


def main():
    parser = argparse.ArgumentParser()
    # wow64: a 32-bit build in a 64-bit prefix, as on 64-bit Windows.
    parser.add_argument('--build', choices=['posix', 'wine', 'wow64'], required=True)
    parser.add_argument('--bin', required=True, help='build directory of the tool')
    parser.add_argument('--tools', help='POSIX build directory holding mksys and mktree')
    parser.add_argument('--only', action='append',
                        help='run only scenarios whose name contains this (repeatable)')
    parser.add_argument('--repeat', type=int, default=1, help='run the selection this often')
    opts = parser.parse_args()
    opts.bin = os.path.abspath(opts.bin)
    tooldir = os.path.abspath(opts.tools or opts.bin)
    if (opts.build == 'wow64' or os.environ.get('WINEARCH') == 'win32') and \
            not backends.runs_32bit_programs():
        print('SKIPPED: this kernel cannot run 32-bit programs')
        return 77
    selected = [sc for sc in cases.SCENARIOS
                if opts.build in sc.get('builds', ('posix', 'wine'))
                and (not opts.only or any(o in sc['name'] for o in opts.only))] * opts.repeat
    with tempfile.TemporaryDirectory(prefix='drvinst-scenarios-') as tmp:
        backend = backends.Posix(opts.bin, tooldir) if opts.build == 'posix' else \
            backends.Wine(opts.bin, os.path.join(tmp, 'prefix'))
        failed = 0
        try:
            for i, sc in enumerate(selected):
                problems = run_one(backend, lambda d: driver_bytes(tooldir, tmp, d), sc,
                                   os.path.join(tmp, 'sc%d' % i))
                print('%s %s' % ('FAIL' if problems else 'ok  ', sc['name']), flush=True)
                for p in problems:
                    print('    ' + p)
                failed += bool(problems)
        finally:
            if opts.build != 'posix':
                backend.close()
        print('%d of %d scenarios failed on %s' % (failed, len(selected), opts.build))
        return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
