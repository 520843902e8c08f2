#!/usr/bin/env python3
"""Checks that the POSIX build reads file versions as Windows does.

Usage: version_agree.py BUILD_POSIX BUILD_WIN

Generates driver fixtures with BUILD_POSIX/mksys, runs the POSIX versionprobe
and BUILD_WIN/versionprobe.exe under Wine on each, both with -V, and reports
every fixture on which their output or exit status differ.  Wine's
version.dll is the reference.  verdump (tests/wine/verdump.cpp) is built for
both sides too and compared the same way, because it shows the raw answers
(lengths, bytes) that versionprobe only parses; it also reads every PE
file Wine ships, made by compilers and not by us.

Environment: WINELOADER (default /usr/lib/wine/wine64), WINESERVER (default
/usr/lib/wine/wineserver), WINEPREFIX (default: a new one in a temporary
directory), CXX_WIN (default x86_64-w64-mingw32-g++), CXX (default g++).
Ends with 77 when WINEARCH is win32 on a machine that cannot run 32-bit
programs.
"""

import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'scenarios'))
import backends  # noqa: E402

TEXTS = ['2.1', '2.01', '2.10', '2.9', '4.00.1381.1', '  3.2', '3.2 (beta)', '.5', '7',
         '', '   ', '7.', '7.x', 'v1.2', '1 .2', '99999999999.1']

# Shapes other than a plain FileVersion; each is (name, mksys arguments).
SHAPES = [
    ('e4-block-only', ['--file-version', '2.1', '--block', '040904E4']),
    ('lower-case-block', ['--file-version', '2.1', '--block', '040904b0']),
    ('no-resource', ['--no-resource']),
    ('no-fixed', ['--file-version', '2.1', '--no-fixed']),
    ('no-fixed-uncounted', ['--file-version', '2.1', '--no-fixed', '--uncounted']),
    ('no-file-version', ['--no-file-version']),
    ('pe32', ['--file-version', '3.4', '--pe32']),
    ('pe32-uncounted', ['--file-version', '3.4', '--pe32', '--uncounted']),
    ('truncated-header', ['--file-version', '2.1', '--truncate', '100']),
    ('empty-file', ['--truncate', '0']),
    ('name-2-only', ['--file-version', '2.1', '--name-id', '2']),
    # The language Windows picks: each row is right in one place only.
    ('english-after-arabic', ['--file-version', '2.1', '--languages', '0001,0409']),
    ('neutral-before-english', ['--file-version', '2.1', '--languages', '0000,0409']),
    ('english-neutral-after-german', ['--file-version', '2.1', '--languages', '0007,0009']),
    ('first-without-english', ['--file-version', '2.1', '--languages', '0007,040C']),
]

# PE files Wine ships, which no fixture of ours shaped: a 64-bit prefix
# reads both architectures', a 32-bit one its own.
CORPUS = '/usr/lib/i386-linux-gnu/wine/i386-windows' if os.environ.get('WINEARCH') == 'win32' \
    else '/usr/lib/*/wine/*-windows'


def fixtures():
    cases = []
    for i, text in enumerate(TEXTS):
        cases.append(('text%02d-counted' % i, ['--file-version', text]))
        cases.append(('text%02d-uncounted' % i, ['--file-version', text, '--uncounted']))
    return cases + SHAPES


def run(argv, path_text):
    """Output of argv with the file's path replaced, and its exit status."""
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    out = done.stdout.decode('latin-1').replace('\r\n', '\n')
    return out.replace(path_text, 'FILE'), done.returncode


class Sides:
    def __init__(self, posix, win, work):
        self.wine = backends.WINE
        self.posix, self.win, self.work = posix, win, work

    def posix_run(self, program, path):
        if program == 'versionprobe':
            return run([os.path.join(self.posix, 'versionprobe'), '-V', path], path)
        return run([os.path.join(self.work, 'verdump'), path], path)

    def wine_run(self, program, path):
        dos = 'Z:' + path.replace('/', '\\')
        if program == 'versionprobe':
            argv = [os.path.join(self.win, 'versionprobe.exe'), '-V', dos]
        else:
            argv = [os.path.join(self.work, 'verdump.exe'), dos]
        return run([self.wine] + argv, dos)


def build_verdump(posix, work):
    """Builds verdump for both sides; False when either compiler fails."""
    src = os.path.join(HERE, 'verdump.cpp')
    win = [os.environ.get('CXX_WIN', 'x86_64-w64-mingw32-g++'), '-std=c++17', '-static',
           '-I', SOURCE, src, '-o', os.path.join(work, 'verdump.exe'), '-lversion']
    lib = os.path.join(posix, 'libdrvinst_platform.a')
    host = [os.environ.get('CXX', 'g++'), '-std=c++17', '-I', SOURCE, src, lib, '-lhivex',
            '-o', os.path.join(work, 'verdump')]
    return all(subprocess.run(c).returncode == 0 for c in (win, host))


def compare(sides, program, name, path):
    mine, theirs = sides.posix_run(program, path), sides.wine_run(program, path)
    if mine == theirs:
        return True, mine[0]
    print('DIFFER %s %s' % (program, name))
    print('  posix (status %d):\n    %s' % (mine[1], mine[0].strip().replace('\n', '\n    ')))
    print('  wine  (status %d):\n    %s' % (theirs[1], theirs[0].strip().replace('\n', '\n    ')))
    return False, mine[0]


def is_pe(path):
    with open(path, 'rb') as f:
        head = f.read(64)
        if len(head) < 64 or head[:2] != b'MZ':
            return False
        f.seek(int.from_bytes(head[60:64], 'little'))
        return f.read(4) == b'PE\0\0'


def corpus(sides):
    """verdump over every PE file in CORPUS, one process per directory on
    each side; 16-bit images are left out, since the tool reads PE only."""
    same = differ = 0
    for directory in sorted(glob.glob(CORPUS)):
        names = sorted(n for n in os.listdir(directory) if is_pe(os.path.join(directory, n)))
        answers = []
        for argv in ([os.path.join(sides.work, 'verdump')],
                     [sides.wine, os.path.join(sides.work, 'verdump.exe')]):
            out = subprocess.run(argv + ['--each'] + names, cwd=directory, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, timeout=1800).stdout
            answers.append(dict(re.findall(r'^== (.*?)\r?\n(.*?)(?=^== |\Z)',
                                           out.decode('latin-1').replace('\r\n', '\n'),
                                           re.M | re.S)))
        for name in names:
            mine, theirs = (a.get(name) for a in answers)
            if mine is not None and mine == theirs:
                same += 1
                continue
            differ += 1
            print('DIFFER verdump %s/%s\n  posix:\n    %s\n  wine:\n    %s' % (
                directory, name, str(mine).strip().replace('\n', '\n    '),
                str(theirs).strip().replace('\n', '\n    ')))
    return same, differ


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    posix, win = (os.path.abspath(a) for a in sys.argv[1:])
    os.environ['WINEDEBUG'] = '-all'
    # Wine then answers as Windows set to US English, whose choice of
    # language the offline reader makes.
    os.environ['LC_ALL'] = 'C'
    if os.environ.get('WINEARCH') == 'win32' and not backends.runs_32bit_programs():
        print('SKIPPED: this kernel cannot run 32-bit programs')
        return 77
    with tempfile.TemporaryDirectory(prefix='version-agree.') as work:
        os.environ.setdefault('WINEPREFIX', os.path.join(work, 'prefix'))
        # The prefix is made whole and its server left to end: a program
        # started while a server of the same prefix is ending can come back
        # with no output at all.  Then one server kept alive for the whole
        # run spares each start its own.
        subprocess.run([backends.WINE, 'wineboot', '-u'], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([backends.WINESERVER, '-w'])
        subprocess.run([backends.WINESERVER, '-p60'])
        try:
            return check(posix, win, work)
        finally:
            subprocess.run([backends.WINESERVER, '-k'])


def check(posix, win, work):
    passed = failed = 0
    sides = Sides(posix, win, work)
    programs = ['versionprobe'] + (['verdump'] if build_verdump(posix, work) else [])
    for name, args in fixtures():
        path = os.path.join(work, name + '.sys')
        subprocess.run([os.path.join(posix, 'mksys'), path] + args, check=True)
        for program in programs:
            same, out = compare(sides, program, name, path)
            passed, failed = passed + same, failed + (not same)
            if name == 'text00-counted' and program == 'versionprobe' and \
                    'FileVersion :  2.1\n' not in out:
                print('UNEXPECTED counted 2.1 line:\n' + out)
                failed += 1
    if 'verdump' in programs:
        same, differ = corpus(sides)
        passed, failed = passed + same, failed + differ
    print('%d passed, %d failed' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
