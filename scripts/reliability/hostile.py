#!/usr/bin/env python3
"""Hostile trees, one table: links of each kind in place of each entry, case twins, devices,
FIFOs, an oversized hive, held locks.  A sentinel OUT/ stays byte-identical, refusals end
non-zero and change nothing, inside links work.  --seeds: random trees."""

import argparse
import collections
import fcntl
import os
import pathlib
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check import Lab  # noqa: E402
import cases  # noqa: E402  (tests/scenarios, which check puts on the path)

TIME_LIMIT, K = 10, ['-D', 'korvex1']
OPS = {'install': (K, None, None), 'unchanged': (K, 'new', None),  # (args, installed, backup)
       'upgrade': (K, 'old', 'korvex1.sys.2.0'), 'force': (['-F'] + K, 'new', 'korvex1.sys.2.1'),
       'uninstall': (['-U'] + K, 'new', None)}
D, CONFIG, HIVE = 'system32/drivers', 'system32/config', 'system32/config/SYSTEM'
DRIVER, BACKUP, TWIN = D + '/korvex1.sys', D + '/korvex1.sys.2.0', D + '/KORVEX1.SYS'
# entry: (path below WINNT, or None for the backup; where in OUT/ its links aim)
ENTRIES = {'system32': ('system32', 'system32'), 'drivers': (D, D), 'config': (CONFIG, CONFIG),
           'SYSTEM': (HIVE, HIVE), 'driver': (DRIVER, 'odir/korvex1.sys'), 'backup': (None, 'odir')}
KINDS = ('absolute', 'relative', 'dangling', 'loop')
# For random trees: names the tool looks for and case twins, what links aim at
NAMES = ['system32', 'System32', 'drivers', 'DRIVERS', 'config', 'SYSTEM', 'korvex1.sys',
         'KORVEX1.SYS', 'korvex1.sys.2.0', 'korvex1.sys.2.1', 'x']
AIMS = dict({kind: ['system32', D, 'odir', 'odir/korvex1.sys'] for kind in KINDS},
            to=['.', '..', 'korvex1.sys', 'drivers', '../system32'], file=[''], fifo=[''],
            device=[''], directory=[''])
# driver: what the drivers directory holds after the run (False: not looked at)
Row = collections.namedtuple('Row', 'name op setup refused driver', defaults=(False,))
# Links that stay inside the tree, each after moving the real entry aside.
INSIDE = [[('System32', 'to', 'system32')],
          [(D, 'move', '../DrvReal'), ('system32/Drivers', 'to', '../DrvReal')],
          [(CONFIG, 'move', '../cfgreal'), (CONFIG, 'to', '../cfgreal')],
          [(HIVE, 'move', 'SYSTEM.real'), (HIVE, 'to', 'SYSTEM.real')],
          [('system32/DRIVERS', 'to', 'drivers')]]
ROWS = [Row('%s %s link, %s' % (kind, entry, op), op,
             [(rel or D + '/' + (backup or 'korvex1.sys.2.1'), kind, aim)],
             entry != 'backup' or backup is not None)
         for entry, (rel, aim) in ENTRIES.items() for kind in KINDS
         for op, (_, _, backup) in OPS.items()] + [
    Row('inside link %s -> %s, %s' % (os.path.basename(setup[-1][0]), setup[-1][2], op), op,
        setup, False, None if op == 'uninstall' else 'new') for setup in INSIDE for op in OPS] + [
    Row('case twin KORVEX1.SYS.2.0 -> OUT/odir beside the backup', 'upgrade',
        [(BACKUP, 'file'), (D + '/KORVEX1.SYS.2.0', 'relative', 'odir')], True),
    Row('case twin of the installed driver, upgrade', 'upgrade', [(TWIN, 'file')], True),
    Row('case twin of the installed driver, uninstall', 'uninstall', [(TWIN, 'file')], True),
    Row('case twin directory DRIVERS, install', 'install', [('system32/DRIVERS', 'directory')], True),
    Row('a run that finds the tree held waits once', 'install', [(CONFIG, 'hold')], False, 'new'),
    Row('driver a FIFO with a writer', 'install', [(DRIVER, 'writer')], False),
    Row('backup a FIFO with a writer', 'upgrade', [(BACKUP, 'writer')], False),
    Row('hive a FIFO with a writer', 'install', [(HIVE, 'writer')], True),
    Row('driver a device, install', 'install', [(DRIVER, 'device')], False, 'new'),
    Row('driver a device, uninstall', 'uninstall', [(DRIVER, 'device')], False, None),
    Row('hive a device', 'install', [(HIVE, 'device')], True),
    Row('driver a link to /dev/zero', 'upgrade', [(DRIVER, 'to', '/dev/zero')], True),
    Row('hive sparse to 2 GB', 'install', [(HIVE, 'grow', 2 << 30)], True),
    Row('hive 64 MB past its bins', 'install', [(HIVE, 'grow', 0)], True),
]


def snapshot(top):
    """Below top: kind, bytes or link target, mode; a big (sparse) file by size and blocks."""
    seen = {}
    for base, dirs, files in os.walk(top):
        for path in (os.path.join(base, name) for name in dirs + files):
            st = os.lstat(path)
            what = (os.readlink(path) if stat.S_ISLNK(st.st_mode) else
                    None if not stat.S_ISREG(st.st_mode) else
                    (st.st_size, st.st_blocks, st.st_mtime_ns) if st.st_size > (16 << 20) else
                    pathlib.Path(path).read_bytes())
            seen[os.path.relpath(path, top)] = (what, st.st_mode)
    return seen


class Tree:
    def __init__(self, tools, template, top):
        shutil.copytree(template, top, symlinks=True)
        self.tools, self.top, self.writer, self.held = tools, top, None, None
        self.win, self.out = os.path.join(top, 'tree', 'WINNT'), os.path.join(top, 'OUT')

    def place(self, rel, kind, aim=''):
        """Moves WINNT/rel to aim, makes it aim bytes long (64 MB more for 0), holds its lock, or
        puts there a link of KINDS to OUT/aim, a link to aim ('to'), a file, FIFO, device or dir."""
        path = os.path.join(self.win, rel)
        if kind == 'move':
            return os.rename(path, os.path.normpath(os.path.join(os.path.dirname(path), aim)))
        if kind in ('grow', 'hold'):
            self.held = kind == 'hold' and os.open(path, os.O_RDONLY)
            return fcntl.flock(self.held, fcntl.LOCK_EX) if self.held else os.truncate(
                path, aim or os.path.getsize(path) + (64 << 20))
        if os.path.lexists(path):
            (shutil.rmtree if stat.S_ISDIR(os.lstat(path).st_mode) else os.remove)(path)
        outside = os.path.join(self.out, aim if kind != 'dangling' else 'gone')
        if kind in KINDS:
            os.symlink({'absolute': outside, 'loop': os.path.basename(path)}.get(
                kind, os.path.relpath(outside, os.path.dirname(path))), path)
        elif kind == 'device' and os.geteuid() == 0:
            os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        else:  # a FIFO also for a device where mknod is not allowed
            {'to': lambda: os.symlink(aim, path), 'directory': lambda: os.mkdir(path),
             'file': lambda: pathlib.Path(path).write_bytes(b'stale')}.get(
                 kind, lambda: os.mkfifo(path))()
        if kind == 'writer':  # blocked in open until a reader opens the FIFO
            self.writer = subprocess.Popen(['sh', '-c', 'exec 3>"$0"', path])

    def judge(self, op, refused, driver=False):
        """Runs op with part of OUT/ locked; refused None: any status, but a refusal not 0."""
        parts = ('OUT', 'work', 'tree') if refused else ('OUT', 'work')
        before = {part: snapshot(os.path.join(self.top, part)) for part in parts}
        locks = [os.open(os.path.join(self.out, d), os.O_RDONLY) for d in (CONFIG, 'odir')]
        for fd in locks:
            fcntl.flock(fd, fcntl.LOCK_EX)
        proc = subprocess.Popen([self.tools.tool('drvinst')] + OPS[op][0],
                                cwd=os.path.join(self.top, 'work'), env=self.tools.env(self.top),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        if self.held:  # the tree is held by another run until a second later
            waited = time.sleep(1.0) or proc.poll() is None
            os.close(self.held)
        try:
            output = proc.communicate(timeout=TIME_LIMIT)[0]
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output = proc.communicate()[0] + b'\n(killed: no end within %d s)' % TIME_LIMIT
        for fd in locks:
            os.close(fd)
        status, output = proc.returncode, output.decode('latin-1')
        said = 'offline tree:' in output or 'offline registry:' in output
        refused = True if refused is None and 'offline tree:' in output else refused
        problems = ['status %d: %r' % (status, output[-200:])] if (
            status < 0 or status > 128 or refused and (status == 0 or not said)
            or refused is False and status) else []
        problems += ['%s changed' % part for part, shot in before.items()
                     if snapshot(os.path.join(self.top, part)) != shot]
        if self.held and (not waited or output.count('waiting for another drvinst run on '
                                                     + self.win) != 1):
            problems.append('did not wait, or said so other than once: %r' % output)
        if self.writer:  # still blocked in open, unless the FIFO was opened
            time.sleep(0.2)
            problems += ['the FIFO was opened'] if self.writer.poll() is not None else []
            self.writer.kill()
        found = [p.read_bytes() for d in (D, 'system32/Drivers')
                 for p in [pathlib.Path(self.win, d, 'korvex1.sys')] if p.is_file()][:1]
        if driver is not False and found != ([self.tools.blobs[driver]] if driver else []):
            problems.append('the driver is not as expected')
        return problems


def random_row(seed):
    """One to four of NAMES made links out, in or round, files, FIFOs, devices, directories."""
    rng = random.Random(seed)
    op = rng.choice(sorted(OPS))
    return Row('seed %d (%s)' % (seed, op), op, [
        (os.path.join(rng.choice(['', 'system32', D, CONFIG]), rng.choice(NAMES)), kind,
         rng.choice(AIMS[kind]))
        for _ in range(rng.randint(1, 4)) for kind in [rng.choice(list(AIMS))]], None)


def run_all(tools, templates, scratch, seeds):
    bad = collections.Counter()
    for i, row in enumerate(ROWS + [random_row(seed) for seed in range(seeds)]):
        t = Tree(tools, templates[row.op], os.path.join(scratch, 'row%d' % i))
        for rel, *how in row.setup:  # a random entry only where its directory is real
            parent = os.path.dirname(os.path.join(t.win, rel))
            if row.refused is not None or os.path.isdir(parent) and not os.path.islink(parent):
                t.place(rel, *how)
        problems = t.judge(row.op, row.refused, row.driver)
        print(''.join('FAIL  %s: %s\n' % (row.name, p) for p in problems), end='')
        bad[row.refused is None] += bool(problems)
    print('hostile: %d rows, %d failed' % (len(ROWS), bad[False]))
    print('hostile: %d random trees, %d failed' % (seeds, bad[True]))
    return sum(bad.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--seeds', type=int, default=50, help='random trees (default 50)')
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='drvinst-hostile-')
    tools = Lab(opts.bin, scratch)
    templates = {}
    for op, (args, installed, _) in OPS.items():  # each tree with a sentinel OUT/ beside it
        top = templates[op] = os.path.join(scratch, 'template-' + op)
        tools.template(top, {'korvex1.sys': installed} if installed else {},
                       cases.installed_keys('korvex1') if installed else {})
        shutil.copytree(os.path.join(top, 'tree/WINNT/system32'), os.path.join(top, 'OUT/system32'))
        os.makedirs(os.path.join(top, 'OUT/odir'))
        for name in ('odir/korvex1.sys', CONFIG + '/SYSTEM.commit-bait'):
            pathlib.Path(top, 'OUT', name).write_bytes(b'host file without a version')
    failed = run_all(tools, templates, scratch, opts.seeds)
    print('trees kept in %s' % scratch) if failed else shutil.rmtree(scratch)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
