"""Reads a recorded trace for the order that makes a change survive power
loss, which killing processes cannot show: a file renamed into place was
flushed after its last write, and the directory holding a rename or an
unlink is flushed before the process ends."""

import os
import re

# With strace -y every descriptor shows its path: fsync(4</a/b>) = 0.
FD_CALL = re.compile(r'^(write|pwrite64|fsync|fdatasync)\(\d+<([^>]*)>')
AT = r'(?:AT_FDCWD, |\d+<([^>]*)>, )?"([^"]+)"'
RENAME = re.compile(r'^rename(?:at2?)?\(' + AT + ', ' + AT)
UNLINK = re.compile(r'^unlink(?:at)?\((?:AT_FDCWD, |\d+<([^>]*)>, )?"([^"]+)"')
SUCCEEDED = re.compile(r'= 0$')


def _clean(path):
    return os.path.normpath(re.sub('/+', '/', path))


def _changes(lines):
    """(kind, paths) for each successful write, flush, rename and unlink."""
    for line in lines:
        line = line.rstrip()
        if not SUCCEEDED.search(line) and not line.startswith(('write', 'pwrite64')):
            continue
        m = FD_CALL.match(line)
        if m:
            yield m.group(1), (_clean(m.group(2)),)
            continue
        m = RENAME.match(line)
        if m:
            yield 'rename', (_clean(os.path.join(m.group(1) or '', m.group(2))),
                             _clean(os.path.join(m.group(3) or '', m.group(4))))
            continue
        m = UNLINK.match(line)
        if m:
            base = m.group(1)
            yield 'unlink', (_clean(os.path.join(base, m.group(2)) if base else m.group(2)),)


def problems(trace_path):
    """Breaches of the order in one process's trace, and the number of
    renames and unlinks it made."""
    written, flushed, unsynced = {}, {}, {}
    found, steps = [], 0
    with open(trace_path, errors='replace') as f:
        for i, (kind, paths) in enumerate(_changes(f)):
            if kind in ('write', 'pwrite64'):
                written[paths[0]] = i
            elif kind in ('fsync', 'fdatasync'):
                flushed[paths[0]] = i
                unsynced.pop(paths[0], None)
            else:
                steps += 1
                source = paths[0]
                if kind == 'rename' and written.get(source, -1) > flushed.get(source, -1):
                    found.append('%s renamed before it was flushed' % source)
                unsynced[os.path.dirname(paths[-1])] = '%s of %s' % (kind, paths[-1])
    found += ['%s never followed by a flush of its directory' % what
              for what in unsynced.values()]
    return found, steps
