#!/usr/bin/env python3
"""Checks that the POSIX build reads file versions as Windows does.

Usage: version_agree.py BUILD_POSIX BUILD_WIN

Generates driver fixtures with BUILD_POSIX/mksys, runs the POSIX versionprobe
and BUILD_WIN/versionprobe.exe under Wine on each, both with -V, and reports
every fixture on which their output or exit status differ.  Wine's
version.dll is the reference.

Environment: WINELOADER (default /usr/lib/wine/wine64), WINESERVER (default
/usr/lib/wine/wineserver), WINEPREFIX (default: a new one in a temporary
directory).
"""

import os
import subprocess
import sys
import tempfile

WINE = os.environ.get('WINELOADER', '/usr/lib/wine/wine64')
WINESERVER = os.environ.get('WINESERVER', '/usr/lib/wine/wineserver')
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
]


def run(argv, path_text):
    """Output of argv with the file's path replaced, and its exit status."""
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    out = done.stdout.decode('latin-1').replace('\r\n', '\n')
    return out.replace(path_text, 'FILE'), done.returncode


def check(posix, win, work):
    failed = 0
    fixtures = [('text%02d-%s' % (i, kind), ['--file-version', text] + extra)
                for i, text in enumerate(TEXTS)
                for kind, extra in (('counted', []), ('uncounted', ['--uncounted']))]
    for name, args in fixtures + SHAPES:
        path = os.path.join(work, name + '.sys')
        subprocess.run([os.path.join(posix, 'mksys'), path] + args, check=True)
        dos = 'Z:' + path.replace('/', '\\')
        mine = run([os.path.join(posix, 'versionprobe'), '-V', path], path)
        theirs = run([WINE, os.path.join(win, 'versionprobe.exe'), '-V', dos], dos)
        if mine != theirs:
            failed += 1
            print('DIFFER %s\n  posix (status %d):\n    %s\n  wine  (status %d):\n    %s' % (
                name, mine[1], mine[0].strip().replace('\n', '\n    '), theirs[1],
                theirs[0].strip().replace('\n', '\n    ')))
        if name == 'text00-counted' and 'FileVersion :  2.1\n' not in mine[0]:
            print('UNEXPECTED counted 2.1 line:\n' + mine[0])
            failed += 1
    print('%d passed, %d failed' % (len(fixtures) + len(SHAPES) - failed, failed))
    return 0 if failed == 0 else 1


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    posix, win = (os.path.abspath(a) for a in sys.argv[1:])
    with tempfile.TemporaryDirectory(prefix='version-agree.') as work:
        os.environ.setdefault('WINEPREFIX', os.path.join(work, 'prefix'))
        os.environ['WINEDEBUG'] = '-all'
        # The prefix is made whole and its server left to end: a program
        # started while a server of the same prefix is ending can come back
        # with no output at all.  Then one server kept alive for the whole
        # run spares each start its own.
        subprocess.run([WINE, 'wineboot', '-u'], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, '-w'])
        subprocess.run([WINESERVER, '-p60'])
        try:
            return check(posix, win, work)
        finally:
            subprocess.run([WINESERVER, '-k'])


if __name__ == '__main__':
    sys.exit(main())
