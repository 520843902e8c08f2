#!/usr/bin/env python3
"""Starts 20 runs at once on one tree, installing and uninstalling korvex1
and korvex2 in a mix, each from a working directory of its own, and checks
that the tree ends as some serial order of the runs would leave it:

  - every run ends 0, and the hive is sound and readable;
  - each driver's keys are either exactly the installed ones or absent,
    and so is its file, as the last run for that driver left them;
  - no temporary file is left, and a run afterwards finishes promptly, so
    no lock is left held.

Runs hold the tree's lock from their first look at the registry to their
end, and start the interpreter only while they hold it; a stand-in for the
interpreter notes which run called it, so the notes come in the order the
runs held the lock.  A run that changes nothing (an install refused over
the same version) calls no interpreter and needs no place in the order."""

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trees  # noqa: E402
from trees import cases  # noqa: E402

DRIVERS = ['korvex1', 'korvex2']
KINDS = [[], ['-F'], ['-U']]

LOGGER = '''#!/bin/sh
echo "$RELIABILITY_RUN" >> "$RELIABILITY_LOG"
exec "$RELIABILITY_CMD" "$@"
'''


class Run:
    def __init__(self, index, driver, extra):
        self.index = index
        self.driver = driver
        self.args = extra + ['-D', driver]
        self.installs = '-U' not in extra


def write_logger(directory):
    path = os.path.join(directory, 'logger.sh')
    with open(path, 'w') as f:
        f.write(LOGGER)
    os.chmod(path, 0o755)
    return path


def start(tools, logger, top, run):
    work = os.path.join(top, 'work%d' % run.index)
    os.makedirs(work)
    with open(os.path.join(work, run.driver + '.sys'), 'wb') as f:
        f.write(tools.blobs['new'])
    env = tools.env(top, COMSPEC=logger, RELIABILITY_RUN=str(run.index),
                    RELIABILITY_LOG=os.path.join(top, 'order'),
                    RELIABILITY_CMD=tools.tool('cmd.exe'))
    run.proc = subprocess.Popen([tools.tool('drvinst')] + run.args, cwd=work, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)


def expected(top, runs):
    """The end state of each driver, installed or not, by the last run that
    changed it; and how many runs changed the tree."""
    with open(os.path.join(top, 'order')) as f:
        order = [runs[int(line)] for line in f]
    last = {}
    for run in order:
        last[run.driver] = run.installs
    return last, len(set(order))


def driver_problems(state, driver, installed):
    keys = state.keys()
    mine = {k: v for k, v in keys.items() if k == driver or k.endswith('\\' + driver)}
    want = cases.installed_keys(driver) if installed else {}
    problems = []
    if mine != want:
        problems.append('%s keys are %s, expected %s' % (driver, sorted(mine) or 'absent',
                                                         'installed' if installed else 'absent'))
    present = driver + '.sys' in state.files
    if present != installed:
        problems.append('%s.sys is %s, expected %s' % (
            driver, 'present' if present else 'absent', 'present' if installed else 'absent'))
    return problems


def round_problems(tools, top, runs):
    """Breaches of the rules, and the number of runs that changed the tree."""
    problems = ['run %d (%s) ended %d: %s' % (r.index, ' '.join(r.args), r.proc.returncode,
                                            r.output.strip())
                for r in runs if r.proc.returncode != 0]
    problems += trees.hive_problems(tools, top)
    state = trees.State(top)
    if state.keys() is None:
        return problems + ['hivex cannot read the hive'], 0
    last, changed = expected(top, runs)
    for driver, installed in last.items():
        problems += driver_problems(state, driver, installed)
    if state.temporaries:
        problems.append('temporary files left: %s' % ', '.join(state.temporaries))
    return problems, changed


def check_lock_released(tools, top):
    """A run after the crowd must finish at once."""
    os.makedirs(os.path.join(top, 'work'), exist_ok=True)
    began = time.monotonic()
    status, output = trees.run_tool(tools, top, ['-U', '-D', 'korvex1'], timeout=10)
    took = time.monotonic() - began
    if status != 0 or took > 5:
        return ['a run afterwards ended %d after %.1f s: %s' % (status, took, output.strip())]
    return []


def one_round(tools, logger, scratch, number, count, rng):
    top = os.path.join(scratch, 'round%d' % number)
    subprocess.run([tools.tool('mktree'), os.path.join(top, 'tree')], check=True,
                   stdout=subprocess.DEVNULL)
    runs = [Run(i, rng.choice(DRIVERS), rng.choice(KINDS)) for i in range(count)]
    for run in runs:
        start(tools, logger, top, run)
    for run in runs:
        run.output = run.proc.communicate(timeout=120)[0].decode('latin-1')
    problems, changed = round_problems(tools, top, runs)
    problems += check_lock_released(tools, top)
    if not problems:
        trees.remove_tree(top)
    return problems, changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--rounds', type=int, default=20)
    parser.add_argument('--runs', type=int, default=20, help='runs started at once per round')
    parser.add_argument('--seed', type=int, default=1)
    opts = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix='drvinst-concurrency-')
    tools = trees.Tools(opts.bin, scratch)
    logger = write_logger(scratch)
    rng = random.Random(opts.seed)
    failed, changed = 0, 0
    for number in range(opts.rounds):
        problems, count = one_round(tools, logger, scratch, number, opts.runs, rng)
        changed += count
        failed += bool(problems)
        for p in problems:
            print('    round %d: %s' % (number, p))
    print('concurrency: %d rounds of %d simultaneous runs (seed %d), %d runs changed the tree; '
          '%d rounds broke a rule' % (opts.rounds, opts.runs, opts.seed, changed, failed))
    return trees.finish_scratch(scratch, failed)


if __name__ == '__main__':
    sys.exit(main())
