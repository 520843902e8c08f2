"""The two places a scenario runs: the POSIX build on a generated offline
Windows tree, and drvinst.exe under Wine with Wine's own registry."""

import errno
import os
import re
import shutil
import subprocess

import regfile

SERVICES = 'HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services'
DRIVER_KEYS = [SERVICES + '\\' + k for k in ('korvex1', 'korvex2', 'EventLog\\System\\korvex1',
                                              'EventLog\\System\\korvex2')]
WINE = os.environ.get('WINELOADER', '/usr/lib/wine/wine64')
WINESERVER = os.environ.get('WINESERVER', '/usr/lib/wine/wineserver')


def runs_32bit_programs():
    """False on a machine whose kernel cannot start a 32-bit program at all."""
    try:
        subprocess.run([os.path.join(os.path.dirname(WINE), 'wine'), '--version'],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except OSError as e:
        if e.errno != errno.ENOEXEC:
            raise
        return False
    return True


def reg_setup_text(keys, control_set):
    """A .reg text that removes the driver keys and writes the scenario's;
    every ancestor first, since the offline merge only adds below a key."""
    lines = ['Windows Registry Editor Version 5.00', '']
    for key in DRIVER_KEYS:
        lines += ['[-' + key.replace('CurrentControlSet', control_set) + ']', '']
    full = {}
    for path in keys:
        parts = path.split('\\')
        for i in range(1, len(parts)):
            full.setdefault('\\'.join(parts[:i]), {})
    full.update(keys)
    for path, values in sorted(full.items(), key=lambda kv: kv[0].count('\\')):
        lines.append('[' + (SERVICES + '\\' + path).replace('CurrentControlSet', control_set) + ']')
        for name, (kind, data) in values.items():
            lines.append('"%s"=hex(%x):%s' % (name, kind, ','.join('%02x' % b for b in data)))
        lines.append('')
    return '\r\n'.join(lines) + '\r\n'


def driver_keys(hive):
    """The driver keys of an offline hive, or None when hivex cannot read it."""
    proc = subprocess.run(['hivexregedit', '--export', '--prefix', 'HKLM', hive,
                           '\\ControlSet001\\Services'],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    every = regfile.parse(proc.stdout.decode('latin-1'), 'HKLM\\ControlSet001\\Services')
    return None if proc.returncode else {
        k: v for k, v in every.items() if re.match(r'(eventlog\\system\\)?korvex', k)}


class Posix:
    def __init__(self, bindir, tooldir):
        self.bindir, self.tooldir = bindir, tooldir

    def layout(self, top, sc):
        self.top, self.work = top, os.path.join(top, 'work')
        self.windows = os.path.join(top, 'tree', 'WINNT')
        self.drivers = os.path.join(self.windows, 'system32', 'drivers')
        self.hive = os.path.join(self.windows, 'system32', 'config', 'SYSTEM')
        # A working directory that may reach past PATH_MAX: made and entered a step at a time.
        self.steps, here = [self.work] + ['d' * 200] * sc.get('deep', 0), os.getcwd()
        for step in self.steps:
            os.makedirs(step)
            os.chdir(step)
        os.chdir(here)
        self.work = '/'.join(self.steps)
        subprocess.run([os.path.join(self.tooldir, 'mktree'), os.path.join(top, 'tree')],
                       check=True, stdout=subprocess.DEVNULL)
        self.env = {'PATH': self.bindir + ':/usr/bin:/bin', 'SystemRoot': self.windows}
        reg = os.path.join(top, 'setup.reg')
        with open(reg, 'w', newline='') as f:
            f.write(reg_setup_text(sc.get('keys', {}), 'ControlSet001'))
        subprocess.run(['hivexregedit', '--merge', self.hive, '--prefix',
                        'HKEY_LOCAL_MACHINE\\SYSTEM', reg], check=True)
        for path in sc.get('remove', []):
            subprocess.run(['hivexsh', '-w', self.hive], text=True, check=True,
                           input='cd \\ControlSet001\\Services%s\ndel\ncommit\n'
                           % ('\\' + path if path else ''))
        if sc.get('interpreter', '').startswith('fail'):  # failmove, failcopy, faildel
            self.env['COMSPEC'] = os.path.join(top, 'fail.sh')
            with open(self.env['COMSPEC'], 'w') as f:
                f.write('#!/bin/sh\ncase "$2" in %s\\ *) exit 1;; esac\nexec cmd.exe "$@"\n'
                        % ''.join('[%s%s]' % (c.upper(), c) for c in sc['interpreter'][4:]))
            os.chmod(self.env['COMSPEC'], 0o755)
        # The tool alone in a directory: the interpreter on PATH must not be taken.
        self.exe_dir = os.path.join(top, 'alone') if sc.get('interpreter') == 'none' else self.bindir
        if self.exe_dir != self.bindir:
            os.makedirs(self.exe_dir)
            shutil.copy(os.path.join(self.bindir, 'drvinst'), self.exe_dir)
        if 'fail' in sc:
            self.env['DRVINST_FAIL'] = sc['fail']
        if 'damage' in sc:  # the hive gone, or a directory in its place
            os.remove(self.hive)
            if sc['damage'] == 'directory':
                os.makedirs(os.path.join(self.hive, 'inside'))
        if 'dirty' in sc:  # the latest changes left only in the logs
            subprocess.run([os.path.join(self.tooldir, 'mkdirty'), self.hive, sc['dirty']],
                           check=True)

    def placeholders(self):
        return {'cwd': self.work, 'root': self.windows, 'wwork': self.work.replace('/', '\\'),
                'hive': self.hive}

    def config_bytes(self):
        """The hive and every log beside it, by name; a directory as None."""
        config = os.path.dirname(self.hive)
        return {n: None if os.path.isdir(p) else open(p, 'rb').read()
                for n, p in ((n, os.path.join(config, n)) for n in sorted(os.listdir(config)))}

    def hive_is_clean(self):
        return subprocess.run([os.path.join(self.tooldir, 'hivecheck'), self.hive],
                              stdout=subprocess.DEVNULL).returncode == 0

    def hide_drivers_directory(self):
        os.rmdir(self.drivers)

    def restore_drivers_directory(self):
        pass

    def run(self, argv0, args, env_changes):
        """(output, status, problems)."""
        env = dict(self.env, **env_changes)
        env = {k: v for k, v in env.items() if v is not None}
        program = 'drvinst-faulty' if 'DRVINST_FAIL' in env else 'drvinst'
        proc = subprocess.run([argv0] + args, executable=os.path.join(self.exe_dir, program),
                              preexec_fn=lambda: [os.chdir(s) for s in self.steps], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60)
        status = proc.returncode if proc.returncode < 128 else proc.returncode - 256
        return proc.stdout.decode('latin-1'), status, []

    def export_registry(self):
        return driver_keys(self.hive) or {}


class Wine:
    """One prefix for the whole run, with one wineserver kept alive, so that
    each scenario costs a single process start."""

    def __init__(self, bindir, prefix):
        self.bindir, self.prefix = bindir, prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')
        # A new prefix is still being filled in by wineboot when the first
        # program's server ends, and a batch started then can stop before
        # its last line with nothing said; the update is made whole first,
        # and its server left to end, since a second cannot start beside it.
        for command in ([WINE, 'wineboot', '-u'], [WINESERVER, '-w']):
            subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.server = subprocess.Popen([WINESERVER, '-p', '-f'], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.drivers = os.path.join(prefix, 'drive_c', 'windows', 'system32', 'drivers')

    def close(self):
        subprocess.run([WINESERVER, '-k'], env=self.env)
        self.server.wait()

    def layout(self, top, sc):
        self.top, self.work = top, os.path.join(top, 'work')
        os.makedirs(self.work)
        for name in os.listdir(self.drivers):
            if name.lower().startswith('korvex'):
                path = os.path.join(self.drivers, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        self.sc = sc

    @staticmethod
    def windows_path(path):
        return 'Z:' + path.replace('/', '\\')

    def placeholders(self):
        return {'cwd': self.windows_path(self.work), 'root': 'C:\\windows',
                'wwork': self.windows_path(self.work)}

    def hide_drivers_directory(self):
        os.rename(self.drivers, self.drivers + '.hidden')

    def restore_drivers_directory(self):
        if os.path.isfile(self.drivers):
            os.remove(self.drivers)
        os.rename(self.drivers + '.hidden', self.drivers)

    def run(self, argv0, args, env_changes):
        exe = argv0[2:] if argv0.startswith('Z:') else os.path.join(self.work, argv0)
        exe = exe.replace('\\', '/')
        exe += '' if exe.lower().endswith('.exe') else '.exe'
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        shutil.copy(os.path.join(self.bindir, 'drvinst.exe'), exe)
        self._write_batch(argv0, args)
        # A batch that never reached the tool (no out.txt) changed nothing
        # the next attempt does not redo, so it is started once more.  Wine's
        # output goes to a file: the programs it starts on the side would
        # hold a pipe open long after the batch has ended.
        for attempt in range(2):
            with open(os.path.join(self.top, 'wine.log'), 'wb') as log:
                try:
                    ended = subprocess.run([WINE, 'cmd', '/c', self.windows_path(self.top) +
                                            '\\run.cmd'], env=self.env, cwd=self.top, stdout=log,
                                           stdin=subprocess.DEVNULL, stderr=log, timeout=120)
                    ended = 'ended %d' % ended.returncode
                except subprocess.TimeoutExpired:
                    ended = 'did not end within 120 s'
            out, status = (self._read(name) for name in ('out.txt', 'status.txt'))
            if self._read('again.txt'):
                print('    KNOWN: Wine left %s after the tool deleted it' % self._read('again.txt'))
            if out is not None and status is not None:
                return out.replace('\r\n', '\n'), int(status.strip()), []
        shown = self._read('wine.log').strip().replace('\n', '\n      ')
        return '', None, ['the batch never reached the tool, twice; Wine %s and said:\n      %s'
                          % (ended, shown or '(nothing)')]

    def _read(self, name):
        try:
            with open(os.path.join(self.top, name), 'rb') as f:
                return f.read().decode('latin-1')
        except FileNotFoundError:
            return None

    @staticmethod
    def _started(lines, label, command):
        """Appends COMMAND, started again when cmd could not find it (status
        9009, which Wine now and then gives under load for a program that is
        there): the program never ran, so starting it again is the same step."""
        lines += ['set tries=0', ':' + label, 'set /a tries+=1', command,
                  'if errorlevel 9009 if %tries% lss 3 goto ' + label]

    def _write_batch(self, argv0, args):
        sc, top = self.sc, self.windows_path(self.top)
        removed, links = sc.get('remove', []), sc.get('links', [])
        lines = ['@echo off']
        # The editor reads hex(1) and hex(2) data as UTF-16 only from a
        # UTF-16 file; from a narrow one it widens every byte.
        with open(os.path.join(self.top, 'setup.reg'), 'wb') as f:
            f.write(b'\xff\xfe' + reg_setup_text(sc.get('keys', {}), 'CurrentControlSet')
                    .encode('utf-16-le'))
        self._started(lines, 'setup', 'regedit /s %s\\setup.reg' % top)
        for i, path in enumerate(removed):
            key = SERVICES + '\\' + path
            self._started(lines, 'save%d' % i, 'regedit /e %s\\saved%d.reg "%s"' % (top, i, key))
            self._started(lines, 'delete%d' % i, 'reg delete "%s" /f >nul' % key)
        reglink = self.windows_path(os.path.join(self.bindir, 'reglink.exe'))
        for path in links:
            lines.append('%s create "SYSTEM\\CurrentControlSet\\Services\\%s" '
                         '\\Registry\\Machine\\HARDWARE\\KorvexNowhere' % (reglink, path))
        if sc.get('interpreter', '').startswith('fail'):
            lines += ['set FAIL_VERB=' + sc['interpreter'][4:], 'set COMSPEC=' +
                      self.windows_path(os.path.join(self.bindir, 'failmove.exe'))]
        typed = '"%s"' % argv0 if set(argv0) & set(' &|<>^()') else argv0
        lines.append('cd /d ' + self.windows_path(self.work))
        self._started(lines, 'run', '%s %s > %s\\out.txt' % (typed, ' '.join(args), top))
        lines.append('echo %%errorlevel%% > %s\\status.txt' % top)
        # Wine's cmd now and then carries out a del /F quietly undone (docs/
        # RELIABILITY.md): a driver the run should have removed is deleted
        # again and noted; one held open stays, and the scenario fails.
        for name in ('korvex1.sys', 'korvex2.sys'):
            if 'files' in sc and name not in sc['files']:
                path = 'C:\\windows\\system32\\drivers\\' + name
                lines.append('if exist %s (del /F %s & echo %s>> %s\\again.txt)'
                             % (path, path, name, top))
        lines.append('set COMSPEC=C:\\windows\\system32\\cmd.exe')
        for i in range(len(removed)):
            self._started(lines, 'restore%d' % i, 'regedit /s %s\\saved%d.reg' % (top, i))
        for path in links:
            lines.append('%s delete "SYSTEM\\CurrentControlSet\\Services\\%s"' % (reglink, path))
        for i, key in enumerate(DRIVER_KEYS):
            self._started(lines, 'export%d' % i, 'regedit /e %s\\export%d.reg "%s"' % (top, i, key))
        lines.append('exit 0')
        with open(os.path.join(self.top, 'run.cmd'), 'w', newline='') as f:
            f.write('\r\n'.join(lines) + '\r\n')

    def export_registry(self):
        keys = {}
        for i in range(len(DRIVER_KEYS)):
            path = os.path.join(self.top, 'export%d.reg' % i)
            if os.path.exists(path):
                with open(path, 'rb') as f:
                    raw = f.read()
                text = raw.decode('utf-16') if raw[:2] == b'\xff\xfe' else raw.decode('latin-1')
                keys.update(regfile.parse(text, SERVICES))
        return keys
