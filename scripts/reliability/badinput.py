#!/usr/bin/env python3
"""Hand-made bad input, one table: hives cut short at every 512-byte
boundary, a hive that is a directory, driver files that are directories or
FIFOs, a SystemRoot that names nothing, and paths far longer than 260
characters.  Each case must end within its time limit, with the status
and message it names, and leave what it says untouched.

Cases marked known fail for a reason reported to the owner of the code
concerned; they are run and shown, and do not fail the check."""

import argparse
import os
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trees  # noqa: E402

TIME_LIMIT = 5


class Tree:
    """A fresh tree for one case, with the new korvex1.sys in work/."""

    def __init__(self, tools, template, top):
        trees.copy_tree(template, top)
        self.tools = tools
        self.top = top
        self.work = os.path.join(top, 'work')
        self.windows = os.path.join(top, 'tree', 'WINNT')
        self.drivers = os.path.join(top, trees.DRIVERS)
        self.hive = os.path.join(top, trees.HIVE)
        self.cwd = self.work
        self.env = tools.env(top)
        self.steps = []  # relative directories to enter below cwd, for paths past PATH_MAX

    def read(self, path):
        with open(path, 'rb') as f:
            return f.read()

    def replace(self, path, kind):
        os.remove(path)
        if kind == 'dir':
            os.makedirs(os.path.join(path, 'inside'))
        elif kind == 'fifo':
            os.mkfifo(path)
        else:
            open(path, 'wb').close()

    def run(self, args):
        """(status, output); status None when the run overran the limit."""
        enter = ''.join('cd -P %s && ' % step for step in self.steps)
        command = enter + 'exec "$DRVINST" "$@"'
        env = dict(self.env, DRVINST=self.tools.tool('drvinst'))
        proc = subprocess.Popen(['sh', '-c', command, 'drvinst'] + args, cwd=self.cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            output = proc.communicate(timeout=TIME_LIMIT)[0]
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            return None, ''
        return proc.returncode, output.decode('latin-1')


def deep_directory(base, total, component=200):
    """Makes a directory below base whose path is longer than total, one
    short step at a time so that no call sees the whole path; gives the
    steps."""
    steps, fd = [], os.open(base, os.O_RDONLY | os.O_DIRECTORY)
    length = len(base)
    while length <= total:
        name = 'd' * component
        os.mkdir(name, dir_fd=fd)
        inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd, length = inner, length + component + 1
        steps.append(name)
    return steps, fd


def put_driver(tools, fd):
    out = os.open('korvex1.sys', os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(out, tools.blobs['new'])
    os.close(out)
    os.close(fd)


def fingerprint(path):
    if os.path.islink(path):
        return 'link to ' + os.readlink(path)
    if os.path.isdir(path):
        return 'directory'
    if not os.path.exists(path):
        return 'absent'
    if not os.path.isfile(path):
        return 'special file'
    with open(path, 'rb') as f:
        return f.read()


class Case:
    def __init__(self, name, setup, status, message, args=('-D', 'korvex1', '-V'), keeps=(),
                 check=None, known=None):
        self.name = name
        self.setup = setup        # setup(tree): shapes the bad input
        self.status = status      # the exit status, or 'nonzero'
        self.message = message    # a text the output must hold
        self.args = list(args)
        self.keeps = keeps        # attributes of the tree naming paths that must not change
        self.check = check        # check(tree, output) -> problems
        self.known = known        # why it fails today, when it does


def installed(t, output):
    problems = []
    if fingerprint(os.path.join(t.drivers, 'korvex1.sys')) != t.tools.blobs['new']:
        problems.append('korvex1.sys is not the new driver')
    keys = trees.State(t.top).keys() or {}
    if 'korvex1' not in keys or 'eventlog\\system\\korvex1' not in keys:
        problems.append('the driver keys were not written')
    return problems


def nothing_copied(t, output):
    names = [n for n in os.listdir(t.drivers) if n.lower().startswith('korvex')]
    return ['the run placed %s' % names] if names else []


def no_stray_file(t, output):
    stray = os.path.join(t.windows, 'system32', 'drivers')
    return ['a file named drivers was made'] if os.path.isfile(stray) else []


def whole_path_shown(t, output):
    """The verbose source line carries the working directory whole."""
    want = 'Source File ' + t.long_path + '\\korvex1.sys'
    return [] if want in output else ['the source path is not shown whole']


def deep_work(t):
    t.steps, fd = deep_directory(t.work, 320)
    put_driver(t.tools, fd)
    t.long_path = os.path.join(t.work, *t.steps)


def beyond_path_max(t):
    t.steps, fd = deep_directory(t.work, 4200)
    put_driver(t.tools, fd)


def long_system_root(t):
    deep = os.path.join(t.top, 'x' * 150, 'y' * 150)
    os.makedirs(deep)
    os.rename(os.path.join(t.top, 'tree'), os.path.join(deep, 'tree'))
    t.windows = os.path.join(deep, 'tree', 'WINNT')
    t.drivers = os.path.join(t.windows, 'system32', 'drivers')
    t.hive = os.path.join(t.windows, 'system32', 'config', 'SYSTEM')
    t.env['SystemRoot'] = t.windows
    t.top_tree = deep


def installed_long(t, output):
    keys = subprocess.run(['hivexregedit', '--export', '--prefix', 'HKLM', t.hive,
                           '\\ControlSet001\\Services\\korvex1'], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
    ok = keys.returncode == 0 and fingerprint(os.path.join(t.drivers, 'korvex1.sys')) == \
        t.tools.blobs['new']
    shown = 'SystemRoot ' + t.windows in output
    return ([] if ok else ['not installed']) + ([] if shown else ['SystemRoot not shown whole'])


def set_env(name, value):
    def setup(t):
        t.env[name] = value(t) if callable(value) else value
    return setup


CASES = [
    Case('hive is a directory', lambda t: t.replace(t.hive, 'dir'), 1, 'is a directory',
         keeps=('hive',), check=nothing_copied),
    Case('hive is empty', lambda t: t.replace(t.hive, 'empty'), 1, 'too short',
         keeps=('hive',), check=nothing_copied),
    Case('hive is a FIFO', lambda t: t.replace(t.hive, 'fifo'), 1, 'not a regular file',
         keeps=('hive',), check=nothing_copied),
    Case('SystemRoot names nothing', set_env('SystemRoot', lambda t: t.windows + '-missing'), 1,
         'RegOpenKeyEx failed to open Service key', check=nothing_copied),
    Case('SystemRoot names a file', set_env('SystemRoot', lambda t: t.hive), 1,
         'RegOpenKeyEx failed to open Service key', keeps=('hive',), check=nothing_copied),
    Case('source driver is a directory',
         lambda t: t.replace(os.path.join(t.work, 'korvex1.sys'), 'dir'), 1,
         'GetFileVersion failed', keeps=('hive',), check=nothing_copied),
    Case('source driver is a FIFO',
         lambda t: t.replace(os.path.join(t.work, 'korvex1.sys'), 'fifo'), 1,
         'GetFileVersion failed', keeps=('hive',), check=nothing_copied),
    Case('installed driver is a directory',
         lambda t: os.makedirs(os.path.join(t.drivers, 'korvex1.sys', 'inside')), 1,
         'Failed to copy', keeps=('hive', 'installed')),
    Case('installed driver is a FIFO', lambda t: os.mkfifo(os.path.join(t.drivers, 'korvex1.sys')),
         0, 'Created registry key', check=installed),
    Case('drivers directory missing', lambda t: os.rmdir(t.drivers), 'nonzero', 'Failed to copy',
         keeps=('hive',), check=no_stray_file),
    Case('working directory of 320 characters', deep_work, 0, 'Created registry key',
         check=lambda t, out: whole_path_shown(t, out) + installed(t, out)),
    Case('working directory past PATH_MAX', beyond_path_max, 1, 'GetFileVersion failed',
         keeps=('hive',), check=nothing_copied),
    Case('SystemRoot of 320 characters', long_system_root, 0, 'Created registry key',
         check=installed_long),
    Case('SystemRoot past PATH_MAX', set_env('SystemRoot', lambda t: t.windows + '/x' * 2100), 1,
         'File name too long', check=nothing_copied),
]


def truncate_to(size):
    def setup(t):
        with open(t.hive, 'r+b') as f:
            f.truncate(size)
    return setup


def checker_refuses(t, output):
    """The hive checker must see the damage the tool refused."""
    proc = subprocess.run([t.tools.tool('hivecheck'), t.hive], stdout=subprocess.DEVNULL)
    return [] if proc.returncode == 1 else ['hivecheck passed a cut hive']


def truncations(size):
    return [Case('hive cut to %d bytes' % cut, truncate_to(cut), 1, 'offline registry:',
                 keeps=('hive',), check=lambda t, out: nothing_copied(t, out) +
                 checker_refuses(t, out)) for cut in range(0, size, 512)]


def path_of(t, name):
    return t.hive if name == 'hive' else os.path.join(t.drivers, 'korvex1.sys')


def leftovers(t):
    found = []
    for directory in (os.path.dirname(t.hive), t.drivers):
        if os.path.isdir(directory):
            found += [n for n in os.listdir(directory) if '.commit-' in n or n.endswith('.tmp')]
    return ['temporary files left: %s' % found] if found else []


def outcome_problems(case, status, output):
    if status is None:
        return ['no end within %d s' % TIME_LIMIT]
    if status < 0 or status > 128:
        return ['died with status %d' % status]
    problems = []
    if status != case.status and not (case.status == 'nonzero' and status != 0):
        problems.append('status %d, expected %s' % (status, case.status))
    if case.message not in output:
        problems.append('no "%s" in the output: %r' % (case.message, output[-160:]))
    return problems


def run_case(tools, template, top, case):
    t = Tree(tools, template, top)
    case.setup(t)
    kept = {name: fingerprint(path_of(t, name)) for name in case.keeps}
    status, output = t.run(case.args)
    problems = outcome_problems(case, status, output)
    problems += ['%s changed' % name for name, print_ in kept.items()
                 if fingerprint(path_of(t, name)) != print_]
    problems += leftovers(t)
    if case.check and status is not None:
        problems += case.check(t, output)
    return problems


def make_template(tools, top, keys):
    """A tree whose hive spans several bins, so that cuts land everywhere."""
    trees.make_template(tools, trees.OPERATIONS[0], top)
    reg = os.path.join(top, 'many.reg')
    with open(reg, 'w') as f:
        f.write('Windows Registry Editor Version 5.00\n\n')
        for i in range(keys):
            f.write('[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\svc%04d]\n'
                    '"Start"=dword:%08x\n"ImagePath"="System32\\\\drivers\\\\s%d.sys"\n\n'
                    % (i, i % 5, i))
    subprocess.run(['hivexregedit', '--merge', os.path.join(top, trees.HIVE), '--prefix',
                    'HKEY_LOCAL_MACHINE\\SYSTEM', reg], check=True)
    os.remove(reg)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--keys', type=int, default=150,
                        help='extra keys in the hive that is cut (default 150)')
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='drvinst-badinput-')
    tools = trees.Tools(opts.bin, scratch)
    template = os.path.join(scratch, 'template')
    make_template(tools, template, opts.keys)
    cuts = truncations(os.path.getsize(os.path.join(template, trees.HIVE)))
    failed = known = 0
    for i, case in enumerate(CASES + cuts):
        problems = run_case(tools, template, os.path.join(scratch, 'c%d' % i), case)
        if case.known and problems:
            known += 1
            print('known %s: %s (%s)' % (case.name, '; '.join(problems), case.known))
        elif case.known:
            print('ok    %s (the known fault is gone: %s)' % (case.name, case.known))
        elif problems:
            failed += 1
            print('FAIL  %s: %s' % (case.name, '; '.join(problems)))
        elif case in CASES:
            print('ok    %s' % case.name)
    print('bad input: %d cases (%d cuts of the hive), %d failed, %d known' %
          (len(CASES) + len(cuts), len(cuts), failed, known))
    return trees.finish_scratch(scratch, failed)


if __name__ == '__main__':
    sys.exit(main())
