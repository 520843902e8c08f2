"""What each injection point came to, and the summary lines the
reliability document quotes."""

import collections


class Result:
    def __init__(self, point, reached):
        self.point = point
        self.reached = reached  # the injection happened (the run did not simply finish)
        self.outcome = ''       # short name of the end state, for the tally
        self.problems = []      # breaches of the rules: these fail the check
        self.findings = []      # weaknesses worth knowing that break no rule
        self.notes = []         # things that happened and were handled


def _processes_line(processes):
    parts = []
    for i, (command, counts, _) in enumerate(processes):
        name = 'drvinst' if i == 0 else 'cmd#%d %s' % (i, command)
        parts.append('%s %d' % (name, sum(counts.values())))
    return ', '.join(parts)


def _tally(results, field):
    """{text: [point labels]} over every result's list in field."""
    seen = collections.OrderedDict()
    for r in results:
        for text in getattr(r, field):
            seen.setdefault(text, []).append(r.point.label())
    return seen


def _print_tally(title, tally, limit=4):
    for text, labels in tally.items():
        shown = ', '.join(labels[:limit]) + (', ...' if len(labels) > limit else '')
        print('    %s: %s at %d point(s): %s' % (title, text, len(labels), shown))


def summarise(kind, name, processes, results):
    """Prints the summary of one operation; gives the number of points at
    which a rule was broken."""
    reached = sum(r.reached for r in results)
    outcomes = collections.Counter(r.outcome for r in results if r.reached)
    broken = [r for r in results if r.problems]
    print('%s/%s: %d points tried of %d system calls (%s); %d reached; outcomes: %s; '
          'rules broken at %d' % (kind, name, len(results),
                                  sum(sum(p[1].values()) for p in processes),
                                  _processes_line(processes), reached,
                                  ', '.join('%s %d' % kv for kv in sorted(outcomes.items())),
                                  len(broken)))
    missed = [r.point.label() for r in results if not r.reached]
    if missed:
        print('    not reached (strace did not inject there): %s' % ', '.join(missed))
    _print_tally('finding', _tally(results, 'findings'))
    _print_tally('note', _tally(results, 'notes'))
    for r in broken[:20]:
        print('    BROKEN at %s: %s' % (r.point.label(), '; '.join(r.problems)))
    return len(broken)
