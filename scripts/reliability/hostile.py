#!/usr/bin/env python3
"""Hostile trees, one table: symbolic links of every kind in place of each
entry the tool uses, names that differ only in case, device nodes and FIFOs,
an oversized hive and a held lock.  Beside the tree lies a sentinel OUT/
that the links aim at, with a copy of system32 and a directory lock held;
every row asserts that OUT/ and the source directory are byte-identical
afterwards, that a refusal ends non-zero and changed nothing in the tree
either, and that links which stay inside the tree still work.  --seeds adds
random trees; --ntfs runs the table again on an ntfs-3g volume."""

import argparse
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
import trees  # noqa: E402
import cases  # noqa: E402  (tests/scenarios, which trees puts on the path)

TIME_LIMIT = 10
KEYS = cases.installed_keys('korvex1')
OPS = {  # name: (arguments, installed driver, backup name it would make)
    'install': (['-D', 'korvex1'], None, None),
    'upgrade': (['-D', 'korvex1'], 'old', 'korvex1.sys.2.0'),
    'force': (['-F', '-D', 'korvex1'], 'new', 'korvex1.sys.2.1'),
    'uninstall': (['-U', '-D', 'korvex1'], 'new', None),
    'unchanged': (['-D', 'korvex1'], 'new', None),
}
D = 'system32/drivers'
# entry: (path below WINNT, where in OUT/ its outward links aim)
ENTRIES = {'system32': ('system32', 'system32'), 'drivers': (D, D),
           'config': ('system32/config', 'system32/config'),
           'SYSTEM': ('system32/config/SYSTEM', 'system32/config/SYSTEM'),
           'driver': (D + '/korvex1.sys', 'odir/korvex1.sys'), 'backup': (None, 'odir')}
KINDS = ('absolute', 'relative', 'dangling', 'loop')


class Row:
    def __init__(self, name, op, setup, refused, check=None):
        self.name, self.op, self.setup, self.refused, self.check = name, op, setup, refused, check


def snapshot(top):
    """Everything below top: type, bytes or link target, and mode; a large
    (sparse) file by its size and allocation, which must not grow."""
    seen = {}
    for base, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(base, name)
            st = os.lstat(path)
            if os.path.islink(path):
                what = 'link ' + os.readlink(path)
            elif os.path.isfile(path) and st.st_size > (16 << 20):
                what = (st.st_size, st.st_blocks, st.st_mtime_ns)
            elif os.path.isfile(path):
                with open(path, 'rb') as f:
                    what = f.read()
            else:
                what = 'kind %o' % (st.st_mode >> 12)
            seen[os.path.relpath(path, top)] = (what, st.st_mode)
    return seen


def link(t, rel, kind, aim):
    """Puts a link of kind at WINNT/rel, in place of whatever was there."""
    path = os.path.join(t.win, rel)
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)
    outside = os.path.join(t.out, aim if kind != 'dangling' else 'gone')
    target = {'absolute': outside, 'loop': os.path.basename(path)}.get(
        kind, os.path.relpath(outside, os.path.dirname(path)))
    os.symlink(target, path)


def hostile_rows():
    rows = []
    for entry, (rel, aim) in ENTRIES.items():
        for kind in KINDS:
            for op, (_, installed, backup) in OPS.items():
                where = rel or (D + '/' + (backup or 'korvex1.sys.2.1'))
                rows.append(Row('%s %s link, %s' % (kind, entry, op), op,
                                lambda t, w=where, k=kind, a=aim: link(t, w, k, a),
                                entry != 'backup' or backup is not None))
    return rows


def move_in(t, rel, real, name):
    """Moves WINNT/rel to WINNT/real and leaves a relative link in its place."""
    path = os.path.join(t.win, rel)
    os.rename(path, os.path.join(t.win, real))
    os.symlink(os.path.relpath(os.path.join(t.win, real), os.path.dirname(path)),
               os.path.join(os.path.dirname(path), name))


def folded(top, rel):
    """top/rel with each name matched ignoring case, as the tool does."""
    for name in rel.split('/'):
        found = [n for n in os.listdir(top) if n.lower() == name.lower()] if os.path.isdir(top) else []
        top = os.path.join(top, found[0] if found else name)
    return top


def driver_is(blob):
    def check(t, output):
        path = folded(t.win, D + '/korvex1.sys')
        data = open(path, 'rb').read() if os.path.isfile(path) else None
        return [] if data == (blob and t.tools.blobs[blob]) else ['the driver is not as expected']
    return check


INSIDE = {
    'System32 -> system32': lambda t: os.symlink('system32', os.path.join(t.win, 'System32')),
    'Drivers -> ../DrvReal': lambda t: move_in(t, D, 'DrvReal', 'Drivers'),
    'config -> ../cfgreal': lambda t: move_in(t, 'system32/config', 'cfgreal', 'config'),
    'SYSTEM -> SYSTEM.real': lambda t: move_in(t, 'system32/config/SYSTEM',
                                                'system32/config/SYSTEM.real', 'SYSTEM'),
}


def inside_rows():
    after = {'uninstall': None}
    return [Row('inside link %s, %s' % (name, op), op, setup, False,
                driver_is(after.get(op, 'new')))
            for name, setup in INSIDE.items() for op in OPS]


def put(t, rel, data=b'stale'):
    with open(os.path.join(t.win, rel), 'wb') as f:
        f.write(data)


def fifo_with_writer(rel):
    """A FIFO with a writer blocked until someone opens it for reading."""
    def setup(t):
        path = os.path.join(t.win, rel)
        if os.path.lexists(path):
            os.remove(path)
        os.mkfifo(path)
        t.writer = subprocess.Popen(['sh', '-c', 'exec 3>"$0"; echo opened', path],
                                    stdout=subprocess.PIPE, start_new_session=True)
    return setup


def never_opened(t, output):
    time.sleep(0.2)
    opened = t.writer.poll() is not None
    os.killpg(t.writer.pid, signal.SIGKILL)
    t.writer.wait()
    return ['the FIFO was opened'] if opened else []


def sparse(extra):
    def setup(t):
        hive = os.path.join(t.win, 'system32/config/SYSTEM')
        os.truncate(hive, extra if extra > (1 << 30) else os.path.getsize(hive) + extra)
    return setup


def mknod(rel):
    """A character device like /dev/null in place of WINNT/rel."""
    def setup(t):
        path = os.path.join(t.win, rel)
        if os.path.lexists(path):
            os.remove(path)
        os.mknod(path, 0o600 | 0o020000, os.makedev(1, 3))
    return setup


def special_rows():
    driver = D + '/korvex1.sys'
    return [
        Row('case twin link to OUT/ beside the backup (finding 1)', 'upgrade',
            lambda t: (put(t, D + '/korvex1.sys.2.0'), link(t, D + '/KORVEX1.SYS.2.0', 'relative',
                                                           'odir')), True),
        Row('case twin of the installed driver, upgrade', 'upgrade',
            lambda t: put(t, D + '/KORVEX1.SYS'), True),
        Row('case twin of the installed driver, uninstall', 'uninstall',
            lambda t: put(t, D + '/KORVEX1.SYS'), True),
        Row('case twin directory of drivers, install', 'install',
            lambda t: os.mkdir(os.path.join(t.win, 'system32/DRIVERS')), True),
        Row('case twin DRIVERS linked to drivers, upgrade', 'upgrade',
            lambda t: os.symlink('drivers', os.path.join(t.win, 'system32', 'DRIVERS')), False,
            driver_is('new')),
        Row('installed driver is a FIFO with a writer, install', 'install',
            fifo_with_writer(driver), False, never_opened),
        Row('backup is a FIFO with a writer, upgrade', 'upgrade',
            fifo_with_writer(D + '/korvex1.sys.2.0'), False, never_opened),
        Row('hive is a FIFO with a writer', 'install',
            fifo_with_writer('system32/config/SYSTEM'), True, never_opened),
        Row('installed driver is a character device, install', 'install', mknod(driver), False,
            driver_is('new')),
        Row('installed driver is a character device, uninstall', 'uninstall', mknod(driver),
            False, driver_is(None)),
        Row('hive is a character device', 'install', mknod('system32/config/SYSTEM'), True),
        Row('installed driver links to /dev/zero', 'upgrade',
            lambda t: (os.remove(os.path.join(t.win, driver)),
                       os.symlink('/dev/zero', os.path.join(t.win, driver))), True),
        Row('hive sparse to 2 GB', 'install', sparse(2 << 30), True),
        Row('hive with 64 MB past its bins', 'install', sparse(64 << 20), True),
    ]


class Tree:
    def __init__(self, tools, template, top):
        trees.copy_tree(template, top)
        self.tools, self.top, self.writer = tools, top, None
        self.win = os.path.join(top, 'tree', 'WINNT')
        self.out = os.path.join(top, 'OUT')

    def run(self, args, hold=()):
        """(status, output) of one run while OUT/'s directories are locked;
        status None when it overran the limit."""
        locks = [os.open(os.path.join(self.out, d), os.O_RDONLY) for d in hold]
        for fd in locks:
            fcntl.flock(fd, fcntl.LOCK_EX)
        proc = subprocess.Popen([self.tools.tool('drvinst')] + args,
                                cwd=os.path.join(self.top, 'work'), env=self.tools.env(self.top),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            output = proc.communicate(timeout=TIME_LIMIT)[0]
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, proc.returncode = proc.communicate()[0], None
        for fd in locks:
            os.close(fd)
        return proc.returncode, output.decode('latin-1')


def make_templates(tools, scratch):
    """One tree per operation, with OUT/ beside it: a copy of system32 and a
    host file without a version in odir/, and bait for the hive's cleanup."""
    made = {}
    for op, (args, installed, _) in OPS.items():
        top = os.path.join(scratch, 'template-' + op)
        trees.make_template(tools, trees.Operation(op, args, {'korvex1.sys': installed}
                                                   if installed else {},
                                                   KEYS if installed else {}), top)
        out = os.path.join(top, 'OUT')
        shutil.copytree(os.path.join(top, 'tree', 'WINNT', 'system32'),
                        os.path.join(out, 'system32'))
        os.makedirs(os.path.join(out, 'odir'))
        for name, data in (('odir/korvex1.sys', b'host file without a version'),
                           ('system32/config/SYSTEM.commit-bait', b'host file')):
            with open(os.path.join(out, name), 'wb') as f:
                f.write(data)
        made[op] = top
    return made


def judge(t, status, output, before, refused):
    if status is None:
        return ['no end within %d s' % TIME_LIMIT]
    problems = []
    if status < 0 or status > 128:
        problems.append('died with status %d' % status)
    said = 'offline tree:' in output or 'offline registry:' in output
    if refused and (status == 0 or not said):
        problems.append('not refused (status %d): %r' % (status, output[-200:]))
    if refused is False and status != 0:
        problems.append('failed (status %d): %r' % (status, output[-200:]))
    for part, shot in before.items():
        if snapshot(os.path.join(t.top, part)) != shot:
            problems.append('%s changed' % part)
    return problems


def run_row(tools, templates, top, row):
    t = Tree(tools, templates[row.op], top)
    row.setup(t)
    parts = ('OUT', 'work', 'tree') if row.refused else ('OUT', 'work')
    before = {part: snapshot(os.path.join(top, part)) for part in parts}
    status, output = t.run(OPS[row.op][0], hold=('system32/config', 'odir'))
    problems = judge(t, status, output, before, row.refused)
    return problems + (row.check(t, output) if row.check else [])


def waiting_row(tools, templates, top):
    """A run that finds the tree held waits, says so once, and then works."""
    t = Tree(tools, templates['install'], top)
    config = os.open(os.path.join(t.win, 'system32', 'config'), os.O_RDONLY)
    fcntl.flock(config, fcntl.LOCK_EX)
    proc = subprocess.Popen([tools.tool('drvinst'), '-D', 'korvex1'], cwd=os.path.join(top, 'work'),
                            env=tools.env(top), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    time.sleep(1.0)
    waited = proc.poll() is None
    os.close(config)
    output = proc.communicate(timeout=TIME_LIMIT)[0].decode('latin-1')
    line = 'waiting for another drvinst run on %s' % tools.env(top)['SystemRoot']
    problems = [] if waited and proc.returncode == 0 else ['did not wait, or failed after']
    return problems + ([] if output.count(line) == 1 else ['no single waiting line: %r' % output])


def random_tree(t, rng):
    """Up to four random hostile entries: links out, in and round, case
    twins, FIFOs, device nodes and stray directories."""
    names = ['system32', 'System32', 'drivers', 'DRIVERS', 'config', 'SYSTEM', 'korvex1.sys',
             'KORVEX1.SYS', 'korvex1.sys.2.0', 'korvex1.sys.2.1', 'x']
    dirs = ['', 'system32', D, 'system32/config']
    for _ in range(rng.randint(1, 4)):
        rel = os.path.join(rng.choice(dirs), rng.choice(names))
        path = os.path.join(t.win, rel)
        if not os.path.isdir(os.path.dirname(path)) or os.path.islink(os.path.dirname(path)):
            continue
        kind = rng.choice(KINDS + ('inside', 'file', 'fifo', 'device', 'directory'))
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
        if kind in KINDS:
            link(t, rel, kind, rng.choice(['system32', D, 'odir', 'odir/korvex1.sys']))
        elif kind == 'inside':
            os.symlink(rng.choice(['.', '..', 'korvex1.sys', 'drivers', '../system32']), path)
        elif kind == 'file':
            put(t, rel)
        elif kind == 'fifo':
            os.mkfifo(path)
        elif kind == 'device':
            mknod(rel)(t)
        else:
            os.mkdir(path)


def property_check(tools, templates, scratch, seeds):
    failed = 0
    for seed in range(seeds):
        rng = random.Random(seed)
        op = rng.choice(sorted(OPS))
        top = os.path.join(scratch, 'seed%d' % seed)
        t = Tree(tools, templates[op], top)
        random_tree(t, rng)
        before = {part: snapshot(os.path.join(top, part)) for part in ('OUT', 'work')}
        status, output = t.run(OPS[op][0], hold=('system32/config', 'odir'))
        # Any status will do, but a refusal must not end 0.
        problems = judge(t, status, output, before, True if 'offline tree:' in output else None)
        if problems:
            failed += 1
            print('FAIL  seed %d (%s): %s' % (seed, op, '; '.join(problems)))
        else:
            trees.remove_tree(top)
    print('hostile: %d random trees, %d failed' % (seeds, failed))
    return failed


def run_table(tools, templates, scratch, label):
    rows = hostile_rows() + inside_rows() + special_rows()
    failed = 0
    for i, row in enumerate(rows):
        top = os.path.join(scratch, 'row%d' % i)
        problems = run_row(tools, templates, top, row)
        if problems:
            failed += 1
            print('FAIL  %s: %s' % (row.name, '; '.join(problems)))
        else:
            trees.remove_tree(top)
    problems = waiting_row(tools, templates, os.path.join(scratch, 'waiting'))
    if problems:
        failed += 1
        print('FAIL  waiting for a held tree: %s' % '; '.join(problems))
    print('hostile%s: %d rows, %d failed' % (label, len(rows) + 1, failed))
    return failed


def ntfs_volume(scratch):
    """A fresh ntfs-3g mount in scratch, or (None, why not)."""
    if not os.path.exists('/dev/fuse'):
        return None, '/dev/fuse is missing'
    for tool in ('mkntfs', 'ntfs-3g'):
        if shutil.which(tool) is None:
            return None, '%s is not installed (scripts/install-deps.sh)' % tool
    image, mount = os.path.join(scratch, 'ntfs.img'), os.path.join(scratch, 'ntfs')
    os.makedirs(mount)
    with open(image, 'wb') as f:
        f.truncate(256 << 20)
    for command in (['mkntfs', '-F', '-f', '-q', image], ['ntfs-3g', image, mount]):
        proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
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
    tools = trees.Tools(opts.bin, scratch)
    templates = make_templates(tools, scratch)
    failed = run_table(tools, templates, scratch, '')
    failed += property_check(tools, templates, scratch, opts.seeds)
    if opts.ntfs:
        mount, why = ntfs_volume(scratch)
        if mount is None:
            print('hostile: SKIP ntfs-3g: %s' % why)
        else:
            try:
                on_ntfs = {op: shutil.copytree(top, os.path.join(mount, 'template-' + op),
                                               symlinks=True) for op, top in templates.items()}
                failed += run_table(tools, on_ntfs, os.path.join(mount, 'rows'), ' on ntfs-3g')
            finally:
                subprocess.run(['umount', mount])
    return trees.finish_scratch(scratch, failed)


if __name__ == '__main__':
    sys.exit(main())
