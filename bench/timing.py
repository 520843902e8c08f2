"""Timing contenders side by side: every repetition runs each contender once,
in an order that rotates, on a tree prepared afresh outside the timed part,
so that drift of the machine (cache, writeback, other load) spreads over
all of them instead of favouring whichever ran first."""

import math
import os
import statistics
import subprocess
import time


class Contender:
    """One way of doing the job.  prepare() lays out its input and returns
    the steps to time: (argv, cwd, env) triples run one after the other,
    each of which must succeed."""

    def __init__(self, name, prepare):
        self.name = name
        self.prepare = prepare


def run_steps(steps):
    """Wall-clock milliseconds for the steps, which must all succeed."""
    start = time.perf_counter()
    for argv, cwd, env in steps:
        done = subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode != 0:
            raise RuntimeError('%s failed (%d): %s' % (' '.join(argv), done.returncode,
                                                       done.stderr.decode(errors='replace')))
    return (time.perf_counter() - start) * 1000.0


def side_by_side(contenders, reps, settle=True):
    """{name: [milliseconds, ...]} over reps rounds.  With settle, dirty
    data from the preparation is flushed before the clock starts, so that a
    run that forces its own file to disk does not also wait for the copy."""
    samples = {c.name: [] for c in contenders}
    for rep in range(reps):
        shift = rep % len(contenders)
        for contender in contenders[shift:] + contenders[:shift]:
            steps = contender.prepare()
            if settle:
                os.sync()
            samples[contender.name].append(run_steps(steps))
    return samples


def median(values):
    return statistics.median(values)


def spread(values):
    """The middle half of the samples, the spread a reader can trust more
    than the extremes on a shared machine."""
    if len(values) < 4:
        return '%.1f-%.1f' % (min(values), max(values))
    low, _, high = statistics.quantiles(values, n=4)
    return '%.1f-%.1f' % (low, high)


def slope(x1, y1, x2, y2):
    """The exponent k in y ~ x^k between two points: 1 is linear growth."""
    if min(x1, y1, x2, y2) <= 0 or x1 == x2:
        return float('nan')
    return math.log(y2 / y1) / math.log(x2 / x1)


def table(headers, rows):
    """A Markdown table, numbers already formatted by the caller."""
    lines = ['| ' + ' | '.join(headers) + ' |',
             '|' + '|'.join('---:' if i else '---' for i in range(len(headers))) + '|']
    lines += ['| ' + ' | '.join(str(cell) for cell in row) + ' |' for row in rows]
    return '\n'.join(lines)
