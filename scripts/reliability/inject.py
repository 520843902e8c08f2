"""Injection points: every system call a run makes, in the tool and in each
command interpreter it starts, and a way to hit exactly one of them.

strace counts a system call per traced process, so the tool and the
interpreters are traced separately: the tool directly, each interpreter
through a stand-in named by COMSPEC that counts its calls and traces only
the one chosen.  A point is (process, system call, occurrence), process 0
being the tool and k the k-th interpreter it started."""

import argparse
import collections
import os
import re
import signal
import subprocess
import tempfile
import time

import trees

WRAPPER = r'''#!/bin/sh
# Stands in for the command interpreter during a reliability run.
state=$RELIABILITY_STATE
n=$(( $(cat "$state/calls" 2>/dev/null || echo 0) + 1 ))
echo $n > "$state/calls"
if [ "$RELIABILITY_MODE" = record ]; then
    exec strace -y -s 256 -o "$state/cmd.$n.trace" "$RELIABILITY_CMD" "$@"
fi
if [ "$n" != "$RELIABILITY_CALL" ]; then
    exec "$RELIABILITY_CMD" "$@"
fi
strace -o "$state/inject.trace" -e "trace=$RELIABILITY_SYSCALL" -e "$RELIABILITY_INJECT" \
    "$RELIABILITY_CMD" "$@"
status=$?
# A crash takes the whole run down, not just the interpreter: the tool is
# waiting for us and must not go on to roll anything back.
if [ "$RELIABILITY_MODE" = crash ] && [ $status -gt 128 ]; then
    kill -KILL $PPID
fi
exit $status
'''

CALL = re.compile(r'^([a-z_0-9]+)\(')
# strace cuts long strings short and marks the cut with "...", which a
# long build path to the interpreter gets.
COMMAND = re.compile(r'^execve\("[^"]*"(?:\.\.\.)?, \["[^"]*"(?:\.\.\.)?, "/c", "(\w+)')


class Point(collections.namedtuple('Point', 'process command syscall occurrence')):
    def label(self):
        where = 'drvinst' if self.process == 0 else 'cmd#%d(%s)' % (self.process, self.command)
        return '%s %s#%d' % (where, self.syscall, self.occurrence)


def write_wrapper(directory):
    path = os.path.join(directory, 'interpreter.sh')
    with open(path, 'w') as f:
        f.write(WRAPPER)
    os.chmod(path, 0o755)
    return path


def _count(trace_path):
    counts = collections.Counter()
    command = None
    with open(trace_path, errors='replace') as f:
        for line in f:
            m = CALL.match(line)
            if m:
                counts[m.group(1)] += 1
            c = COMMAND.match(line)
            if c and command is None:
                command = c.group(1).lower()
    return counts, command


def record(tools, wrapper, template, op, top):
    """[(command, Counter of system calls, trace file)] for the tool and each
    interpreter, from one run without faults."""
    trees.copy_tree(template, top)
    state = os.path.join(top, 'state')
    os.mkdir(state)
    env = tools.env(top, COMSPEC=wrapper, RELIABILITY_STATE=state, RELIABILITY_MODE='record',
                    RELIABILITY_CMD=tools.tool('cmd.exe'))
    trace = os.path.join(state, 'drvinst.trace')
    status, output = trees.run_tool(tools, top, op.args, env, prefix=['strace', '-y', '-s', '256', '-o', trace])
    if status != 0:
        raise SystemExit('%s does not run cleanly under strace:\n%s' % (op.name, output))
    processes = [(None, _count(trace)[0], trace)]
    while os.path.exists(os.path.join(state, 'cmd.%d.trace' % len(processes))):
        trace = os.path.join(state, 'cmd.%d.trace' % len(processes))
        counts, command = _count(trace)
        processes.append((command, counts, trace))
    return processes


def all_points(processes, syscalls=None):
    points = []
    for process, (command, counts, _) in enumerate(processes):
        for name in sorted(counts):
            if syscalls is None or name in syscalls:
                points += [Point(process, command, name, n) for n in range(1, counts[name] + 1)]
    return points


def sample(points, every):
    """Every n-th occurrence of each system call in each process, always with
    its first and last, so that each kind stays covered."""
    if every <= 1:
        return points
    last = collections.Counter()
    for p in points:
        last[p.process, p.syscall] = max(last[p.process, p.syscall], p.occurrence)
    return [p for p in points
            if p.occurrence % every == 1 or p.occurrence == last[p.process, p.syscall]]


def _group_alive(pgid):
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != 'Z':
            return True
    return False


def _bury(pgid):
    """Kills what is left of a run's process group and waits until it is
    gone, so that no orphaned interpreter changes the tree under the check."""
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        return
    deadline = time.time() + 10
    while _group_alive(pgid) and time.time() < deadline:
        time.sleep(0.005)


def run_point(tools, wrapper, top, op, point, mode, action, args=None):
    """Runs op in top with action ('signal=SIGKILL', 'error=ENOSPC', ...)
    at point; mode 'crash' takes the whole run down with the interpreter.
    Gives (status, output, whether the injection happened)."""
    inject = 'inject=%s:%s:when=%d' % (point.syscall, action, point.occurrence)
    state = os.path.join(top, 'state')
    os.makedirs(state, exist_ok=True)
    env = tools.env(top, COMSPEC=wrapper, RELIABILITY_STATE=state, RELIABILITY_MODE=mode,
                    RELIABILITY_CMD=tools.tool('cmd.exe'), RELIABILITY_CALL=str(point.process),
                    RELIABILITY_INJECT=inject, RELIABILITY_SYSCALL=point.syscall)
    trace = os.path.join(state, 'inject.trace')
    prefix = ['strace', '-o', trace, '-e', 'trace=' + point.syscall, '-e', inject] \
        if point.process == 0 else []
    proc = subprocess.Popen(prefix + [tools.tool('drvinst')] + (args or op.args),
                            cwd=os.path.join(top, 'work'), env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        output, _ = proc.communicate(timeout=60)
    finally:
        _bury(proc.pid)
    return proc.returncode, output.decode('latin-1'), _injected(trace)


def _injected(trace):
    try:
        with open(trace, errors='replace') as f:
            return any('(INJECTED' in line or 'killed by SIGKILL' in line for line in f)
    except FileNotFoundError:
        return False


class Prepared(collections.namedtuple('Prepared',
                                      'base template before after normal processes points')):
    """An operation made ready for injection: its template tree, the states
    before and after a clean run, that run's output, the recorded processes
    and the points at which to inject."""


def prepare(tools, wrapper, op, scratch, every, syscalls=None):
    base = os.path.join(scratch, op.name)
    template = os.path.join(base, 'template')
    trees.make_template(tools, op, template)
    before = trees.State(template)
    after, normal = trees.finish_state(tools, op, template, os.path.join(base, 'after'))
    processes = record(tools, wrapper, template, op, os.path.join(base, 'record'))
    points = sample(all_points(processes, syscalls), every)
    return Prepared(base, template, before, after, normal, processes, points)


def run_operations(description, prefix, check_operation):
    """The command line the crash and fault checks share: each operation's
    template tree, then check_operation on it; the scratch trees are kept
    when anything broke, for a look at what was left."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--every', type=int, default=1,
                        help='try every n-th occurrence of each system call (default: all)')
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--only', help='run only this operation')
    parser.add_argument('--keep', action='store_true', help='keep the scratch directory')
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix=prefix)
    tools = trees.Tools(opts.bin, scratch)
    wrapper = write_wrapper(scratch)
    broken = 0
    for op in trees.OPERATIONS:
        if opts.only in (None, op.name):
            broken += check_operation(tools, wrapper, op, scratch, opts.every, opts.jobs)
    return trees.finish_scratch(scratch, broken > 0, opts.keep)
