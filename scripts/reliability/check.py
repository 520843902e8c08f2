#!/usr/bin/env python3
"""Reliability checks of the POSIX build on offline trees (docs/RELIABILITY.md):
crash, faults, concurrency.  A tree is judged on what decides
whether Windows still boots from it: the hive passes hivecheck, the driver
keys are wholly the old or the new ones, and every driver file is whole and
one that its name held before or after."""

import argparse
import collections
import functools
import operator
import os
import pathlib
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'tests', 'scenarios'))
import backends  # noqa: E402
import cases  # noqa: E402
import regfile  # noqa: E402

HIVE = 'tree/WINNT/system32/config/SYSTEM'
DRIVERS = 'tree/WINNT/system32/drivers'
BLOBS = {'old': ('2.0', 'old'), 'new': ('2.1', 'new'), 'stale': ('2.0', 'stale')}
# (name, arguments, drivers directory, keys): the stale value and subkey
# make the old and new keys differ, so that a mixture shows.
OPERATIONS = [
    ('install', ['-D', 'korvex1'], {}, {}),
    ('upgrade', ['-D', 'korvex1'], {'korvex1.sys': 'old', 'korvex1.sys.2.0': 'stale'},
     {'korvex1': {'Stale': regfile.text_value('x'), 'Start': regfile.dword_value(3)},
      'korvex1\\Enum\\Deep': {'y': regfile.dword_value(1)},
      'eventlog\\system\\korvex1': {'Stale': regfile.text_value('x')}}),
    ('uninstall', ['-U', '-D', 'korvex1'], {'korvex1.sys': 'new', 'korvex1.sys.2.0': 'old'},
     cases.installed_keys('korvex1')),
    # The hive replayed from entries split across both logs, then changed.
    ('install-dirty', ['-D', 'korvex1'], {}, {}, 'split'),
    # A clean hive whose LOG2 holds entries numbered past it: a commit killed
    # half way must not have them replayed after its own.
    ('install-stale', ['-D', 'korvex1'], {}, {}, 'stale'),
]
# The interpreter's stand-in: it counts its starts, and traces the one
# chosen; a kill there takes the tool down too, as a crash would.
WRAPPER = r'''#!/bin/sh
n=$(( $(cat "$STATE/calls" 2>/dev/null || echo 0) + 1 )); echo $n > "$STATE/calls"
[ "$MODE" = record ] && exec strace -y -s 256 -o "$STATE/cmd.$n.trace" "$CMD" "$@"
[ "$n" != "$CALL" ] && exec "$CMD" "$@"
strace -o "$STATE/inject.trace" -e "trace=$SYSCALL" -e "$INJECT" "$CMD" "$@"
status=$?
[ "$MODE" = crash ] && [ $status -gt 128 ] && kill -KILL $PPID
exit $status
'''
SYSCALLS = {'write', 'pwrite64', 'fsync', 'fdatasync', 'rename', 'renameat', 'renameat2',
            'openat', 'open', 'unlink', 'unlinkat'}
# Breaches that follow from the installer's core as specified, by
# (operation, process, start of the problem): see RELIABILITY.md, known limits.
KNOWN = [('upgrade', 'copy', 'the installed driver is gone'),
         ('upgrade', 'drvinst', 'the installed driver is gone'),
         ('uninstall', 'drvinst', 'the installed driver is gone'),
         ('upgrade', 'drvinst', 'ended 0 without'), ('uninstall', 'del', 'ended 0 without')]


def script(directory, name, text):
    path = os.path.join(directory, name)
    pathlib.Path(path).write_text(text)
    os.chmod(path, 0o755)
    return path


def replayed(hive, logs):
    """The hive as the system loads it, read apart from the engine: a dirty
    primary takes the entries of its new-format logs (LOG1, LOG2), each log
    numbered from its base block on, from the primary's secondary sequence
    number while the numbers run on."""
    def word(data, at):
        return struct.unpack_from('<I', data, at)[0]
    if len(hive) < 4096 or word(hive, 4) == word(hive, 8):
        return hive
    entries = {}
    for log in logs.values():
        at, number = 512, word(log, 4) if len(log) >= 512 and word(log, 0x1C) == 6 else None
        while number is not None and log[at:at + 4] == b'HvLE' and word(log, at + 12) == number:
            entries[number], at, number = (log, at), at + word(log, at + 4), number + 1
    image, number = bytearray(hive), word(hive, 8)
    while number in entries:
        log, at = entries[number]
        flags, _, bins, count = struct.unpack_from('<4I', log, at + 8)
        image.extend(bytes(max(0, 4096 + bins - len(image))))
        data = at + 40 + 8 * count
        for offset, size in struct.iter_unpack('<II', log[at + 40:data]):
            image[4096 + offset:4096 + offset + size] = log[data:data + size]
            data += size
        struct.pack_into('<I', image, 0x28, bins)
        struct.pack_into('<I', image, 0x90, flags)
        number += 1
    struct.pack_into('<II', image, 4, number, number)
    struct.pack_into('<I', image, 0x1C, 0)
    del image[4096 + word(image, 0x28):]
    struct.pack_into('<I', image, 0x1FC, functools.reduce(operator.xor, struct.unpack_from('<127I', image)))
    return bytes(image)


class Lab:
    def __init__(self, bindir, scratch):
        self.bin, self.scratch = os.path.abspath(bindir), scratch
        self.blobs = {}
        for key, shape in BLOBS.items():
            path = os.path.join(scratch, key + '.sys')
            subprocess.run([self.tool('mksys'), path] + cases.mksys_args(shape), check=True)
            self.blobs[key] = pathlib.Path(path).read_bytes()
        self.wrapper = script(scratch, 'interpreter.sh', WRAPPER)

    def tool(self, name):
        return os.path.join(self.bin, name)

    def env(self, top, **extra):
        env = {'PATH': self.bin + ':/usr/bin:/bin', 'LC_ALL': 'C',
               'SystemRoot': os.path.join(top, 'tree', 'WINNT')}
        env.update({k: v for k, v in os.environ.items() if k.endswith('SAN_OPTIONS')}, **extra)
        return env

    def template(self, top, installed, keys, dirty=None):
        # dirty: changes left only in transaction logs
        backends.Posix(self.bin, self.bin).layout(
            top, dict(keys=keys, **({'dirty': dirty} if dirty else {})))
        for path, blob in [(DRIVERS + '/' + n, b) for n, b in installed.items()] + \
                [('work/korvex1.sys', 'new')]:
            pathlib.Path(top, path).write_bytes(self.blobs[blob])

    def run(self, top, args, env=None, prefix=(), timeout=60, work='work'):
        """(status, output), the run's process group buried afterwards."""
        proc = subprocess.Popen(list(prefix) + [self.tool('drvinst')] + args,
                                cwd=os.path.join(top, work), env=env or self.env(top),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            output = proc.communicate(timeout=timeout)[0]
        except subprocess.TimeoutExpired:
            output, proc.returncode = b'', None
        subprocess.run(['pkill', '-KILL', '-g', str(proc.pid)])
        deadline = time.time() + 10
        while time.time() < deadline and subprocess.run(
                ['pgrep', '-g', str(proc.pid)], stdout=subprocess.DEVNULL).returncode == 0:
            time.sleep(0.005)
        proc.wait()
        return proc.returncode, output.decode('latin-1')

    def hive_problems(self, top):
        """The hive as it loads (replayed by the engine when dirty) must be
        sound, and what an independent reading of its logs gives."""
        image = os.path.join(top, 'loaded.hive')
        proc = subprocess.run([self.tool('hivecheck'), os.path.join(top, HIVE), image],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors='replace')
        if proc.returncode:
            return [proc.stdout.strip()]
        with open(image, 'rb') as f:
            return [] if f.read() == State(top).hive else ['replay differs from the logs\' reading']


REGLOOKUP_TYPES = {'SZ': 1, 'EXPAND_SZ': 2, 'BINARY': 3, 'DWORD': 4, 'MULTI_SZ': 7}


def reglookup_agrees(path, keys):
    """Whether reglookup, a parser of its own, finds the driver keys with the
    value names and types hivex found."""
    proc = subprocess.run(['reglookup', '-H', '-p', '/ControlSet001/Services', path],
                          capture_output=True, text=True, errors='replace')
    seen = {}
    for line in proc.stdout.splitlines():
        where, kind = line.split(',')[:2]
        below = where[len('/ControlSet001/Services/'):].lower().replace('/', '\\')
        key, name = (below, None) if kind == 'KEY' else below.rpartition('\\')[::2]
        if re.match(r'(eventlog\\system\\)?korvex', key):
            seen.setdefault(key, {})
            if name is not None:
                seen[key][name] = REGLOOKUP_TYPES.get(kind, kind)
    want = {k: {n.lower(): t for n, (t, _) in v.items()} for k, v in keys.items()}
    return proc.returncode == 0 and 'ERROR' not in proc.stderr and seen == want


class State:
    """Hive bytes, driver files and the temporaries runs leave."""

    def __init__(self, top):
        self.top = top
        self.primary = pathlib.Path(top, HIVE).read_bytes()
        self.files, self.temporaries = {}, []
        for name in sorted(os.listdir(os.path.join(top, DRIVERS))):
            path = os.path.join(top, DRIVERS, name)
            if name.startswith('.') and name.endswith('.tmp'):
                self.temporaries.append(name)
            elif os.path.isfile(path):
                self.files[name] = pathlib.Path(path).read_bytes()
        config, self.logs = os.path.dirname(os.path.join(top, HIVE)), {}
        for name in sorted(os.listdir(config)):
            if name.upper().startswith('SYSTEM.LOG'):
                self.logs[name] = pathlib.Path(config, name).read_bytes()
            elif name != 'SYSTEM':
                self.temporaries.append(name)
        self.hive = replayed(self.primary, self.logs)
        self._keys = False

    def loaded(self):
        """A file holding the hive as it loads."""
        path = os.path.join(self.top, HIVE)
        if self.hive != self.primary:
            path = os.path.join(self.top, 'replayed.hive')
            with open(path, 'wb') as f:
                f.write(self.hive)
        return path

    def keys(self):
        """The driver keys, or None when hivex cannot read the hive."""
        if self._keys is False:
            self._keys = backends.driver_keys(self.loaded())
        return self._keys

    def problems(self, lab, before, after):
        """Breaches of the boot rules, and which side the keys are on."""
        # The hive as it loads, primary and logs together, is the old or the new one.
        problems = lab.hive_problems(self.top) if self.hive != before.hive else []
        side = 'old' if self.hive == before.hive or self.keys() == before.keys() else \
            'new' if self.keys() == after.keys() else None
        if side is None:
            problems.append('driver keys are a mixture, or hivex cannot read the hive')
        elif self.hive != before.hive and self.keys() is not None and \
                not reglookup_agrees(self.loaded(), self.keys()):
            problems.append('reglookup reads other driver keys than hivex')
        for name, data in self.files.items():
            if name.startswith('korvex') and data not in (before.files.get(name),
                                                          after.files.get(name)):
                problems.append('%s holds a torn or foreign file' % name)
        return problems, side


class Operation:
    """One operation made ready: its template, the states before and after
    a clean run, and the system calls of each process of that run."""

    def __init__(self, lab, name, args, installed, keys, dirty=None):
        self.lab, self.name, self.args = lab, name, args
        self.base = os.path.join(lab.scratch, name)
        self.template = os.path.join(self.base, 'template')
        lab.template(self.template, installed, keys, dirty)
        self.before = State(self.template)
        status, self.normal = lab.run(self.copy('clean'), args)
        if status != 0:
            raise SystemExit('%s fails without any fault:\n%s' % (name, self.normal))
        self.after = State(os.path.join(self.base, 'clean'))
        top = self.copy('record')
        state = os.path.join(top, 'state')
        os.mkdir(state)
        env = lab.env(top, COMSPEC=lab.wrapper, STATE=state, MODE='record',
                      CMD=lab.tool('cmd.exe'))
        lab.run(top, args, env, ['strace', '-y', '-s', '256', '-o', state + '/cmd.0.trace'])
        self.traces = [os.path.join(state, 'cmd.%d.trace' % n) for n in range(100)
                       if os.path.exists(os.path.join(state, 'cmd.%d.trace' % n))]

    def copy(self, name):
        top = os.path.join(self.base, name)
        shutil.copytree(self.template, top, symlinks=True)
        return top

    def points(self, every, syscalls=None):
        """(process, command, system call, occurrence): every n-th of each
        call in each process, always with its first and last."""
        points = []
        for process, trace in enumerate(self.traces):
            with open(trace, errors='replace') as f:
                text = f.read()
            command = re.search(r'"/c", "(\w+)', text)
            counts = collections.Counter(re.findall(r'^([a-z_0-9]+)\(', text, re.M))
            for call, count in sorted(counts.items()):
                if syscalls is None or call in syscalls:
                    points += [(process, command.group(1).lower() if process else 'drvinst',
                                call, n) for n in range(1, count + 1)
                               if n % every == 1 or every == 1 or n == count]
        return points

    def inject(self, top, point, mode, action):
        process, _, call, occurrence = point
        inject = 'inject=%s:%s:when=%d' % (call, action, occurrence)
        state = os.path.join(top, 'state')
        os.makedirs(state, exist_ok=True)
        env = self.lab.env(top, COMSPEC=self.lab.wrapper, STATE=state, MODE=mode,
                           CMD=self.lab.tool('cmd.exe'), CALL=str(process), INJECT=inject,
                           SYSCALL=call)
        trace = os.path.join(state, 'inject.trace')
        prefix = ['strace', '-o', trace, '-e', 'trace=' + call, '-e', inject] if not process else []
        status, output = self.lab.run(top, self.args, env, prefix)
        try:
            with open(trace, errors='replace') as f:
                reached = re.search(r'INJECTED|killed by SIGKILL', f.read()) is not None
        except FileNotFoundError:
            reached = False
        return status, output, reached

    def durability(self):
        """A file renamed into place was flushed after its last write, and
        the directory of each rename and unlink is flushed before the end."""
        found, steps = [], 0
        for trace in self.traces:
            written, unsynced = {}, {}
            with open(trace, errors='replace') as f:
                for line in f:
                    m = re.match(r'(write|pwrite64|fsync|fdatasync)\(\d+<([^>]*)>', line)
                    r = re.match(r'(rename|unlink)\w*\((?:AT_FDCWD, |\d+<([^>]*)>, )?"([^"]+)"'
                                 r'(?:, (?:AT_FDCWD, )?"([^"]+)")?.*= 0$', line)
                    if m and m.group(1).startswith(('write', 'pwrite')):
                        if m.group(2).endswith('/SYSTEM') and any('.LOG' in w for w in written):
                            found.append('the hive written before its log was flushed')
                        written[os.path.normpath(m.group(2))] = True
                    elif m and line.rstrip().endswith('= 0'):
                        written.pop(os.path.normpath(m.group(2)), None)
                        unsynced.pop(os.path.normpath(m.group(2)), None)
                    elif r:
                        steps += 1
                        path = os.path.normpath(os.path.join(r.group(2) or '', r.group(3)))
                        if r.group(1) == 'rename' and written.get(path):
                            found.append('%s renamed before it was flushed' % path)
                        target = os.path.normpath(r.group(4) or path)
                        unsynced[os.path.dirname(target)] = '%s of %s' % (r.group(1), target)
            found += ['%s never followed by a flush of its directory' % w
                      for w in unsynced.values()]
            found += ['%s written but never flushed' % w for w in written if w.endswith('/SYSTEM')]
        return found, steps


def judge_crash(op, top, status, output):
    state = State(top)
    problems, side = state.problems(op.lab, op.before, op.after)
    side = side or 'mixed'
    if state.temporaries or (state.hive, state.files) != (op.before.hive, op.before.files):
        for extra in ([], ['-F']):  # a user's rerun: plainly, then forced
            status, output = op.lab.run(top, extra + op.args)
            state = State(top)
            done = (not state.temporaries and not op.lab.hive_problems(top) and
                    state.keys() == op.after.keys() and
                    state.files.get('korvex1.sys') == op.after.files.get('korvex1.sys'))
            if status == 0 and done:
                break
            if extra or op.name == 'uninstall':
                problems.append('a rerun (status %s) does not finish the job' % status)
            side += ', rerun needs -F'
    return problems, side


def judge_fault(op, top, status, output):
    state = State(top)
    problems, _ = state.problems(op.lab, op.before, op.after)
    if status is None or status < 0 or status > 128:
        return problems + ['the tool died with status %s' % status], 'died'
    if status == 0:
        if state.keys() != op.after.keys():
            problems.append('ended 0 without writing the driver keys')
        if state.files != op.after.files:
            problems.append('ended 0 without the files of a finished run')
        return problems, 'absorbed'
    if not set(output.splitlines()) - set(op.normal.splitlines()):
        problems.append('failed without a message')
    # The one failure after which the change stands says so.
    done = 'directory could not be flushed' in output and state.keys() == op.after.keys()
    if state.hive != op.before.hive and not done:
        problems.append('failed, yet the hive changed')
    if not done and 'korvex1.sys' in op.before.files and 'korvex1.sys' not in state.files:
        problems.append('the installed driver is gone although the run failed')
    return problems, 'done, flush reported' if done else 'failed cleanly'


def injections(lab, opts):
    """The crash and fault checks: one injector, one table of actions."""
    broken = 0
    actions = [('crash', 'signal=SIGKILL', None, judge_crash, opts.crash_every)] \
        if 'crash' in opts.checks else []
    if 'faults' in opts.checks:
        actions += [('fault', 'error=' + e, SYSCALLS, judge_fault, opts.fault_every) for e in
                    ('ENOSPC', 'EIO', 'EACCES')]
    for row in OPERATIONS:
        op = Operation(lab, *row)
        if 'crash' in opts.checks:
            found, steps = op.durability()
            broken += len(found)
            print('durability/%s: %d renames and unlinks; %s' % (
                op.name, steps, '; '.join(found) or 'each flushed in order'))
        for mode, action, syscalls, judge, every in actions:
            tally, known = collections.Counter(), 0
            points = op.points(every, syscalls)
            for i, point in enumerate(points):
                top = op.copy('%s-%d' % (action, i))
                status, output, reached = op.inject(top, point, mode, action)
                problems, outcome = judge(op, top, status, output)
                tally[outcome if reached else 'not reached'] += 1
                real = [p for p in problems if not any(
                    (op.name, point[1]) == k[:2] and p.startswith(k[2]) for k in KNOWN)]
                known += len(problems) - len(real)
                for p in real:
                    print('    BROKEN at %s %s#%d: %s' % (point[1], point[2], point[3], p))
                broken += bool(real)
                if not real:
                    shutil.rmtree(top)
            print('%s %s/%s: %d points; %s; %d known' % (mode, action, op.name, len(points), ', '.join(
                '%s %d' % kv for kv in sorted(tally.items())), known))
    return broken


def concurrency(lab, opts):
    """Runs hold the tree's lock from their first look at the registry to
    their end and start interpreters only then, so a stand-in noting who
    called it gives the order they held it in; the tree must end as that
    serial order would leave it."""
    logger = script(lab.scratch, 'logger.sh', '#!/bin/sh\necho "$RUN" >> "$LOG"\nexec "$CMD" "$@"\n')
    rng, broken = random.Random(1), 0
    for number in range(opts.rounds):
        top = os.path.join(lab.scratch, 'round%d' % number)
        lab.template(top, {}, {})
        runs = [(rng.choice(['korvex1', 'korvex2']), rng.choice([[], ['-F'], ['-U']]))
                for _ in range(20)]
        procs = []
        for i, (driver, extra) in enumerate(runs):
            os.makedirs(os.path.join(top, 'work%d' % i))
            shutil.copy(os.path.join(lab.scratch, 'new.sys'),
                        os.path.join(top, 'work%d' % i, driver + '.sys'))
            env = lab.env(top, COMSPEC=logger, RUN=str(i), LOG=os.path.join(top, 'order'),
                          CMD=lab.tool('cmd.exe'))
            procs.append(subprocess.Popen([lab.tool('drvinst')] + extra + ['-D', driver],
                                          cwd=os.path.join(top, 'work%d' % i), env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT))
        problems = ['run %d ended %d' % (i, p.returncode) for i, p in enumerate(procs)
                    if p.wait(120)]
        problems += lab.hive_problems(top)
        state, last = State(top), {}
        with open(os.path.join(top, 'order')) as f:
            for line in f:
                driver, extra = runs[int(line)]
                last[driver] = '-U' not in extra
        for driver, installed in last.items():
            mine = {k: v for k, v in (state.keys() or {}).items() if k.endswith(driver)}
            if mine != (cases.installed_keys(driver) if installed else {}) or \
                    (driver + '.sys' in state.files) != installed:
                problems.append('%s is not as the last run in lock order left it' % driver)
        if state.temporaries:
            problems.append('temporary files left: %s' % state.temporaries)
        began = time.monotonic()
        if lab.run(top, ['-U', '-D', 'korvex1'], timeout=10, work='work0')[0] != 0 or \
                time.monotonic() - began > 5:
            problems.append('a run afterwards does not finish at once: a lock is left held')
        for p in problems:
            print('    round %d: %s' % (number, p))
        broken += bool(problems)
    print('concurrency: %d rounds of 20 simultaneous runs, %d broke a rule' % (opts.rounds, broken))
    return broken


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--crash-every', type=int, default=1, help='try every n-th crash point')
    parser.add_argument('--fault-every', type=int, default=1, help='try every n-th fault point')
    parser.add_argument('--rounds', type=int, default=20, help='concurrency rounds')
    parser.add_argument('checks', nargs='*', default=['crash', 'faults', 'concurrency'])
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='drvinst-reliability-')
    lab = Lab(opts.bin, scratch)
    broken = injections(lab, opts)
    broken += concurrency(lab, opts) if 'concurrency' in opts.checks else 0
    if broken:
        print('reliability: rules broken; trees kept in %s' % scratch)
        return 1
    shutil.rmtree(scratch)
    print('reliability: all checks passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
