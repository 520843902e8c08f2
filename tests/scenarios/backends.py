"""The two places a scenario runs: the POSIX build on a generated offline
Windows tree, and drvinst.exe under Wine with Wine's own registry."""

import errno
import os
import shutil
import subprocess

import regfile

SERVICES = 'HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services'
DRIVER_KEYS = [SERVICES + '\\korvex1', SERVICES + '\\korvex2',
               SERVICES + '\\EventLog\\System\\korvex1',
               SERVICES + '\\EventLog\\System\\korvex2']
WINE = os.environ.get('WINELOADER', '/usr/lib/wine/wine64')
WINESERVER = os.environ.get('WINESERVER', '/usr/lib/wine/wineserver')


def runs_32bit_programs():
    """False on a machine whose kernel cannot start a 32-bit program at all,
    where nothing 32-bit can be tried, in a 32-bit prefix or a 64-bit one."""
    try:
        subprocess.run([os.path.join(os.path.dirname(WINE), 'wine'), '--version'],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except OSError as e:
        if e.errno != errno.ENOEXEC:
            raise
        return False
    return True


def reg_setup_text(keys, control_set):
    """A .reg text that removes the driver keys and writes the scenario's."""
    lines = ['Windows Registry Editor Version 5.00', '']
    for key in DRIVER_KEYS:
        lines += ['[-' + key.replace('CurrentControlSet', control_set) + ']', '']
    # Every ancestor is written first: the offline merge creates a key only
    # below one that exists.
    full = {}
    for path in keys:
        parts = path.split('\\')
        for i in range(1, len(parts)):
            full.setdefault('\\'.join(parts[:i]), {})
    full.update(keys)
    for path, values in sorted(full.items(), key=lambda kv: kv[0].count('\\')):
        lines.append('[' + (SERVICES + '\\' + path).replace('CurrentControlSet', control_set) + ']')
        for name, (kind, data) in values.items():
            if kind == 4:
                lines.append('"%s"=dword:%08x' % (name, int.from_bytes(data, 'little')))
            else:
                lines.append('"%s"=hex(%x):%s' % (name, kind, ','.join('%02x' % b for b in data)))
        lines.append('')
    return '\r\n'.join(lines) + '\r\n'


class Posix:
    name = 'posix'

    def __init__(self, bindir, tooldir):
        self.bindir = bindir
        self.tooldir = tooldir

    def layout(self, top):
        self.top = top
        self.work = os.path.join(top, 'work')
        self.windows = os.path.join(top, 'tree', 'WINNT')
        self.drivers = os.path.join(self.windows, 'system32', 'drivers')
        self.hive = os.path.join(self.windows, 'system32', 'config', 'SYSTEM')
        os.makedirs(self.work)
        subprocess.run([os.path.join(self.tooldir, 'mktree'), os.path.join(top, 'tree')],
                       check=True, stdout=subprocess.DEVNULL)
        self.env = {'PATH': self.bindir + ':/usr/bin:/bin', 'SystemRoot': self.windows}

    def windows_path(self, path):
        return path.replace('/', '\\')

    def placeholders(self):
        return {'cwd': self.work, 'root': self.windows, 'wwork': self.windows_path(self.work),
                'hive': self.hive}

    def set_registry(self, keys):
        reg = os.path.join(self.top, 'setup.reg')
        with open(reg, 'w', newline='') as f:
            f.write(reg_setup_text(keys, 'ControlSet001'))
        subprocess.run(['hivexregedit', '--merge', self.hive, '--prefix',
                        'HKEY_LOCAL_MACHINE\\SYSTEM', reg], check=True)

    def remove_keys(self, paths):
        for path in paths:
            key = '\\ControlSet001\\Services' + ('\\' + path if path else '')
            subprocess.run(['hivexsh', '-w', self.hive], input='cd %s\ndel\ncommit\n' % key,
                           text=True, check=True)

    def set_interpreter(self, kind):
        """'failmove': an interpreter that fails every move; 'none': no
        interpreter can be found at all."""
        if kind == 'failmove':
            wrapper = os.path.join(self.top, 'failmove.sh')
            with open(wrapper, 'w') as f:
                f.write('#!/bin/sh\ncase "$2" in [Mm][Oo][Vv][Ee]*) exit 1;; esac\n'
                        'exec cmd.exe "$@"\n')
            os.chmod(wrapper, 0o755)
            self.env['COMSPEC'] = wrapper
        elif kind == 'none':
            self.env['PATH'] = '/nonexistent'

    def damage_hive(self, kind):
        """Spoils the hive the way a dirty shutdown or a bad disk would."""
        if kind == 'missing':
            os.remove(self.hive)
        elif kind == 'directory':
            os.remove(self.hive)
            os.makedirs(os.path.join(self.hive, 'inside'))
        else:
            with open(self.hive, 'r+b') as f:
                data = bytearray(f.read())
                if kind == 'dirty':
                    data[4] ^= 1
                    checksum = 0
                    for i in range(0, 508, 4):
                        checksum ^= int.from_bytes(data[i:i + 4], 'little')
                    data[508:512] = checksum.to_bytes(4, 'little')
                elif kind == 'checksum':
                    data[508] ^= 0xff
                elif kind == 'notahive':
                    data[0:4] = b'REGX'
                f.seek(0)
                f.write(data)

    def make_dirty(self, kind):
        """Leaves the hive's latest changes only in its logs (tools/mkdirty)."""
        subprocess.run([os.path.join(self.tooldir, 'mkdirty'), self.hive, kind], check=True)

    def config_bytes(self):
        """The hive and every log beside it, by name."""
        config = os.path.dirname(self.hive)
        return {name: open(os.path.join(config, name), 'rb').read()
                for name in sorted(os.listdir(config))}

    def hive_is_clean(self):
        return subprocess.run([os.path.join(self.tooldir, 'hivecheck'), self.hive],
                              stdout=subprocess.DEVNULL).returncode == 0

    def hide_drivers_directory(self):
        os.rmdir(self.drivers)

    def restore_drivers_directory(self):
        pass

    def hive_bytes(self):
        if not os.path.isfile(self.hive):
            return None
        with open(self.hive, 'rb') as f:
            return f.read()

    def run(self, argv0, args, env_changes):
        env = dict(self.env)
        for name, value in env_changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        proc = subprocess.run([argv0] + args, executable=os.path.join(self.bindir, 'drvinst'),
                              cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        return proc.stdout.decode('latin-1'), proc.returncode if proc.returncode < 128 else \
            proc.returncode - 256

    def export_registry(self):
        keys = {}
        for key in ['\\ControlSet001\\Services\\korvex1', '\\ControlSet001\\Services\\korvex2',
                    '\\ControlSet001\\Services\\EventLog\\System\\korvex1',
                    '\\ControlSet001\\Services\\EventLog\\System\\korvex2']:
            proc = subprocess.run(['hivexregedit', '--export', '--prefix', 'HKLM', self.hive,
                                   key], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if proc.returncode == 0:
                keys.update(regfile.parse(proc.stdout.decode('latin-1'),
                                          'HKLM\\ControlSet001\\Services'))
        return keys

    def eventlog_root_exists(self):
        proc = subprocess.run(['hivexget', self.hive, '\\ControlSet001\\Services\\EventLog\\System'],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return proc.returncode == 0


class Wine:
    """One prefix for the whole run, with one wineserver kept alive, so that
    each scenario costs a single process start."""
    name = 'wine'

    def __init__(self, bindir, prefix):
        self.bindir = bindir
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
        # The server that made or opened the prefix is left to end first: a
        # second one cannot start beside it, and a program started while it
        # is ending can come back with no output at all.
        subprocess.run([WINE, 'cmd', '/c', 'exit'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        subprocess.run([WINESERVER, '-w'], env=self.env)
        self.server = subprocess.Popen([WINESERVER, '-p', '-f'], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.drivers = os.path.join(prefix, 'drive_c', 'windows', 'system32', 'drivers')

    def close(self):
        subprocess.run([WINESERVER, '-k'], env=self.env)
        self.server.wait()

    def layout(self, top):
        self.top = top
        self.work = os.path.join(top, 'work')
        os.makedirs(self.work)
        for name in os.listdir(self.drivers):
            if name.lower().startswith('korvex'):
                path = os.path.join(self.drivers, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        self.pending_reg = None
        self.removed = []
        self.links = []
        self.interpreter = None

    def windows_path(self, path):
        return 'Z:' + path.replace('/', '\\')

    def placeholders(self):
        return {'cwd': self.windows_path(self.work), 'root': 'C:\\windows',
                'wwork': self.windows_path(self.work)}

    def set_registry(self, keys):
        self.pending_reg = reg_setup_text(keys, 'CurrentControlSet')

    def remove_keys(self, paths):
        self.removed = paths

    def set_interpreter(self, kind):
        self.interpreter = kind

    def hide_drivers_directory(self):
        os.rename(self.drivers, self.drivers + '.hidden')

    def restore_drivers_directory(self):
        if os.path.isfile(self.drivers):
            os.remove(self.drivers)
        os.rename(self.drivers + '.hidden', self.drivers)

    def link_keys(self, paths):
        self.links = paths

    def run(self, argv0, args, env_changes):
        if argv0.startswith('Z:'):
            exe = argv0[2:].replace('\\', '/')
        else:
            exe = os.path.join(self.work, argv0.replace('\\', '/'))
        if not exe.lower().endswith('.exe'):
            exe += '.exe'
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        shutil.copy(os.path.join(self.bindir, 'drvinst.exe'), exe)
        return self._batch(argv0, args)

    @staticmethod
    def _started(lines, label, command):
        """Appends COMMAND, started again when cmd could not find it (status
        9009, which Wine now and then gives under load for a program that is
        there): the program never ran, so starting it again is the same step."""
        lines += ['set tries=0', ':%s' % label, 'set /a tries+=1', command,
                  'if errorlevel 9009 if %tries% lss 3 goto ' + label]

    def _batch(self, argv0, args):
        top = self.windows_path(self.top)
        lines = ['@echo off']
        if self.pending_reg is not None:
            # The editor reads hex(1) and hex(2) data as UTF-16 only from a
            # UTF-16 file; from a narrow one it widens every byte.
            with open(os.path.join(self.top, 'setup.reg'), 'wb') as f:
                f.write(b'\xff\xfe' + self.pending_reg.encode('utf-16-le'))
            self._started(lines, 'setup', 'regedit /s %s\\setup.reg' % top)
        for i, path in enumerate(self.removed):
            key = SERVICES + '\\' + path
            self._started(lines, 'save%d' % i, 'regedit /e %s\\saved%d.reg "%s"' % (top, i, key))
            self._started(lines, 'delete%d' % i, 'reg delete "%s" /f >nul' % key)
        reglink = self.windows_path(os.path.join(self.bindir, 'reglink.exe'))
        for path in self.links:
            lines.append('%s create "%s" \\Registry\\Machine\\HARDWARE\\KorvexNowhere'
                         % (reglink, 'SYSTEM\\CurrentControlSet\\Services\\' + path))
        if self.interpreter == 'failmove':
            lines.append('set COMSPEC=%s' % self.windows_path(os.path.join(self.bindir,
                                                                            'failmove.exe')))
        typed = '"%s"' % argv0 if set(argv0) & set(' &|<>^()') else argv0
        lines.append('cd /d %s' % self.windows_path(self.work))
        self._started(lines, 'run', '%s %s > %s\\out.txt' % (typed, ' '.join(args), top))
        lines.append('echo %%errorlevel%% > %s\\status.txt' % top)
        lines.append('set COMSPEC=C:\\windows\\system32\\cmd.exe')
        for i, path in enumerate(self.removed):
            self._started(lines, 'restore%d' % i, 'regedit /s %s\\saved%d.reg' % (top, i))
        for path in self.links:
            lines.append('%s delete "%s"' % (reglink, 'SYSTEM\\CurrentControlSet\\Services\\'
                                             + path))
        for i, key in enumerate(DRIVER_KEYS):
            self._started(lines, 'export%d' % i, 'regedit /e %s\\export%d.reg "%s"' % (top, i, key))
        lines.append('exit 0')
        with open(os.path.join(self.top, 'run.cmd'), 'w', newline='') as f:
            f.write('\r\n'.join(lines) + '\r\n')
        subprocess.run([WINE, 'cmd', '/c', top + '\\run.cmd'], env=self.env, cwd=self.top,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        with open(os.path.join(self.top, 'out.txt'), 'rb') as f:
            out = f.read().decode('latin-1').replace('\r\n', '\n')
        with open(os.path.join(self.top, 'status.txt')) as f:
            status = int(f.read().strip())
        return out, status

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
