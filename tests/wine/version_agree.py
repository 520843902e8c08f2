#!/usr/bin/env python3
"""Usage: version_agree.py BUILD_POSIX

Checks that the POSIX build reads file versions as Windows does: verdump's
raw answers, POSIX against Wine's version.dll (the reference), on mksys
fixtures and on every PE file Wine ships.  An install reads a version by
exactly these calls; the parse after them is the same code on both builds.
Environment: WINELOADER, WINESERVER, WINEPREFIX (default: a new one),
CXX_WIN, CXX.  Ends with 77 when WINEARCH is win32 on a kernel that cannot
run 32-bit programs."""

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

# Each fixture is (name, mksys arguments).
SHAPES = [
    ('counted', ['--file-version', '2.1']),
    ('uncounted', ['--file-version', '2.1', '--uncounted']),
    ('empty-counted', ['--file-version', '']),
    ('empty-uncounted', ['--file-version', '', '--uncounted']),
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


def is_pe(path):
    with open(path, 'rb') as f:
        head = f.read(64)
        if len(head) < 64 or head[:2] != b'MZ':
            return False
        f.seek(int.from_bytes(head[60:64], 'little'))
        return f.read(4) == b'PE\0\0'


def verdump(work, directory, names, env):
    """verdump's answers for names in directory, one process per side;
    16-bit images are left out, since the tool reads PE only."""
    answers = []
    for argv in [os.path.join(work, 'verdump')], [backends.WINE, os.path.join(work, 'verdump.exe')]:
        out = subprocess.run(argv + names, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=1800, cwd=directory, env=env).stdout.decode('latin-1')
        out = out.replace('\r\n', '\n')
        answers.append(dict(re.findall(r'^== (.*?)\n(.*?)(?=^== |\Z)', out, re.M | re.S)))
    differ = [n for n in names if answers[0].get(n) is None or answers[0][n] != answers[1].get(n)]
    for n in differ:
        print('DIFFER %s/%s\n  posix:\n%s  wine:\n%s' % (directory, n, answers[0].get(n),
                                                         answers[1].get(n)))
    return len(differ)


def check(posix, work, env):
    src = os.path.join(HERE, 'verdump.cpp')
    for build in ([os.environ.get('CXX_WIN', 'x86_64-w64-mingw32-g++'), '-std=c++17', '-static',
                   '-I', SOURCE, src, '-o', os.path.join(work, 'verdump.exe'), '-lversion'],
                  [os.environ.get('CXX', 'g++'), '-std=c++17', '-I', SOURCE, src,
                   os.path.join(posix, 'libdrvinst_platform.a'), '-lhivex', '-o',
                   os.path.join(work, 'verdump')]):
        subprocess.run(build, check=True)
    fixtures = os.path.join(work, 'fixtures')
    os.mkdir(fixtures)
    os.mkdir(os.path.join(fixtures, 'directory.sys'))  # refused as access denied, not "no version"
    for name, args in SHAPES:
        subprocess.run([os.path.join(posix, 'mksys'), os.path.join(fixtures, name + '.sys')] + args,
                       check=True)
    failed = total = 0
    for directory in [fixtures] + sorted(glob.glob(CORPUS)):
        names = sorted(n for n in os.listdir(directory)
                       if directory == fixtures or is_pe(os.path.join(directory, n)))
        failed, total = failed + verdump(work, directory, names, env), total + len(names)
    print('%d files, %d differences' % (total, failed))
    return 0 if failed == 0 else 1


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    posix = os.path.abspath(sys.argv[1])
    # Wine then answers as Windows set to US English, whose choice of
    # language the offline reader makes.
    os.environ['LC_ALL'] = 'C'
    if os.environ.get('WINEARCH') == 'win32' and not backends.runs_32bit_programs():
        print('SKIPPED: this kernel cannot run 32-bit programs')
        return 77
    with tempfile.TemporaryDirectory(prefix='version-agree.') as work:
        # A prefix made whole before the first start, and one server for the run.
        wine = backends.Wine(posix, os.environ.get('WINEPREFIX') or os.path.join(work, 'prefix'))
        try:
            return check(posix, work, wine.env)
        finally:
            wine.close()


if __name__ == '__main__':
    sys.exit(main())
