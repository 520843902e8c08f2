#!/usr/bin/env python3
"""Reliability checks of the POSIX build on offline trees (docs/RELIABILITY.md):
crash, faults, concurrency.  A tree is judged on what decides whether Windows
still boots from it: the hive as it loads passes hivecheck and holds every key
and value of the old or the new one, and every driver file is whole and one
that its name held before or after."""

import argparse
import codecs
import collections
import concurrent.futures
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
KORVEX2 = 'controlset001\\services\\korvex2'
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
    # Old-format logs, LOG2 older than the primary: LOG1 alone applies.
    ('install-old', ['-D', 'korvex1'], {}, {}, 'old'),
    # A hive with a second name is written whole and renamed into place.
    ('install-linked', ['-D', 'korvex1'], {}, {}, 'linked'),
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
# Outcomes that are right although the rules below call them breaches, by
# (operation, process, start of the problem).  An uninstall whose del fails
# has removed the keys first, as it must, and ends with del's status; a del
# that removed the file but could not flush its directory says so.
KNOWN = [('uninstall', 'del', 'failed, yet the hive changed'),
         ('uninstall', 'del', 'the installed driver is gone')]


def script(directory, name, text):
    path = os.path.join(directory, name)
    pathlib.Path(path).write_text(text)
    os.chmod(path, 0o755)
    return path


def everything(hive):
    """Every key and value as hivex reads them, or None when it cannot."""
    proc = subprocess.run(['hivexregedit', '--export', '--prefix', 'HKLM', hive, '\\'],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return None if proc.returncode else regfile.parse(proc.stdout.decode('latin-1'), 'HKLM')


def unstamped(image):
    """The image without the times a run writes (the base block's, each
    bin's, each key's): two runs of one change leave the same bytes."""
    image, at = bytearray(image), 4096
    image[0x0C:0x14], image[0x1FC:0x200] = bytes(8), bytes(4)
    while image[at:at + 4] == b'hbin' and struct.unpack_from('<I', image, at + 8)[0] >= 32:
        end, cell = at + struct.unpack_from('<I', image, at + 8)[0], at + 32
        image[at + 0x14:at + 0x1C] = bytes(8)
        while cell + 16 <= end:
            if image[cell + 4:cell + 6] == b'nk':
                image[cell + 8:cell + 16] = bytes(8)
            cell += abs(struct.unpack_from('<i', image, cell)[0]) or end
        at = end
    return bytes(image)


def role(path):
    """Which of the two files an in-place commit orders its writes between."""
    return 'hive' if path.endswith('/SYSTEM') else 'log' if '.LOG' in path else None


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
            top, dict(keys=keys, **({'dirty': dirty} if dirty not in (None, 'linked') else {})))
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
    """The hive as it loads, the driver files and the temporaries runs leave."""

    def __init__(self, lab, top):
        self.primary, self.image = pathlib.Path(top, HIVE).read_bytes(), os.path.join(top, 'loaded.hive')
        self.files, self.temporaries = {}, []
        for name in sorted(os.listdir(os.path.join(top, DRIVERS))):
            path = os.path.join(top, DRIVERS, name)
            if name.startswith('.') and name.endswith('.tmp'):
                self.temporaries.append(name)
            elif os.path.isfile(path):
                self.files[name] = pathlib.Path(path).read_bytes()
        self.temporaries += [n for n in sorted(os.listdir(os.path.dirname(os.path.join(top, HIVE))))
                             if n != 'SYSTEM' and not n.upper().startswith('SYSTEM.LOG')]
        # A dirty hive is replayed by the engine, whose replay gives what
        # Windows gives on the hives Windows wrote (tests/realhives), and
        # the result must be sound.
        pathlib.Path(self.image).unlink(missing_ok=True)
        proc = subprocess.run([lab.tool('hivecheck'), os.path.join(top, HIVE), self.image],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors='replace')
        self.check = [proc.stdout.strip()] if proc.returncode else []
        self.hive = pathlib.Path(self.image).read_bytes() if os.path.exists(self.image) else None
        self._content = False

    def content(self):  # read when first asked for
        if self._content is False:
            self._content = everything(self.image)
        return self._content

    def keys(self):
        """The driver keys, or None when hivex cannot read the hive."""
        below = r'controlset001\\services\\((eventlog\\system\\)?korvex.*)'
        return None if self.content() is None else {
            re.match(below, k).group(1): v for k, v in self.content().items() if re.match(below, k)}

    def problems(self, before, after):
        """Breaches of the boot rules, and which side the keys are on."""
        # The hive as it loads holds every key and value of the old or the new
        # one, and when replayed, the very image the commit was writing.
        problems = list(self.check)
        side = 'old' if self.hive == before.hive or self.content() == before.content() else \
            'new' if self.content() == after.content() else None
        if side is None:
            problems.append('the hive is neither the old one nor the new one, or hivex cannot read it')
        elif self.hive != self.primary and \
                unstamped(self.hive) != unstamped((before if side == 'old' else after).hive):
            problems.append('the hive replayed is not the %s image' % side)
        elif self.hive != before.hive and self.keys() is not None and \
                not reglookup_agrees(self.image, self.keys()):
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
        self.linked = dirty == 'linked'
        lab.template(self.template, installed, keys, dirty)
        self.before = State(lab, self.template)
        # What mkdirty left in the logs, known apart from the engine: three
        # values of korvex2 (none in a stale LOG2), over the primary as it is.
        logged = {} if dirty == 'stale' else {KORVEX2: cases.pending((1, 2, 3))['korvex2']}
        if dirty in ('split', 'stale', 'old') and \
                self.before.content() != dict(everything(os.path.join(self.template, HIVE)), **logged):
            raise SystemExit('%s: the hive does not load with what its logs hold' % name)
        status, self.normal = lab.run(self.copy('clean'), args)
        if status != 0:
            raise SystemExit('%s fails without any fault:\n%s' % (name, self.normal))
        self.after = State(lab, os.path.join(self.base, 'clean'))
        self.before.content(), self.after.content()  # read once, before points share them
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
        if self.linked:
            os.link(os.path.join(top, HIVE), os.path.join(top, 'SYSTEM.link'))
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
        """Each step on disk before the next.  A file renamed into place was
        flushed after its last write, and the directory of each rename and
        unlink is flushed before the end.  In place: the log entry and a new
        log's name before the dirty mark, that mark before the first page,
        the pages before the clean mark, and that before the end."""
        found, steps = [], 0
        for trace in self.traces:
            written, unsynced, logged = {}, {}, False
            mark = 'clean' if self.before.primary[4:8] == self.before.primary[8:12] else 'dirty'
            with open(trace, errors='replace') as f:
                for line in f:
                    m = re.match(r'(write|pwrite64|fsync|fdatasync)\(\d+<([^>]*)>'
                                 r'(?:, "((?:[^"\\]|\\.)*)"\.*, \d+, (\d+)\))?', line)
                    r = re.match(r'(rename|unlink|open)\w*\((?:AT_FDCWD, |\d+<([^>]*)>, )?"([^"]+)"'
                                 r'(?:, (?:AT_FDCWD, )?"([^"]+)")?(.*O_CREAT.*= \d+<|.*= 0$)', line)
                    path = os.path.normpath(m.group(2)) if m else None
                    if m and m.group(1).startswith(('write', 'pwrite')):
                        if role(path) and {role(w) for w in written} - {None, role(path)}:
                            found.append('the %s written before the other was flushed' % role(path))
                        head = codecs.escape_decode(m.group(3))[0] if m.group(4) == '0' else None
                        if path.endswith('/SYSTEM') and head and head[4:8] != head[8:12]:
                            if not logged or any('.LOG' in w for w in unsynced.values()):
                                found.append('the dirty mark written before the log entry was on disk')
                            mark = 'unflushed'
                        elif path.endswith('/SYSTEM') and head:
                            if path in written:
                                found.append('the clean mark written before the pages were flushed')
                            mark, logged = 'clean', False
                        elif path.endswith('/SYSTEM') and mark != 'dirty':
                            found.append('a page written before the dirty mark was flushed')
                        written[path] = True
                    elif m and line.rstrip().endswith('= 0'):
                        logged = logged or ('.LOG' in path and path in written)
                        mark = 'dirty' if path.endswith('/SYSTEM') and mark == 'unflushed' else mark
                        written.pop(path, None)
                        unsynced.pop(path, None)
                    elif r and (r.group(1) != 'open' or '.LOG' in r.group(3)):
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
    state = State(op.lab, top)
    problems, side = state.problems(op.before, op.after)
    side = side or 'mixed'
    if state.temporaries or (state.hive, state.files) != (op.before.hive, op.before.files):
        for extra in ([], ['-F']):  # a user's rerun: plainly, then forced
            status, output = op.lab.run(top, extra + op.args)
            state = State(op.lab, top)
            done = (not state.temporaries and not state.check and
                    state.content() == op.after.content() and
                    state.files.get('korvex1.sys') == op.after.files.get('korvex1.sys'))
            if status == 0 and done:
                break
            if extra or op.name == 'uninstall':
                problems.append('a rerun (status %s) does not finish the job' % status)
            side += ', rerun needs -F'
    return problems, side


def judge_fault(op, top, status, output):
    state = State(op.lab, top)
    problems, _ = state.problems(op.before, op.after)
    if status is None or status < 0 or status > 128:
        return problems + ['the tool died with status %s' % status], 'died'
    if status == 0:
        if state.content() != op.after.content():
            problems.append('ended 0 without writing the driver keys')
        if state.files != op.after.files:
            problems.append('ended 0 without the files of a finished run')
        return problems, 'absorbed'
    if not set(output.splitlines()) - set(op.normal.splitlines()):
        problems.append('failed without a message')
    # The one failure after which the change stands says so.
    done = 'directory could not be flushed' in output and state.content() == op.after.content()
    if state.hive != op.before.hive and not done:
        problems.append('failed, yet the hive changed')
    if not done and 'korvex1.sys' in op.before.files and 'korvex1.sys' not in state.files:
        problems.append('the installed driver is gone although the run failed')
    return problems, 'done, flush reported' if done else 'failed cleanly'


def attempt(op, mode, judge, number, point, action):
    top = op.copy('%s-%d' % (mode, number))
    status, output, reached = op.inject(top, point, mode, action)
    return (top, reached) + tuple(judge(op, top, status, output))


def injections(lab, opts):
    """The crash and fault checks: one injector, one table of actions.  A
    quick run tries every sixth point at the calls that change the disk,
    always with the first and last of each, and one error at each."""
    broken, errors = 0, ['error=' + e for e in ('ENOSPC', 'EIO', 'EACCES')]
    actions = [a for a in [('crash', ['signal=SIGKILL'], SYSCALLS if opts.quick else None, judge_crash),
                           ('faults', errors, SYSCALLS, judge_fault)] if a[0] in opts.checks]
    for row in OPERATIONS:
        op = Operation(lab, *row)
        if 'crash' in opts.checks:
            found, steps = op.durability()
            broken += len(found)
            print('durability/%s: %d renames, unlinks and new logs; %s' % (
                op.name, steps, '; '.join(found) or 'each step flushed in order'))
        for mode, kinds, syscalls, judge in actions:
            tally, known = collections.Counter(), 0
            points = op.points(6 if opts.quick else 1, syscalls)
            runs = [(p, kinds[i % len(kinds)]) for i, p in enumerate(points)] if opts.quick else \
                [(p, k) for k in kinds for p in points]
            # Points share nothing but the read-only template, so they run
            # side by side; their reports keep the points' order.
            with concurrent.futures.ThreadPoolExecutor(opts.jobs) as pool:
                results = list(pool.map(lambda n: attempt(op, mode, judge, n, *runs[n]), range(len(runs))))
            for (point, action), (top, reached, problems, outcome) in zip(runs, results):
                tally[outcome if reached else 'not reached'] += 1
                real = [p for p in problems if not any(
                    (op.name, point[1]) == k[:2] and p.startswith(k[2]) for k in KNOWN)]
                known += len(problems) - len(real)
                for p in real:
                    print('    BROKEN at %s %s#%d (%s): %s' % (point[1], point[2], point[3], action, p))
                broken += bool(real)
                if not real:
                    shutil.rmtree(top)
            outcomes = ', '.join('%s %d' % kv for kv in sorted(tally.items()))
            print('%s/%s: %d runs at %d points; %s; %d known' % (mode, op.name, len(runs), len(points),
                                                                  outcomes, known))
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
        state, last = State(lab, top), {}
        problems += state.check
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
    parser.add_argument('--quick', action='store_true', help='a sample of the crash and fault points')
    parser.add_argument('--rounds', type=int, default=20, help='concurrency rounds')
    parser.add_argument('--jobs', type=int, default=os.cpu_count() or 1, help='points tried at once')
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
