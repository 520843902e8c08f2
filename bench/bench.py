#!/usr/bin/env python3
"""Benchmark of the offline install against its peer and its floor, with
scaling tables and the Windows build under Wine.  Run through bench/run.sh,
which builds what it needs; prints a Markdown report on stdout."""

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import offline  # noqa: E402
import timing  # noqa: E402
from timing import median, slope, spread, table  # noqa: E402

SIZES = [1, 8, 30, 100]
SUBKEYS = [1, 10, 100, 1000, 10000]


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--bin', required=True, help='POSIX build directory')
    parser.add_argument('--tools', required=True, help='directory of mkbighive and hivexcost')
    parser.add_argument('--win-bin', help='Windows build directory (holds drvinst.exe)')
    parser.add_argument('--baseline-bin', action='append', default=[],
                        help='POSIX build of another revision, run alongside (repeatable)')
    parser.add_argument('--baseline-name', action='append', default=[],
                        help='how to call that revision, one per --baseline-bin')
    parser.add_argument('--measured', default='this build', help='what --bin was built from')
    parser.add_argument('--command', default='bench/run.sh', help='the command line to print')
    parser.add_argument('--quick', action='store_true', help='fewer repetitions, smaller tables')
    parser.add_argument('--reps', type=int, help='repetitions of the headline comparison')
    parser.add_argument('--work', help='work directory (default: a new temporary one)')
    parser.add_argument('--no-wine', action='store_true')
    return parser.parse_args()


def first_line(path, prefix):
    with open(path) as f:
        for line in f:
            if line.startswith(prefix):
                return line.split(':', 1)[1].strip()
    return '?'


def describe_machine(work):
    source, fstype = subprocess.run(['findmnt', '-n', '-o', 'SOURCE,FSTYPE', '-T', work],
                                    capture_output=True, text=True).stdout.split()[:2]
    device = os.path.basename(source)
    sectors = '/sys/block/%s/size' % device
    size = '%d GiB' % (int(open(sectors).read()) * 512 // 2**30) if os.path.exists(sectors) else '?'
    ram = int(first_line('/proc/meminfo', 'MemTotal').split()[0]) // 1024
    return ['- CPU: %s, `nproc` = %d' % (first_line('/proc/cpuinfo', 'model name'),
                                         os.cpu_count()),
            '- RAM: %d MiB' % ram,
            '- Disk: %s (%s, %s) holding the work directory' % (source, fstype, size),
            '- Kernel %s, Python %s' % (platform.release(), platform.python_version())]


class Hives:
    """Generated hives, made once per work directory."""

    def __init__(self, tools, work):
        self.tools = tools
        self.dir = os.path.join(work, 'hives')
        os.makedirs(self.dir, exist_ok=True)
        self.counts = {}

    def get(self, megabytes=30, old_subkeys=None, flat=False):
        """The hive of that size, with an old Services\\korvex1 holding
        old_subkeys subkeys unless that is None; flat, no list is split
        into an index of leaves."""
        name = 'system-%gmb' % megabytes + ('' if old_subkeys is None else '-old%d' % old_subkeys)
        path = os.path.join(self.dir, name + ('-flat' if flat else ''))
        if not os.path.exists(path):
            argv = [os.path.join(self.tools, 'mkbighive'), path, '--mb', str(megabytes)]
            argv += ['--leaf', '65535'] if flat else []
            if old_subkeys is not None:
                argv += ['--old-service', str(old_subkeys)]
            out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
            with open(path + '.counts', 'w') as f:
                f.write(out)
        with open(path + '.counts') as f:
            self.counts[path] = dict(kv.split('=') for kv in f.read().split())
        return path


def dirty_copy(tools, hive, steps):
    """A directory holding hive made dirty by tools/mkdirty, with a log of
    that many entries; made once."""
    config = '%s-dirty%d' % (hive, steps)
    if not os.path.isdir(config):
        os.makedirs(config)
        shutil.copyfile(hive, os.path.join(config, 'SYSTEM'))
        subprocess.run([os.path.join(tools, 'mkdirty'), os.path.join(config, 'SYSTEM'), 'log1',
                        str(steps)], check=True)
    return config


def dirty_replay(off, hives, tools, steps, reps):
    """Install on the 30 MB hive clean and dirty, side by side: what the
    replay adds should grow with the log, linearly."""
    hive = hives.get()
    tree = offline.Tree(os.path.join(off.work, 'tree'))

    def install(config):
        def prepare():
            tree.fresh(hive if config is None else os.path.join(config, 'SYSTEM'))
            for name in os.listdir(config) if config is not None else []:
                if name != 'SYSTEM':
                    shutil.copyfile(os.path.join(config, name), os.path.join(tree.config, name))
            return off.drvinst(tree)
        return prepare

    configs = {n: dirty_copy(tools, hive, n) for n in steps}
    contenders = [timing.Contender(0, install(None))]
    contenders += [timing.Contender(n, install(configs[n])) for n in steps]
    samples = timing.side_by_side(contenders, reps)
    clean = median(samples[0])
    rows, last = [['clean', '0', '%.1f' % clean, '', '']], None
    for n in steps:
        log = os.path.getsize(os.path.join(configs[n], 'SYSTEM.LOG1')) / 2**20
        extra = median(samples[n]) - clean
        per = '' if last is None else '%.1f' % ((extra - last[1]) / (log - last[0]))
        rows.append([n, '%.1f' % log, '%.1f' % median(samples[n]), '%.1f' % extra, per])
        last = (log, extra)
    print('## Install on the 30 MB hive left dirty, its changes in SYSTEM.LOG1 (median of %d)\n'
          % reps)
    print(table(['log entries', 'log MB', 'install ms', 'over clean ms',
                 'ms per MB more log'], rows))
    print('\nOver clean is the install\'s time over the clean hive\'s: a part that grows with '
          'the hive (reading it whole and handing hivex the recovered copy) and a part that '
          'grows with the log.  The last column is the slope between neighbouring rows; '
          'equal slopes mean linear in the log size.\n')


def headline(off, hives, reps, baselines):
    hive = hives.get()
    offline.check_same_result(off, hive)
    contenders = offline.install_contenders(off, hive)
    for label, baseline in baselines:
        contenders += offline.baseline_contenders(baseline, label, hive)
    samples = timing.side_by_side(contenders, reps)
    med = {name: median(values) for name, values in samples.items()}
    rows = [[name, '%.1f' % med[name], spread(values),
             '%.2f' % (med[name] / med['peer']), '%.2f' % (med[name] / med['floor'])]
            for name, values in samples.items()]
    counts = hives.counts.get(hive, {})
    print('## Install on a %s-byte SYSTEM hive (%s keys, %s values), %d runs each\n'
          % (counts.get('bytes', '?'), counts.get('keys', '?'), counts.get('values', '?'), reps))
    print(table(['run', 'median ms', 'middle half', 'x peer', 'x floor'], rows))
    print('\n- **drvinst install / peer = %.2f**' % (med['install'] / med['peer']))
    print('- **drvinst install / floor = %.2f**' % (med['install'] / med['floor']))
    print('- drvinst uninstall / peer uninstall = %.2f'
          % (med['uninstall'] / med['peer-uninstall']))
    print('- drvinst install with fsync turned off / peer = %.2f'
          % (med['install-unsynced'] / med['peer']))
    print('- reinstall of the installed version (no change, hive not rewritten): %.1f ms'
          % med['reinstall'])
    print('- peer / floor = %.2f' % (med['peer'] / med['floor']))
    for label, _ in baselines:
        for name in ('install', 'reinstall', 'uninstall'):
            print('- %s / %s (%s) = %.2f'
                  % (name, name, label, med[name] / med['%s (%s)' % (name, label)]))
    print()


def flat_lists(off, hives, reps):
    """reged edits the hive in place in C, but only where no subkey list
    is an index of leaves: on the flat hive it is a contender, on the
    system-shaped one its status is recorded."""
    if shutil.which('reged') is None:
        print('## reged\n\nNot installed (Debian package chntpw); left out.\n')
        return
    steps = offline.install_contenders(off, hives.get(), ('reged',))[0].prepare()
    done = subprocess.run(['sh', '-c', 'reged -e "$1" < "$2"', 'sh'] + steps[0][0][-2:],
                          capture_output=True)
    samples = timing.side_by_side(
        offline.install_contenders(off, hives.get(flat=True), ('install', 'peer', 'reged',
                                                               'floor')), reps)
    med = {name: median(values) for name, values in samples.items()}
    rows = [[name, '%.1f' % med[name], spread(values), '%.2f' % (med[name] / med['peer']),
             '%.2f' % (med[name] / med['reged'])] for name, values in samples.items()]
    print('## Install on the 30 MB hive with flat subkey lists, against reged (median of %d)\n'
          % reps)
    print(table(['run', 'median ms', 'middle half', 'x peer', 'x reged'], rows))
    print('\n- reged on the system-shaped hive: exit status %d (2 is success; over 128, '
          'killed by signal status - 128)\n' % done.returncode)


def exponent(x1, y1, x2, y2):
    k = slope(x1, y1, x2, y2)
    return 'n/a' if k != k else '%.2f' % k


def hivex_costs(tools, hive, reps):
    """hivexcost in fresh processes, plain and with glibc's malloc asking
    for transparent huge pages, which only an environment setting made
    before the process starts can turn on."""
    columns = [{}, {}]
    for _ in range(reps):
        for samples, tunables in zip(columns, ('', 'glibc.malloc.hugetlb=1')):
            out = subprocess.run([os.path.join(tools, 'hivexcost'), hive], check=True,
                                 capture_output=True, text=True,
                                 env=dict(os.environ, GLIBC_TUNABLES=tunables)).stdout
            for line in out.splitlines():
                name, value = line.split()
                samples.setdefault(name, []).append(float(value))
    print('## What the pieces cost on that hive (fresh process each, median of %d)\n' % reps)
    rows = [[n, '%.1f' % median(v), '%.1f' % median(columns[1][n])]
            for n, v in columns[0].items()]
    print(table(['piece', 'median ms', 'with huge pages'], rows))
    print()


def by_size(off, hives, sizes, reps):
    contenders = []
    for mb in sizes:
        for c in offline.install_contenders(off, hives.get(mb), ('install', 'floor')):
            c.name = (c.name, mb)
            contenders.append(c)
    samples = timing.side_by_side(contenders, reps)
    rows, last = [], None
    for mb in sizes:
        hive = hives.get(mb)
        install, floor = median(samples[('install', mb)]), median(samples[('floor', mb)])
        size = os.path.getsize(hive)
        grow = '' if last is None else exponent(last[0], last[1], size, install)
        rows.append(['%.1f' % (size / 2**20), hives.counts[hive]['keys'], '%.1f' % install,
                     '%.1f' % floor, '%.2f' % (install / floor), '%.2f' % (install * 2**20 / size),
                     grow])
        last = (size, install)
    print('## Install time against hive size (median of %d)\n' % reps)
    print(table(['MB', 'keys', 'install ms', 'floor ms', 'x floor', 'ms per MB', 'growth exponent'],
                rows))
    print('\nThe growth exponent k fits time ~ size^k between neighbouring rows; 1 is linear.\n')


def by_subkeys(off, hives, counts, reps, baselines):
    """Every count side by side with the hive that has no old key."""
    builds = [(off, 'install')] + [(baseline, label) for label, baseline in baselines]
    contenders = []
    for n in [None] + counts:
        for build, label in builds:
            for c in offline.install_contenders(build, hives.get(30, n), ('install',)):
                c.name = (label, n)
                contenders.append(c)
    samples = timing.side_by_side(contenders, reps)
    med = {key: median(values) for key, values in samples.items()}
    # Up to a hundred subkeys the runs cannot be told apart, so their
    # samples together make the base the larger counts are measured from.
    small = [n for n in [None] + counts if n is None or n <= 100]
    base = median([t for n in small for t in samples[('install', n)]])
    rows = [['none', '%.1f' % med[('install', None)], '', '', '']]
    for i, n in enumerate(counts):
        extra = med[('install', n)] - base
        per, grow = '', ''
        if n >= 1000:
            per = '%.1f' % (extra * 1000 / n)
        if n >= 1000 and i > 0 and counts[i - 1] >= 1000:
            grow = exponent(counts[i - 1], med[('install', counts[i - 1])] - base, n, extra)
        rows.append([n, '%.1f' % med[('install', n)], '' if n <= 100 else '%.1f' % extra, per,
                     grow])
    for label, _ in baselines:
        for row, n in zip(rows, [None] + counts):
            row.append('%.1f' % med[(label, n)])
    print('## Install time against the subkeys of an old Services\\korvex1 it removes '
          '(30 MB hive, median of %d)\n' % reps)
    headers = ['subkeys', 'install ms', 'over the base', 'us per subkey', 'growth exponent']
    print(table(headers + ['%s ms' % label for label, _ in baselines], rows))
    print('\nOne subkey in ten sits a level deeper.  Up to a hundred subkeys the runs are '
          'within the noise of one another; the base (%.1f ms) is the median of all their '
          'samples, and the larger counts are measured from it.  The growth exponent fits '
          'time over the base ~ subkeys^k; 1 is linear.\n' % base)


def growth(off, hives, baselines, cycles=50):
    """The hive's size after the first install and after cycles install and
    uninstall pairs, on the small hive and the 30 MB one: space freed by an
    uninstall should serve the next install."""
    rows = []
    for megabytes in (1, 30):
        hive = hives.get(megabytes)
        for label, contender in [('drvinst', off)] + baselines:
            tree = offline.Tree(os.path.join(off.work, 'growth'))
            tree.fresh(hive)
            sizes = []
            for _ in range(cycles):
                timing.run_steps(contender.drvinst(tree))
                sizes.append(os.path.getsize(tree.hive))
                timing.run_steps(contender.drvinst(tree, uninstall=True))
            rows.append(['%d MB' % megabytes, label, os.path.getsize(hive), sizes[0], sizes[-1],
                         '%+d' % ((sizes[-1] - sizes[0]) // 1024)])
    print('## Hive size over %d install and uninstall cycles\n' % cycles)
    print(table(['hive', 'program', 'bytes before', 'after the first install',
                 'after the last install', 'KB grown since the first'], rows))
    print()


def main():
    args = parse_args()
    quick = args.quick
    reps = args.reps or (5 if quick else 15)
    work = args.work or tempfile.mkdtemp(prefix='drvinst-bench.')
    os.makedirs(work, exist_ok=True)
    print('# drvinst benchmark%s\n' % (' (quick)' if quick else ''))
    print('\n'.join(describe_machine(work)) + '\n')
    print('drvinst measured: %s.  Command: `%s`, from the top of the tree.\n'
          % (args.measured, args.command))
    sys.stdout.flush()
    hives = Hives(args.tools, work)
    off = offline.Offline(args.bin, work, os.path.join(args.tools, 'nosync.so'))
    baselines = [(label, offline.Offline(path, os.path.join(work, 'baseline-' + label)))
                 for path, label in zip(args.baseline_bin, args.baseline_name)]
    if baselines:
        print('Run alongside: revision%s %s.\n' % ('s' if len(baselines) > 1 else '',
                                                  ', '.join(label for label, _ in baselines)))
    headline(off, hives, reps, baselines)
    flat_lists(off, hives, reps)
    hivex_costs(args.tools, hives.get(), reps)
    scale_reps = 3 if quick else 9
    by_size(off, hives, SIZES[:3] if quick else SIZES, scale_reps)
    by_subkeys(off, hives, SUBKEYS[:4] if quick else SUBKEYS, scale_reps, baselines)
    dirty_replay(off, hives, args.tools, [40, 160] if quick else [40, 160, 320], scale_reps)
    growth(off, hives, baselines, 10 if quick else 50)
    if not args.no_wine and args.win_bin:
        import winebench
        winebench.report(args.win_bin, work, off.driver, reps)
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
