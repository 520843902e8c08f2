#!/usr/bin/env python3
"""Hostile trees, one table: links of every kind in place of each entry the
tool uses, case twins, device nodes, FIFOs, an oversized hive and a held
lock, beside a sentinel OUT/ that must stay byte-identical; refusals end
non-zero and change nothing, links inside the tree still work.  --seeds
adds random trees; --ntfs runs it all again on an ntfs-3g volume."""

import argparse
import collections
import fcntl
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check import Lab  # noqa: E402
import cases  # noqa: E402  (tests/scenarios, which check puts on the path)

TIME_LIMIT = 10
OPS = {  # name: (arguments, installed driver, backup name it makes)
    'install': (['-D', 'korvex1'], None, None),
    'upgrade': (['-D', 'korvex1'], 'old', 'korvex1.sys.2.0'),
    'force': (['-F', '-D', 'korvex1'], 'new', 'korvex1.sys.2.1'),
    'uninstall': (['-U', '-D', 'korvex1'], 'new', None),
    'unchanged': (['-D', 'korvex1'], 'new', None),
}
D, CONFIG, HIVE = 'system32/drivers', 'system32/config', 'system32/config/SYSTEM'
DRIVER = D + '/korvex1.sys'
# entry: (path below WINNT, or None for the backup; where in OUT/ its links aim)
ENTRIES = {'system32': ('system32', 'system32'), 'drivers': (D, D), 'config': (CONFIG, CONFIG),
           'SYSTEM': (HIVE, HIVE), 'driver': (DRIVER, 'odir/korvex1.sys'), 'backup': (None, 'odir')}
KINDS = ('absolute', 'relative', 'dangling', 'loop')
HELD = ('system32/config', 'odir')  # locked in OUT/ during every run
Row = collections.namedtuple('Row', 'name op setup refused check', defaults=(None,))


def snapshot(top):
    """Everything below top: kind, bytes or link target, and mode; a large
    (sparse) file by its size and allocation, which must not grow."""
    seen = {}
    for base, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(base, name)
            st = os.lstat(path)
            if os.path.islink(path):
                what = os.readlink(path)
            elif os.path.isfile(path) and st.st_size > (16 << 20):
                what = (st.st_size, st.st_blocks, st.st_mtime_ns)
            elif os.path.isfile(path):
                with open(path, 'rb') as f:
                    what = f.read()
            else:
                what = None
            seen[os.path.relpath(path, top)] = (what, st.st_mode)
    return seen


def clear(t, rel):
    path = os.path.join(t.win, rel)
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)
    return path


def link(t, rel, kind, aim):
    """A link of kind at WINNT/rel in place of whatever was there."""
    path = clear(t, rel)
    outside = os.path.join(t.out, aim if kind != 'dangling' else 'gone')
    os.symlink({'absolute': outside, 'loop': os.path.basename(path)}.get(
        kind, os.path.relpath(outside, os.path.dirname(path))), path)


def put(t, rel, data=b'stale'):
    with open(clear(t, rel), 'wb') as f:
        f.write(data)


def mknod(t, rel):
    """A character device like /dev/null; a FIFO where mknod is not allowed."""
    if os.geteuid() == 0:
        os.mknod(clear(t, rel), 0o600 | 0o020000, os.makedev(1, 3))
    else:
        os.mkfifo(clear(t, rel))


def move_in(t, rel, real, name):
    """Moves WINNT/rel to WINNT/real and puts a relative link named name in
    its directory."""
    path, real = os.path.join(t.win, rel), os.path.join(t.win, real)
    os.rename(path, real)
    os.symlink(os.path.relpath(real, os.path.dirname(path)),
               os.path.join(os.path.dirname(path), name))


def driver_is(blob):
    def check(t, output):
        paths = [os.path.join(t.win, 'system32', d, 'korvex1.sys') for d in ('drivers', 'Drivers')]
        data = [open(p, 'rb').read() for p in paths if os.path.isfile(p)]
        want = [t.tools.blobs[blob]] if blob else []
        return [] if data[:1] == want else ['the driver is not as expected']
    return check


def fifo_with_writer(rel):
    """A FIFO with a writer blocked in open until a reader opens it."""
    def setup(t):
        path = clear(t, rel)
        os.mkfifo(path)
        t.writer = subprocess.Popen(['sh', '-c', 'exec 3>"$0"', path], start_new_session=True)
    return setup


def never_opened(t, output):
    time.sleep(0.2)
    opened = t.writer.poll() is not None
    if not opened:
        os.killpg(t.writer.pid, signal.SIGKILL)
        t.writer.wait()
    return ['the FIFO was opened'] if opened else []


def sparse(size):
    return lambda t: os.truncate(os.path.join(t.win, HIVE), size or
                                 os.path.getsize(os.path.join(t.win, HIVE)) + (64 << 20))


INSIDE = {
    'System32 -> system32': lambda t: os.symlink('system32', os.path.join(t.win, 'System32')),
    'Drivers -> ../DrvReal': lambda t: move_in(t, D, 'DrvReal', 'Drivers'),
    'config -> ../cfgreal': lambda t: move_in(t, CONFIG, 'cfgreal', 'config'),
    'SYSTEM -> SYSTEM.real': lambda t: move_in(t, HIVE, HIVE + '.real', 'SYSTEM'),
    'DRIVERS -> drivers': lambda t: os.symlink('drivers', os.path.join(t.win, 'system32/DRIVERS')),
}

SPECIAL = [
    Row('case twin KORVEX1.SYS.2.0 -> OUT/odir beside the backup', 'upgrade',
        lambda t: (put(t, D + '/korvex1.sys.2.0'),
                   link(t, D + '/KORVEX1.SYS.2.0', 'relative', 'odir')), True),
    Row('case twin of the installed driver, upgrade', 'upgrade',
        lambda t: put(t, D + '/KORVEX1.SYS'), True),
    Row('case twin of the installed driver, uninstall', 'uninstall',
        lambda t: put(t, D + '/KORVEX1.SYS'), True),
    Row('case twin directory DRIVERS, install', 'install',
        lambda t: os.mkdir(os.path.join(t.win, 'system32/DRIVERS')), True),
    Row('driver a FIFO with a writer', 'install', fifo_with_writer(DRIVER), False, never_opened),
    Row('backup a FIFO with a writer', 'upgrade', fifo_with_writer(D + '/korvex1.sys.2.0'), False,
        never_opened),
    Row('hive a FIFO with a writer', 'install', fifo_with_writer(HIVE), True, never_opened),
    Row('driver a device, install', 'install', lambda t: mknod(t, DRIVER), False,
        driver_is('new')),
    Row('driver a device, uninstall', 'uninstall', lambda t: mknod(t, DRIVER), False,
        driver_is(None)),
    Row('hive a device', 'install', lambda t: mknod(t, HIVE), True),
    Row('driver a link to /dev/zero', 'upgrade',
        lambda t: os.symlink('/dev/zero', clear(t, DRIVER)), True),
    Row('hive sparse to 2 GB', 'install', sparse(2 << 30), True),
    Row('hive 64 MB past its bins', 'install', sparse(0), True),
]


def table():
    rows = [Row('%s %s link, %s' % (kind, entry, op), op,
                lambda t, w=rel or D + '/' + (backup or 'korvex1.sys.2.1'), k=kind, a=aim:
                link(t, w, k, a), entry != 'backup' or backup is not None)
            for entry, (rel, aim) in ENTRIES.items() for kind in KINDS
            for op, (_, _, backup) in OPS.items()]
    rows += [Row('inside link %s, %s' % (name, op), op, setup, False,
                 driver_is(None if op == 'uninstall' else 'new'))
             for name, setup in INSIDE.items() for op in OPS]
    return rows + SPECIAL


class Tree:
    def __init__(self, tools, template, top):
        shutil.copytree(template, top, symlinks=True)
        self.tools, self.top = tools, top
        self.win = os.path.join(top, 'tree', 'WINNT')
        self.out = os.path.join(top, 'OUT')

    def start(self, args):
        return subprocess.Popen([self.tools.tool('drvinst')] + args,
                                cwd=os.path.join(self.top, 'work'), env=self.tools.env(self.top),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)

    def run(self, op):
        """(status, output) of one run while OUT/ is partly locked; status
        None when it overran the limit."""
        locks = [os.open(os.path.join(self.out, d), os.O_RDONLY) for d in HELD]
        for fd in locks:
            fcntl.flock(fd, fcntl.LOCK_EX)
        proc = self.start(OPS[op][0])
        try:
            output = proc.communicate(timeout=TIME_LIMIT)[0]
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, proc.returncode = proc.communicate()[0], None
        for fd in locks:
            os.close(fd)
        return proc.returncode, output.decode('latin-1')

    def judge(self, refused, op):
        """Runs op on the hostile tree; refused is True, False,
        or None for any status (but a refusal must not end 0)."""
        parts = ('OUT', 'work', 'tree') if refused else ('OUT', 'work')
        before = {part: snapshot(os.path.join(self.top, part)) for part in parts}
        status, output = self.run(op)
        if status is None:
            return ['no end within %d s' % TIME_LIMIT], output
        said = 'offline tree:' in output or 'offline registry:' in output
        problems = ['died with status %d' % status] if status < 0 or status > 128 else []
        if refused is None and 'offline tree:' in output:
            refused = True
        if refused and (status == 0 or not said) or refused is False and status != 0:
            problems.append('status %d: %r' % (status, output[-200:]))
        return problems + ['%s changed' % part for part, shot in before.items()
                           if snapshot(os.path.join(self.top, part)) != shot], output


def make_templates(tools, scratch):
    made = {}
    for op, (args, installed, _) in OPS.items():
        top = made[op] = os.path.join(scratch, 'template-' + op)
        tools.template(top, {'korvex1.sys': installed} if installed else {},
                       cases.installed_keys('korvex1') if installed else {})
        out = os.path.join(top, 'OUT')
        shutil.copytree(os.path.join(top, 'tree', 'WINNT', 'system32'),
                        os.path.join(out, 'system32'))
        os.makedirs(os.path.join(out, 'odir'))
        for name in ('odir/korvex1.sys', CONFIG + '/SYSTEM.commit-bait'):
            with open(os.path.join(out, name), 'wb') as f:
                f.write(b'host file without a version')
    return made


def run_row(tools, templates, top, row):
    t = Tree(tools, templates[row.op], top)
    row.setup(t)
    problems, output = t.judge(row.refused, row.op)
    return problems + (row.check(t, output) if row.check else [])


def waiting(tools, templates, top):
    """A run that finds the tree held says so once, waits, then works."""
    t = Tree(tools, templates['install'], top)
    config = os.open(os.path.join(t.win, CONFIG), os.O_RDONLY)
    fcntl.flock(config, fcntl.LOCK_EX)
    proc = t.start(OPS['install'][0])
    time.sleep(1.0)
    waited = proc.poll() is None
    os.close(config)
    output = proc.communicate(timeout=TIME_LIMIT)[0].decode('latin-1')
    line = 'waiting for another drvinst run on ' + tools.env(top)['SystemRoot']
    ok = waited and proc.returncode == 0 and output.count(line) == 1
    return [] if ok else ['did not wait once, or failed: %r' % output]


def random_tree(t, rng):
    """One to four entries among the tool's names and their case twins:
    links out, in and round, files, FIFOs, devices and directories."""
    names = ['system32', 'System32', 'drivers', 'DRIVERS', 'config', 'SYSTEM', 'korvex1.sys',
             'KORVEX1.SYS', 'korvex1.sys.2.0', 'korvex1.sys.2.1', 'x']
    for _ in range(rng.randint(1, 4)):
        rel = os.path.join(rng.choice(['', 'system32', D, CONFIG]), rng.choice(names))
        parent = os.path.dirname(os.path.join(t.win, rel))
        if not os.path.isdir(parent) or os.path.islink(parent):
            continue
        kind = rng.choice(KINDS + ('inside', 'file', 'fifo', 'device', 'directory'))
        if kind in KINDS:
            link(t, rel, kind, rng.choice(['system32', D, 'odir', 'odir/korvex1.sys']))
        elif kind == 'inside':
            os.symlink(rng.choice(['.', '..', 'korvex1.sys', 'drivers', '../system32']),
                       clear(t, rel))
        elif kind == 'file':
            put(t, rel)
        elif kind == 'device':
            mknod(t, rel)
        else:
            (os.mkfifo if kind == 'fifo' else os.mkdir)(clear(t, rel))


def run_all(tools, templates, scratch, label, seeds):
    failed, rows = 0, table()
    for i, row in enumerate(rows):
        problems = run_row(tools, templates, os.path.join(scratch, 'row%d' % i), row)
        failed += bool(problems)
        for problem in problems:
            print('FAIL  %s: %s' % (row.name, problem))
    problems = waiting(tools, templates, os.path.join(scratch, 'waiting'))
    failed += bool(problems)
    print(''.join('FAIL  waiting for a held tree: %s\n' % p for p in problems), end='')
    print('hostile%s: %d rows, %d failed' % (label, len(rows) + 1, failed))
    bad = 0
    for seed in range(seeds):
        rng = random.Random(seed)
        op = rng.choice(sorted(OPS))
        t = Tree(tools, templates[op], os.path.join(scratch, 'seed%d' % seed))
        random_tree(t, rng)
        problems = t.judge(None, op)[0]
        bad += bool(problems)
        print(''.join('FAIL  seed %d (%s): %s\n' % (seed, op, p) for p in problems), end='')
    print('hostile%s: %d random trees, %d failed' % (label, seeds, bad))
    return failed + bad


def ntfs_volume(scratch):
    """A fresh ntfs-3g mount in scratch, or (None, why not)."""
    if not os.path.exists('/dev/fuse'):
        return None, '/dev/fuse is missing'
    image, mount = os.path.join(scratch, 'ntfs.img'), os.path.join(scratch, 'ntfs')
    os.makedirs(mount)
    with open(image, 'wb') as f:
        f.truncate(256 << 20)
    for command in (['mkntfs', '-F', '-f', '-q', image], ['ntfs-3g', image, mount]):
        try:
            proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except OSError as e:
            return None, '%s: %s (scripts/install-deps.sh installs ntfs-3g)' % (command[0], e)
        if proc.returncode != 0:
            return None, '%s failed: %s' % (command[0], proc.stdout.decode('latin-1').strip())
    return mount, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--seeds', type=int, default=50, help='random trees (default 50)')
    parser.add_argument('--ntfs', action='store_true', help='also on an ntfs-3g volume')
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='drvinst-hostile-')
    tools = Lab(opts.bin, scratch)
    templates = make_templates(tools, scratch)
    failed = run_all(tools, templates, scratch, '', opts.seeds)
    if opts.ntfs:
        mount, why = ntfs_volume(scratch)
        if mount is None:
            print('hostile: SKIP ntfs-3g: %s' % why)
        else:
            try:
                on_ntfs = {op: shutil.copytree(top, os.path.join(mount, op), symlinks=True)
                           for op, top in templates.items()}
                failed += run_all(tools, on_ntfs, os.path.join(mount, 'runs'), ' on ntfs-3g',
                                  opts.seeds // 5)
            finally:
                subprocess.run(['umount', mount])
    if failed:
        print('trees kept in %s' % scratch)
        return 1
    shutil.rmtree(scratch)
    return 0


if __name__ == '__main__':
    sys.exit(main())
