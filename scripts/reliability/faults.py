#!/usr/bin/env python3
"""Makes each write, flush, rename, open and unlink of an install, an
upgrade with a backup and an uninstall fail in turn, with ENOSPC, EIO and
EACCES, in the tool and in every interpreter it starts, and checks:

  - a run that ends 0 did the whole job (the fault was absorbed);
  - a run that fails says so on its output and ends non-zero, and leaves
    the hive byte-identical to before;
  - the hive stays sound, and the installed driver and its backup stay
    whole, whatever the run ended with.

Breaches that stem from known behaviour of the installer's core are
listed as such (see KNOWN) and do not fail the check; any other breach
does."""

import concurrent.futures
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import inject  # noqa: E402
import report  # noqa: E402
import trees  # noqa: E402

SYSCALLS = {'write', 'pwrite64', 'fsync', 'fdatasync', 'rename', 'renameat', 'renameat2',
            'openat', 'open', 'unlink', 'unlinkat'}
ERRORS = ['ENOSPC', 'EIO', 'EACCES']

# Breaches that follow from the installer's core as it stands, reported to
# its owner with a remedy: (operation, where the fault was injected, start
# of the problem text) -> why.  Where is 'drvinst' or the interpreter's
# command, so that a breach in another place still fails the check.
KNOWN = {
    ('upgrade', 'copy', 'the installed driver is gone'):
        'the installed copy is moved to its backup name before the new one is copied, and a '
        'failed copy does not move it back',
    ('upgrade', 'drvinst', 'the installed driver is gone'):
        'a service key that cannot be written undoes the copy, but does not move the backup '
        'back',
    ('uninstall', 'drvinst', 'the installed driver is gone'):
        'the file is deleted before the keys, and the keys reach the hive only when the run ends',
    ('upgrade', 'drvinst', 'ended 0 without'):
        'an installed driver that cannot be read is taken for one without a version, and is '
        'replaced without a backup',
    ('uninstall', 'del', 'ended 0 without'):
        'the status of the interpreter\'s del is not looked at',
}

REPLACED = 'the hive was replaced, but the directory could not be flushed'


def known(op, point, problem):
    where = point.command or 'drvinst'
    return any((op.name, where) == (name, place) and problem.startswith(start)
               for name, place, start in KNOWN)


def new_lines(output, normal):
    seen = set(normal.splitlines())
    return [line for line in output.splitlines() if line.strip() and line not in seen]


def judge_failure(state, before, after, output, normal):
    """Problems of a run that ended non-zero."""
    problems = []
    if not new_lines(output, normal):
        problems.append('failed without a message')
    # A hive renamed into place whose directory could not be flushed is the
    # one failure after which the change stands; the message says so.
    done = REPLACED in output and state.keys() == after.keys()
    if state.hive != before.hive and not done:
        problems.append('failed, yet the hive changed')
    if not done and 'korvex1.sys' in before.files and 'korvex1.sys' not in state.files:
        problems.append('the installed driver is gone although the run failed')
    return problems


def judge_success(state, after):
    """Problems of a run that ended 0: it must have done the whole job."""
    problems = []
    if state.keys() != after.keys():
        problems.append('ended 0 without writing the driver keys')
    if state.files != after.files:
        differ = sorted(set(state.files.items()) ^ set(after.files.items()))
        problems.append('ended 0 without the files of a finished run (%s)' %
                        ', '.join(sorted({name for name, _ in differ})))
    return problems


def judge(tools, wrapper, op, template, before, after, normal, point, error, top):
    trees.copy_tree(template, top)
    status, output, reached = inject.run_point(tools, wrapper, top, op, point, 'fault',
                                               'error=' + error)
    state = trees.State(top)
    result = report.Result(point, reached)
    if state.hive != before.hive:  # an untouched hive may be a dirty one, as it came
        result.problems += trees.hive_problems(tools, top)
    if state.logs != before.logs:
        result.problems.append('a transaction log was written to')
    result.problems += trees.file_problems(tools, state, before, after)
    if status < 0 or status > 128:
        result.problems.append('the tool died with status %d' % status)
    elif status == 0:
        result.problems += judge_success(state, after)
        result.outcome = 'absorbed'
    else:
        result.problems += judge_failure(state, before, after, output, normal)
        result.outcome = 'done, flush reported' if state.hive != before.hive else 'failed cleanly'
    if trees.boot_risk(state):
        result.findings.append('registered driver file missing')
    result.findings += ['KNOWN: ' + p for p in result.problems if known(op, point, p)]
    result.problems = [p for p in result.problems if not known(op, point, p)]
    if not result.problems:
        trees.remove_tree(top)
    if os.environ.get('RELIABILITY_VERBOSE'):
        print('%-28s %-8s status %3d %-16s %s' % (point.label(), error, status, result.outcome,
                                                   ' | '.join(new_lines(output, normal))[:150]))
    return result


def check_operation(tools, wrapper, op, scratch, every, jobs):
    run = inject.prepare(tools, wrapper, op, scratch, every, SYSCALLS)
    broken = 0
    for error in ERRORS:
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            futures = [pool.submit(judge, tools, wrapper, op, run.template, run.before, run.after,
                                   run.normal, p, error,
                                   os.path.join(run.base, '%s-p%d' % (error, i)))
                       for i, p in enumerate(run.points)]
            results = [f.result() for f in futures]
        broken += report.summarise('fault %s' % error, op.name, run.processes, results)
    return broken


def main():
    return inject.run_operations(__doc__.split('\n')[0], 'drvinst-faults-', check_operation)


if __name__ == '__main__':
    sys.exit(main())
