"""drvinst.exe under Wine against a batch file doing the same job with
reg add and copy, both in one prefix of the benchmark's own with one
wineserver kept alive, so that each run costs the process starts it needs
and no prefix start-up."""

import os
import subprocess

import timing
from timing import Contender, median, spread, table

WINE = os.environ.get('WINELOADER', '/usr/lib/wine/wine64')
WINESERVER = os.environ.get('WINESERVER', '/usr/lib/wine/wineserver')
SERVICE = 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\korvex1'
EVENT_SOURCE = 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\korvex1'


def windows_path(path):
    return 'Z:' + path.replace('/', '\\')


def script_text():
    """The install as a batch file: old keys removed, the driver copied,
    the eight values written one reg add each."""
    def add(key, name, kind, data):
        return 'reg add "%s" /v %s /t %s /d "%s" /f >nul' % (key, name, kind, data)
    return '\r\n'.join([
        '@echo off',
        'reg delete "%s" /f >nul 2>&1' % SERVICE,
        'reg delete "%s" /f >nul 2>&1' % EVENT_SOURCE,
        'copy /y korvex1.sys %SystemRoot%\\system32\\drivers\\ >nul',
        'if errorlevel 1 exit /b 1',
        add(SERVICE, 'ErrorControl', 'REG_DWORD', '1'),
        add(SERVICE, 'Group', 'REG_SZ', 'SCSI Miniport'),
        add(SERVICE, 'ImagePath', 'REG_EXPAND_SZ', 'System32\\Drivers\\korvex1.sys'),
        add(SERVICE, 'Start', 'REG_DWORD', '0'),
        add(SERVICE, 'Tag', 'REG_DWORD', '1'),
        add(SERVICE, 'Type', 'REG_DWORD', '1'),
        add(EVENT_SOURCE, 'EventMessageFile', 'REG_EXPAND_SZ',
            '%%SystemRoot%%\\System32\\IoLogMsg.dll'),
        add(EVENT_SOURCE, 'TypesSupported', 'REG_DWORD', '7'),
        'exit /b 0', ''])


class Prefix:
    def __init__(self, work, winbin, driver):
        self.path = os.path.join(work, 'wineprefix')
        self.dir = os.path.join(work, 'wine')
        os.makedirs(self.dir, exist_ok=True)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')
        # The server that made or opened the prefix is left to end first, so
        # that the one kept alive below can start.
        self._quiet([WINE, 'cmd', '/c', 'exit'])
        subprocess.run([WINESERVER, '-w'], env=self.env)
        self.server = subprocess.Popen([WINESERVER, '-p', '-f'], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.drivers = os.path.join(self.path, 'drive_c', 'windows', 'system32', 'drivers')
        for name, data in (('drvinst.exe', open(os.path.join(winbin, 'drvinst.exe'), 'rb').read()),
                           ('korvex1.sys', open(driver, 'rb').read()),
                           ('install.cmd', script_text().encode()),
                           ('reset.cmd', ('@echo off\r\nreg delete "%s" /f >nul 2>&1\r\n'
                                          'reg delete "%s" /f >nul 2>&1\r\nexit /b 0\r\n'
                                          % (SERVICE, EVENT_SOURCE)).encode())):
            with open(os.path.join(self.dir, name), 'wb') as f:
                f.write(data)

    def _quiet(self, argv):
        return subprocess.run(argv, env=self.env, cwd=self.dir if os.path.isdir(self.dir) else None,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=120)

    def close(self):
        subprocess.run([WINESERVER, '-k'], env=self.env)
        self.server.wait()

    def step(self, *args):
        return ([WINE] + list(args), self.dir, self.env)

    def reset(self):
        """Neither key nor driver file, outside the timed part."""
        installed = os.path.join(self.drivers, 'korvex1.sys')
        if os.path.exists(installed):
            os.remove(installed)
        self._quiet([WINE, 'cmd', '/c', windows_path(os.path.join(self.dir, 'reset.cmd'))])

    def keys(self):
        return [self._quiet([WINE, 'reg', 'query', key]).stdout for key in (SERVICE,
                                                                            EVENT_SOURCE)]


def contenders(prefix):
    exe = windows_path(os.path.join(prefix.dir, 'drvinst.exe'))
    script = windows_path(os.path.join(prefix.dir, 'install.cmd'))

    def drvinst():
        prefix.reset()
        return [prefix.step(exe, '-D', 'korvex1')]

    def batch():
        prefix.reset()
        return [prefix.step('cmd', '/c', script)]

    def empty():
        return [prefix.step('cmd', '/c', 'exit')]

    return [Contender('drvinst.exe', drvinst), Contender('reg add script', batch),
            Contender('cmd /c exit', empty)]


def check_same_result(prefix, runs):
    results = []
    for contender in runs[:2]:
        timing.run_steps(contender.prepare())
        results.append(prefix.keys())
    if results[0] != results[1] or '' in results[0]:
        raise RuntimeError('drvinst.exe and the script left different keys:\n%s' % results)


def report(winbin, work, driver, reps):
    prefix = Prefix(work, winbin, driver)
    try:
        runs = contenders(prefix)
        check_same_result(prefix, runs)
        samples = timing.side_by_side(runs, reps, settle=False)
    finally:
        prefix.close()
    med = {name: median(values) for name, values in samples.items()}
    rows = [[name, '%.1f' % med[name], spread(values),
             '%.2f' % (med[name] / med['reg add script'])] for name, values in samples.items()]
    print('## The Windows build under Wine, %d runs each\n' % reps)
    print(table(['run', 'median ms', 'middle half', 'x script'], rows))
    print('\n- **drvinst.exe / reg add script = %.2f**' % (med['drvinst.exe'] /
                                                          med['reg add script']))
    print('- "cmd /c exit" is the cost of starting one program in the prefix.\n')
