#!/usr/bin/env python3
"""Kills an install, an upgrade with a backup and an uninstall at each of
their system calls in turn, in the tool and in every interpreter it starts,
and checks what each kill leaves behind:

  - the hive passes tools/hivecheck and hivex reads it;
  - the driver keys are wholly the old or wholly the new ones;
  - every driver file is whole and is what its name held before or after;
  - temporary files are gone, or the next run removes them, and that run
    finishes the job.

Findings that are not breaches of these rules but still matter (a boot
driver registered without its file, a rerun that needs -F) are counted
and listed apart.  Exit status 1 when any rule is broken."""

import concurrent.futures
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import durability  # noqa: E402
import inject  # noqa: E402
import report  # noqa: E402
import trees  # noqa: E402


def finished(tools, state, after):
    """Problems that keep state from being the operation's end state."""
    problems = trees.hive_problems(tools, state.top)
    if state.keys() != after.keys():
        problems.append('driver keys are not the installed state')
    if state.files.get('korvex1.sys') != after.files.get('korvex1.sys'):
        problems.append('korvex1.sys is not the end state')
    return problems


def rerun(tools, op, top, after):
    """Runs the operation again as a user would after a crash: plainly, and
    with -F when the plain run does not finish it.  Gives (problems,
    findings)."""
    findings = []
    for extra in ([], ['-F']):
        status, output = trees.run_tool(tools, top, extra + op.args)
        state = trees.State(top)
        if state.temporaries:
            return ['a rerun left temporary files: %s' % ', '.join(state.temporaries)], findings
        problems = finished(tools, state, after)
        if status == 0 and not problems:
            return [], findings
        if extra or op.name == 'uninstall':
            return ['a rerun (status %d) does not finish: %s' % (status, '; '.join(problems))], \
                findings
        findings.append('rerun needs -F to finish')
    return [], findings


def judge(tools, wrapper, op, template, before, after, point, top):
    trees.copy_tree(template, top)
    status, output, reached = inject.run_point(tools, wrapper, top, op, point, 'crash',
                                               'signal=SIGKILL')
    state = trees.State(top)
    result = report.Result(point, reached)
    # An untouched hive is the old state, dirty or not; a log is never written.
    if state.hive != before.hive:
        result.problems += trees.hive_problems(tools, top)
    if state.logs != before.logs:
        result.problems.append('a transaction log was written to')
    side = trees.registry_side(state, before, after)
    if side is None:
        result.problems.append('driver keys are a mixture, or hivex cannot read the hive')
    result.problems += trees.file_problems(tools, state, before, after)
    result.outcome = side or 'mixed'
    if side and trees.boot_risk(state):
        result.findings.append('registered driver file missing')
    untouched = state.hive == before.hive and state.files == before.files
    if state.temporaries or not untouched:
        if state.temporaries:
            result.notes.append('temporary files left for the next run')
        problems, findings = rerun(tools, op, top, after)
        result.problems += problems
        result.findings += findings
    if not result.problems:
        trees.remove_tree(top)
    return result


def check_operation(tools, wrapper, op, scratch, every, jobs):
    run = inject.prepare(tools, wrapper, op, scratch, every)
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futures = [pool.submit(judge, tools, wrapper, op, run.template, run.before, run.after, p,
                               os.path.join(run.base, 'p%d' % i))
                   for i, p in enumerate(run.points)]
        results = [f.result() for f in futures]
    return (report.summarise('crash', op.name, run.processes, results) +
            check_order(run.processes, op))


def check_order(processes, op):
    """Prints the durability order of the recorded run; gives the number of
    breaches."""
    breaches, steps = [], 0
    for command, _, trace in processes:
        found, made = durability.problems(trace)
        breaches += ['%s: %s' % (command or 'drvinst', text) for text in found]
        steps += made
    print('    durability order: %d renames and unlinks, %s' %
          (steps, 'each flushed in order' if not breaches else '; '.join(breaches)))
    return len(breaches)


def main():
    return inject.run_operations(__doc__.split('\n')[0], 'drvinst-crash-', check_operation)


if __name__ == '__main__':
    sys.exit(main())
