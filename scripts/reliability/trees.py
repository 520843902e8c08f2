"""Offline trees for the reliability checks: the three operations we put
under stress, the state a tree is in, and what counts as a sound state.

A state is judged on what decides whether Windows still boots from the
tree: the hive is structurally sound and loadable, the driver keys are
wholly the old or wholly the new ones, and every driver file is one of
the known files, byte for byte."""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'tests', 'scenarios'))
import backends  # noqa: E402
import cases  # noqa: E402
import regfile  # noqa: E402

SERVICES = 'HKLM\\ControlSet001\\Services'
HIVE = os.path.join('tree', 'WINNT', 'system32', 'config', 'SYSTEM')
DRIVERS = os.path.join('tree', 'WINNT', 'system32', 'drivers')

# The driver files an operation may leave; anything else is a torn file.
DRIVER_FILES = {'old': ('2.0', 'old'), 'new': ('2.1', 'new'), 'stale': ('2.0', 'stale')}


class Operation:
    """One run of the tool on a prepared tree: the files and keys it starts
    from, and the driver file it installs from."""

    def __init__(self, name, args, installed, keys, dirty=None):
        self.name = name
        self.args = args
        self.installed = installed  # drivers directory: file name -> DRIVER_FILES key
        self.keys = keys            # scenario key table, as tests/scenarios/cases.py has it
        self.dirty = dirty          # a tools/mkdirty variant: changes left only in logs


STALE_KEYS = {'korvex1': {'Stale': regfile.text_value('x'), 'Start': regfile.dword_value(3)},
              'korvex1\\Enum\\Deep': {'y': regfile.dword_value(1)},
              'eventlog\\system\\korvex1': {'Stale': regfile.text_value('x')}}

OPERATIONS = [
    Operation('install', ['-D', 'korvex1'], {}, {}),
    # The old keys carry a stale value and subkey, so that the old and new
    # registry states differ and a mixture of the two shows.
    Operation('upgrade', ['-D', 'korvex1'], {'korvex1.sys': 'old', 'korvex1.sys.2.0': 'stale'},
              STALE_KEYS),
    Operation('uninstall', ['-U', '-D', 'korvex1'],
              {'korvex1.sys': 'new', 'korvex1.sys.2.0': 'old'}, cases.installed_keys('korvex1')),
    # The hive replayed from entries split across both logs, then changed.
    Operation('install-dirty', ['-D', 'korvex1'], {}, {}, dirty='split'),
]


class Tools:
    """The build directory's programs, and driver files made once."""

    def __init__(self, bindir, scratch):
        self.bindir = os.path.abspath(bindir)
        for name in ('drvinst', 'cmd.exe', 'mktree', 'mksys', 'hivecheck'):
            if not os.access(os.path.join(self.bindir, name), os.X_OK):
                raise SystemExit('%s has no %s; build it first' % (self.bindir, name))
        self.blobs = {}
        for key, shape in DRIVER_FILES.items():
            path = os.path.join(scratch, key + '.sys')
            subprocess.run([self.tool('mksys'), path] + cases.mksys_args(shape), check=True)
            with open(path, 'rb') as f:
                self.blobs[key] = f.read()

    def tool(self, name):
        return os.path.join(self.bindir, name)

    def env(self, top, **extra):
        env = {'PATH': self.bindir + ':/usr/bin:/bin', 'LC_ALL': 'C',
               'SystemRoot': os.path.join(top, 'tree', 'WINNT')}
        # A sanitizer build reports through these; let it stop the run loudly.
        for name in ('ASAN_OPTIONS', 'UBSAN_OPTIONS'):
            if name in os.environ:
                env[name] = os.environ[name]
        env.update(extra)
        return env


def make_template(tools, op, top):
    """Lays out the tree op starts from, with the new driver in top/work."""
    os.makedirs(os.path.join(top, 'work'))
    subprocess.run([tools.tool('mktree'), os.path.join(top, 'tree')], check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(top, 'work', 'korvex1.sys'), 'wb') as f:
        f.write(tools.blobs['new'])
    for name, blob in op.installed.items():
        with open(os.path.join(top, DRIVERS, name), 'wb') as f:
            f.write(tools.blobs[blob])
    if op.keys:
        reg = os.path.join(top, 'setup.reg')
        with open(reg, 'w', newline='') as f:
            f.write(backends.reg_setup_text(op.keys, 'ControlSet001'))
        subprocess.run(['hivexregedit', '--merge', os.path.join(top, HIVE), '--prefix',
                        'HKEY_LOCAL_MACHINE\\SYSTEM', reg], check=True)
        os.remove(reg)
    if op.dirty:
        subprocess.run([tools.tool('mkdirty'), os.path.join(top, HIVE), op.dirty], check=True)


def copy_tree(template, top):
    shutil.copytree(template, top, symlinks=True)


def run_tool(tools, top, args, env=None, prefix=(), timeout=60):
    """Runs drvinst in top/work; gives (status, output)."""
    proc = subprocess.run(list(prefix) + [tools.tool('drvinst')] + args,
                          cwd=os.path.join(top, 'work'), env=env or tools.env(top),
                          stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return proc.returncode, proc.stdout.decode('latin-1')


class State:
    """What a tree holds after a run: hive bytes, driver files and the
    temporary files runs leave while they work."""

    def __init__(self, top):
        with open(os.path.join(top, HIVE), 'rb') as f:
            self.hive = f.read()
        self.files = {}
        self.temporaries = []
        drivers = os.path.join(top, DRIVERS)
        for name in sorted(os.listdir(drivers)):
            path = os.path.join(drivers, name)
            if name.startswith('.') and name.endswith('.tmp'):
                self.temporaries.append(os.path.join(DRIVERS, name))
            elif os.path.isfile(path):
                with open(path, 'rb') as f:
                    self.files[name] = f.read()
        config = os.path.dirname(os.path.join(top, HIVE))
        self.logs = {}
        for name in sorted(os.listdir(config)):
            if name.upper().startswith('SYSTEM.LOG'):
                with open(os.path.join(config, name), 'rb') as f:
                    self.logs[name] = f.read()
            elif name != 'SYSTEM':
                self.temporaries.append(os.path.join(os.path.dirname(HIVE), name))
        self._keys = None
        self.top = top

    def keys(self):
        """The driver keys, or None when hivex cannot read the hive."""
        if self._keys is None:
            proc = subprocess.run(['hivexregedit', '--export', '--prefix', 'HKLM',
                                   os.path.join(self.top, HIVE), '\\ControlSet001\\Services'],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if proc.returncode != 0:
                return None
            every = regfile.parse(proc.stdout.decode('latin-1'), SERVICES)
            self._keys = {k: v for k, v in every.items()
                          if k.startswith('korvex') or k.startswith('eventlog\\system\\korvex')}
        return self._keys


def hive_problems(tools, top):
    """The hive checker's complaints; empty when the hive is sound."""
    proc = subprocess.run([tools.tool('hivecheck'), os.path.join(top, HIVE)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if proc.returncode == 0:
        return []
    return ['hivecheck: ' + line for line in proc.stdout.decode('latin-1').splitlines()]


def registry_side(state, before, after):
    """'old', 'new', or None for a mixture or an unreadable hive."""
    if state.hive == before.hive:
        state._keys = before.keys()
        return 'old'
    keys = state.keys()
    if keys is None:
        return None
    if keys == before.keys():
        return 'old'
    if keys == after.keys():
        return 'new'
    return None


def blob_name(tools, data):
    for name, blob in tools.blobs.items():
        if blob == data:
            return name
    return None


def file_problems(tools, state, before, after):
    """Every driver file must be whole, and be what the same name held
    before the run or after it."""
    problems = []
    for name, data in state.files.items():
        if not name.lower().startswith('korvex'):
            continue
        allowed = {before.files.get(name), after.files.get(name)} - {None}
        if data not in allowed:
            which = blob_name(tools, data)
            problems.append('%s holds %s' % (name, 'the %s driver, which belongs elsewhere' % which
                                             if which else 'a torn or foreign file'))
    return problems


def boot_risk(state):
    """A registered driver whose file is missing: a boot-start service the
    loader cannot find.  Call after registry_side, which reads the keys."""
    keys = state.keys()
    return keys is not None and 'korvex1' in keys and 'korvex1.sys' not in state.files


def remove_tree(top):
    shutil.rmtree(top, ignore_errors=True)


def finish_scratch(scratch, failed, keep=False):
    """Removes the scratch trees unless something failed (or keep is
    asked), when they are left for a look; gives the exit status."""
    if failed or keep:
        print('trees kept in %s' % scratch)
    else:
        remove_tree(scratch)
    return 1 if failed else 0


def finish_state(tools, op, template, top):
    """The state op ends in when nothing goes wrong, and its output."""
    copy_tree(template, top)
    status, output = run_tool(tools, top, op.args)
    if status != 0:
        raise SystemExit('%s fails without any fault:\n%s' % (op.name, output))
    return State(top), output
