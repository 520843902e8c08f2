"""The end-to-end scenarios, one table for both builds.

On POSIX every SystemRoot is the tree's path below a temporary directory,
longer than the 40 characters a fixed buffer would hold, so every scenario
there also shows that a long SystemRoot is read whole.

Placeholders: {cwd} the working directory as the tool sees it, {root} its
SystemRoot, {wwork} the working directory as an absolute Windows path.
Driver files are (FileVersion text, payload[, flags]) and are generated."""

from regfile import dword_value, expand_value, text_value

NEW = ('2.1', 'new')
OLD = ('2.0', 'old')


def mksys_args(driver):
    version, payload = driver[0], driver[1]
    args = ['--payload', payload or 'x']
    args += ['--no-file-version'] if version is None else ['--file-version', version]
    for flag in driver[2:]:
        args.append('--' + flag)
    return args


def service_values(driver):
    return {
        'ErrorControl': dword_value(1),
        'Group': text_value('SCSI Miniport'),
        'ImagePath': expand_value('System32\\Drivers\\%s.sys' % driver),
        'Start': dword_value(0),
        'Tag': dword_value(20 if driver == 'korvex2' else 1),
        'Type': dword_value(1),
    }


def event_values():
    return {'EventMessageFile': expand_value('%SystemRoot%\\System32\\IoLogMsg.dll'),
            'TypesSupported': dword_value(7)}


def installed_keys(driver):
    return {driver: service_values(driver), 'eventlog\\system\\' + driver: event_values()}


USAGE = ['', 'Usage: drvinst -D DriverName [-U] [-F] [-V]', '',
         '-D: Specify the name of the driver to be installed or uninstalled.',
         '    DriverName can be either korvex1 or korvex2.', '',
         '-U: Uninstall driver.', '', '-F: Force driver installation.', '',
         '-V: Turn on verbose mode.', '']
P1 = 'drvinst korvex1 : '
DRIVERS = '{root}\\system32\\drivers'
DRIVER = DRIVERS + '\\korvex1.sys'
COPY = 'copy {cwd}\\korvex1.sys ' + DRIVERS
COPY_FAILED = P1 + 'Failed to copy {cwd}\\korvex1.sys to ' + DRIVERS + '\\korvex1.sys'
NO_VERSION = P1 + 'GetFileVersion failed. File {cwd}\\korvex1.sys'
NO_SERVICES = P1 + 'RegOpenKeyEx failed to open Service key'
BACKUP = [DRIVERS + '\\korvex1.sys FileVersion :  2.0', 'del /F ' + DRIVERS + '\\korvex1.sys.2.0',
          'move %s\\korvex1.sys %s\\korvex1.sys.2.0' % (DRIVERS, DRIVERS)]


def verbose_install(source_dir, driver='korvex1', version_line=' 2.1'):
    src = source_dir + driver + '.sys'
    return ['Source directory ' + source_dir, 'SystemRoot {root}', 'Source File ' + src,
            src + ' FileVersion : ' + version_line, 'Destination directory ' + DRIVERS,
            'Destination File %s\\%s.sys' % (DRIVERS, driver)]


def created(driver):
    base = 'Created registry key \\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\'
    return [base + driver, base + 'EventLog\\System\\' + driver]


START_UP = [
    dict(name='usage without arguments', args=[], out=USAGE, status=1),
    dict(name='usage when -D ends the line', args=['-D'], out=USAGE, status=1),
    dict(name='usage for an unknown switch after a good -D', args=['-D', 'korvex1', '-x'],
         out=USAGE, status=1),
    dict(name='usage for a lone dash', args=['-'], out=USAGE, status=1),
    dict(name='usage for an empty name', builds=('posix',), args=['-D', ''], out=USAGE, status=1),
    dict(name='lower-case switches among plain words', args=['x', '-f', '-u', '-D', 'korvex1', 'y'],
         out=[], status=0, files={}, registry={}),
    dict(name='drive-relative argument zero', builds=('posix',), argv0='A:drvinst',
         args=['-D', 'korvex1', '-V'],
         out=['Source directory A:', 'SystemRoot {root}', 'Source File A:korvex1.sys',
              P1 + 'GetFileVersion failed. File A:korvex1.sys'], status=1),
    dict(name='unsupported upper-case name', args=['-D', 'KORVEX1'],
         out=['Driver KORVEX1 not supported'], status=1),
    dict(name='switch taken as the name', args=['-D', '-V'], out=['Driver -V not supported'],
         status=1),
    dict(name='verbose start-up from the working directory', args=['-d', 'korvex1', '-verbose'],
         out=verbose_install('{cwd}\\')[:3] + [NO_VERSION], status=1),
    dict(name='relative argument zero names a subdirectory', argv0='sub\\drvinst',
         args=['-Dkorvex2', 'korvex1', '-V'],
         out=['Source directory {cwd}\\sub\\', 'SystemRoot {root}',
              'Source File {cwd}\\sub\\korvex1.sys',
              P1 + 'GetFileVersion failed. File {cwd}\\sub\\korvex1.sys'], status=1),
    dict(name='absolute argument zero', argv0='{wwork}\\tools\\drvinst', args=['-D', 'korvex1'],
         out=[P1 + 'GetFileVersion failed. File {wwork}\\tools\\korvex1.sys'], status=1),
    dict(name='SystemRoot unset', builds=('posix',), args=['-D', 'korvex1'],
         env={'SystemRoot': None},
         out=[P1 + 'Could not find SystemRoot environment variable'], status=1),
    dict(name='SystemRoot empty', builds=('posix',), args=['-D', 'korvex2'],
         env={'SystemRoot': ''},
         out=['drvinst korvex2 : Could not find SystemRoot environment variable'], status=1),
    dict(name='Services key missing', builds=('posix',), args=['-D', 'korvex1'], remove=[''],
         out=[NO_SERVICES], status=1),
    dict(name='SystemRoot past PATH_MAX', builds=('posix',), args=['-D', 'korvex1'],
         env={'SystemRoot': '{root}' + '/x' * 2100},
         out=['offline registry: {root}' + '/x' * 2100 + '\\system32\\config\\SYSTEM: cannot '
              'open the hive: File name too long', NO_SERVICES],
         status=1, files={}, registry={}),
    dict(name='working directory past PATH_MAX read whole', builds=('posix',), deep=21,
         args=['-D', 'korvex1', '-V'], out=verbose_install('{cwd}\\')[:3] + [NO_VERSION],
         status=1, files={}),
    dict(name='source driver a FIFO', builds=('posix',), args=['-D', 'korvex1'],
         source={'korvex1.sys': 'FIFO'}, out=[NO_VERSION], status=1, files={}),
    dict(name='EventLog key missing', args=['-D', 'korvex1'], remove=['EventLog\\System'],
         out=[P1 + 'RegOpenKeyEx failed to open EventLog key'], status=1),
]


def damaged(kind, problem):
    return dict(name='hive refused untouched: ' + kind, builds=('posix',), damage=kind,
                args=['-D', 'korvex1'], source={'korvex1.sys': NEW},
                out=['offline registry: {hive}: ' + problem, NO_SERVICES], status=1, files={})


DAMAGED_HIVES = [
    damaged('missing', 'cannot open the hive: No such file or directory'),
    damaged('directory', 'is a directory, not a hive'),
]

def pending(steps, last=5):
    """The values of korvex2 that tools/mkdirty's steps leave only in the logs."""
    def text(step, length):
        return text_value(''.join(chr(97 + (i + step) % 26) for i in range(length)))
    return {'korvex2': {'Step%d' % n: text(n, last if n == 3 else 5) for n in steps}}


def replayed(kind, steps=(1, 2, 3), args=('-D', 'korvex1'), **kw):
    sc = dict(name='dirty hive replayed: %s %s' % (kind, ' '.join(args)), builds=('posix',),
              dirty=kind, args=list(args), source={'korvex1.sys': NEW}, out=[], status=0,
              files={'korvex1.sys': NEW},
              registry=dict(installed_keys('korvex1'), **pending(steps)))
    sc.update(kw)
    return {k: v for k, v in sc.items() if v is not None}


# The primary alone must come out clean and complete, and every log untouched.
DIRTY_HIVES = [
    replayed('log1'), replayed('lower'), replayed('badsum'), replayed('far'), replayed('old'),
    replayed('badlast', steps=(1, 2)), replayed('gap', steps=(1,)),
    replayed('grow', registry=dict(installed_keys('korvex1'), **pending((1, 2, 3), 3000))),
    replayed('split', args=('-D', 'korvex1', '-V'),
             out=verbose_install('{cwd}\\')[:2] +
             ['offline registry: {hive}: replayed 3 log entries from SYSTEM.LOG1 and SYSTEM.LOG2'] +
             verbose_install('{cwd}\\')[2:] + [COPY] + created('korvex1')),
    replayed('split', args=('-U', '-D', 'korvex1'), installed={'korvex1.sys': OLD},
             keys=installed_keys('korvex1'), files={}, registry=pending((1, 2, 3))),
    replayed('log1', args=('-U', '-D', 'korvex1'), files={}, registry=None),
] + [replayed(kind, status=1, files={}, registry=None,
              out=['offline registry: {hive}: hive needs its transaction log replayed, and there '
                   'is no transaction log to recover it from', NO_SERVICES])
    for kind in ('nolog', 'empty')]

UNINSTALL = [
    dict(name='uninstall removes file and both key trees',
         args=['-U', '-D', 'korvex1'],
         installed={'korvex1.sys': OLD, 'korvex1.sys.1.0': NEW, 'korvex2.sys': NEW},
         keys=dict(installed_keys('korvex1'), **{
             'korvex1\\Enum\\Level2\\Level3': {'x': text_value('deep')},
             'korvex1\\Other': {}}),
         out=[], status=0, files={'korvex1.sys.1.0': NEW, 'korvex2.sys': NEW}, registry={}),
    dict(name='uninstall with nothing installed', args=['-U', '-D', 'korvex2'],
         out=[], status=0, files={}, registry={}),
    dict(name='verbose uninstall, force ignored', args=['-U', '-F', '-D', 'korvex1', '-V'],
         installed={'korvex1.sys': OLD}, keys=installed_keys('korvex1'),
         out=['Source directory {cwd}\\', 'SystemRoot {root}', 'Uninstall korvex1 driver',
              'del /F ' + DRIVERS + '\\korvex1.sys'],
         status=0, files={}, registry={}),
]

PLACEMENT = [
    dict(name='fresh install copies only', args=['-D', 'korvex1', '-V'],
         source={'korvex1.sys': NEW},
         out=verbose_install('{cwd}\\') + [COPY] + created('korvex1'),
         status=0, files={'korvex1.sys': NEW}, registry=installed_keys('korvex1')),
    dict(name='upgrade keeps the old copy as a versioned backup', args=['-D', 'korvex1', '-V'],
         source={'korvex1.sys': NEW}, installed={'korvex1.sys': OLD},
         out=verbose_install('{cwd}\\') + BACKUP + [COPY] + created('korvex1'),
         status=0, files={'korvex1.sys': NEW, 'korvex1.sys.2.0': OLD},
         registry=installed_keys('korvex1')),
    # Complete means all six values as an install writes them; five of them,
    # left by an install that stopped half way, are written afresh, the file kept.
    dict(name='same version refused', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW}, installed={'korvex1.sys': ('2.1', 'installed')},
         keys={'korvex1': service_values('korvex1')},
         out=[P1 + DRIVERS + '\\korvex1.sys already existed and may have newer version.'],
         status=0, files={'korvex1.sys': ('2.1', 'installed')},
         registry={'korvex1': service_values('korvex1')}),
    dict(name='same version with an incomplete service key is registered', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW}, installed={'korvex1.sys': ('2.1', 'installed')},
         keys={'korvex1': dict(list(service_values('korvex1').items())[:5])}, out=[], status=0,
         files={'korvex1.sys': ('2.1', 'installed')}, registry=installed_keys('korvex1')),
    dict(name='same version forced replaces the stale backup', args=['-F', '-D', 'korvex1'],
         source={'korvex1.sys': NEW},
         installed={'korvex1.sys': ('2.1', 'installed'), 'korvex1.sys.2.1': ('2.1', 'stale')},
         out=[], status=0, files={'korvex1.sys': NEW, 'korvex1.sys.2.1': ('2.1', 'installed')},
         registry=installed_keys('korvex1')),
    dict(name='newer installed refused', args=['-D', 'korvex2'],
         source={'korvex2.sys': ('2.9', 'src')}, installed={'korvex2.sys': ('3.0', 'inst')},
         out=['drvinst korvex2 : ' + DRIVERS + '\\korvex2.sys already existed and may have '
              'newer version.'], status=0, files={'korvex2.sys': ('3.0', 'inst')}, registry={}),
    dict(name='forced downgrade', args=['-D', 'korvex2', '-F'],
         source={'korvex2.sys': ('2.9', 'src')}, installed={'korvex2.sys': ('3.0', 'inst')},
         out=[], status=0,
         files={'korvex2.sys': ('2.9', 'src'), 'korvex2.sys.3.0': ('3.0', 'inst')},
         registry=installed_keys('korvex2')),
    dict(name='unreadable installed version is overwritten without backup',
         args=['-D', 'korvex1'], source={'korvex1.sys': NEW},
         installed={'korvex1.sys': ('7', 'noversion', 'uncounted')},
         out=[], status=0, files={'korvex1.sys': NEW}, registry=installed_keys('korvex1')),
    dict(name='installed letter version backs up as 0.0', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW}, installed={'korvex1.sys': ('v1.2', 'letter')},
         out=[], status=0, files={'korvex1.sys': NEW, 'korvex1.sys.0.0': ('v1.2', 'letter')},
         registry=installed_keys('korvex1')),
    dict(name='source without version changes nothing', args=['-D', 'korvex1'],
         source={'korvex1.sys': (None, 'bad')}, installed={'korvex1.sys': OLD},
         out=[NO_VERSION], status=1, files={'korvex1.sys': OLD}, registry={}),
    dict(name='working directory past 256 characters', builds=('posix',), deep=2,
         args=['-D', 'korvex1'], source={'korvex1.sys': NEW}, out=[], status=0,
         files={'korvex1.sys': NEW}, registry=installed_keys('korvex1')),
    dict(name='source directory with blanks and ampersand', argv0='a b&echo evil\\drvinst',
         args=['-D', 'korvex1', '-V'], source={'a b&echo evil/korvex1.sys': NEW},
         out=verbose_install('{cwd}\\a b&echo evil\\') +
         ['copy "{cwd}\\a b&echo evil\\korvex1.sys" ' + DRIVERS] + created('korvex1'),
         status=0, files={'korvex1.sys': NEW}, registry=installed_keys('korvex1')),
    dict(name='korvex2 registers its own image and tag', args=['-D', 'korvex2'],
         source={'korvex2.sys': NEW}, keys=installed_keys('korvex1'),
         out=[], status=0, files={'korvex2.sys': NEW},
         registry=dict(installed_keys('korvex1'), **installed_keys('korvex2'))),
    dict(name='old keys are replaced, not merged', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW},
         keys={'korvex1': {'Stale': text_value('x'), 'Start': dword_value(3)},
               'korvex1\\Enum\\Deep': {'y': dword_value(1)},
               'eventlog\\system\\korvex1': {'Stale': text_value('x')}},
         out=[], status=0, files={'korvex1.sys': NEW}, registry=installed_keys('korvex1')),
]

FAILURES = [
    dict(name='failed move keeps the installed driver and runs no copy',
         args=['-D', 'korvex1', '-V'], interpreter='failmove',
         source={'korvex1.sys': NEW}, installed={'korvex1.sys': OLD},
         out=verbose_install('{cwd}\\') + BACKUP +
         [P1 + 'Failed to move %s\\korvex1.sys to %s\\korvex1.sys.2.0' % (DRIVERS, DRIVERS)],
         status=1, files={'korvex1.sys': OLD}, registry={}),
    # A directory in the driver's place cannot be opened as a file on both
    # builds, as a file that cannot be read: it may hold a version.
    dict(name='installed driver that cannot be read is refused', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW}, installed={'korvex1.sys': 'DIR'},
         files={'korvex1.sys': 'DIR'}, status=1, registry={},
         out=[P1 + 'Failed to read ' + DRIVERS + '\\korvex1.sys: access denied (error 5)']),
    dict(name='failed copy moves the backup back', args=['-D', 'korvex1', '-V'],
         interpreter='failcopy', source={'korvex1.sys': NEW}, installed={'korvex1.sys': OLD},
         out=verbose_install('{cwd}\\') + BACKUP + [COPY, COPY_FAILED, 'Uninstall korvex1 driver',
                                                     'move %s.2.0 %s' % (DRIVER, DRIVER)],
         status=1, files={'korvex1.sys': OLD}, registry={}),
    dict(name='uninstall whose del fails ends with its status', args=['-U', '-D', 'korvex1'],
         interpreter='faildel', installed={'korvex1.sys': OLD}, keys=installed_keys('korvex1'),
         out=[P1 + 'Failed to delete ' + DRIVER], status=1, files={'korvex1.sys': OLD},
         registry={}),
    dict(name='missing drivers directory is a failed copy', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW}, no_drivers_directory=True,
         out=[COPY_FAILED], status=1, registry={}),
    dict(name='no interpreter at all', builds=('posix',), args=['-D', 'korvex1'],
         interpreter='none', source={'korvex1.sys': NEW},
         out=[COPY_FAILED], status=-1, files={}, registry={}),
    dict(name='a cmd.exe planted beside the driver never runs', args=['-D', 'korvex1'],
         source={'korvex1.sys': NEW, 'cmd.exe': 'PLANTED'}, out=[], status=0,
         files={'korvex1.sys': NEW}, registry=installed_keys('korvex1')),
    dict(name='service key cannot be created', args=['-D', 'korvex1'], links=['korvex1'],
         fail='RegCreateKeyExA:korvex1', source={'korvex1.sys': NEW},
         installed={'korvex1.sys': OLD}, keys={'eventlog\\system\\korvex1': {'Old': text_value('x')}},
         out=[P1 + 'RegCreateKeyEx failed to create registry key'], status=1,
         files={'korvex1.sys': OLD},
         registry={'eventlog\\system\\korvex1': {'Old': text_value('x')}}),
    dict(name='event-log key cannot be created', builds=('wine',), args=['-D', 'korvex1'],
         links=['EventLog\\System\\korvex1'], source={'korvex1.sys': NEW},
         out=[P1 + 'Warning: RegCreateKeyEx failed to create event log key'], status=0,
         files={'korvex1.sys': NEW}, registry={'korvex1': service_values('korvex1')}),
    dict(name='service value cannot be set', builds=('posix',), args=['-D', 'korvex1'],
         fail='RegSetValueExA:Start', source={'korvex1.sys': NEW},
         keys={'eventlog\\system\\korvex1': {'Old': text_value('x')}},
         out=[P1 + 'RegSetValueEx failed: could not set value Start'], status=1, files={},
         registry={}),
    dict(name='event-log value cannot be set', builds=('posix',), args=['-D', 'korvex1'],
         fail='RegSetValueExA:EventMessageFile', source={'korvex1.sys': NEW},
         out=[P1 + 'Warning: RegSetValueEx failed to set value EventMessageFile'], status=0,
         files={'korvex1.sys': NEW},
         registry={'korvex1': service_values('korvex1'), 'eventlog\\system\\korvex1': {}}),
    dict(name='subkeys that cannot be listed stay', builds=('posix',), args=['-D', 'korvex1', '-V'],
         fail='RegEnumKeyA', source={'korvex1.sys': NEW}, keys={'korvex1\\Enum': {}},
         out=verbose_install('{cwd}\\') + [COPY, 'Failed to enumerate subKey 0'] +
         created('korvex1'),
         status=0, files={'korvex1.sys': NEW},
         registry=dict(installed_keys('korvex1'), **{'korvex1\\enum': {}})),
    dict(name='a path the interpreter would rewrite is refused', builds=('posix',),
         argv0='100%\\drvinst', args=['-D', 'korvex1'], source={'100%/korvex1.sys': NEW},
         out=[P1 + 'Path {cwd}\\100%\\korvex1.sys cannot be passed safely to the command '
              'interpreter'], status=1, files={}, registry={}),
]

# Only the 32-bit program in a 64-bit prefix runs these: it must refuse an
# install and an uninstall before anything changes, whether or not a
# SysWOW64\drivers folder would take a copy.
WOW64 = [dict(name='32-bit program refused on 64-bit Windows: %s, %s SysWOW64\\drivers'
              % (' '.join(args), 'with' if present else 'without'),
              builds=('wow64',), syswow64=present, args=args, source={'korvex1.sys': NEW},
              installed={'korvex1.sys': OLD}, keys=installed_keys('korvex1'),
              out=['This 32-bit drvinst.exe cannot install drivers on 64-bit Windows; run the '
                   '64-bit drvinst.exe instead.'], status=1, files={'korvex1.sys': OLD},
              registry=installed_keys('korvex1'))
         for present in (False, True) for args in (['-D', 'korvex1'], ['-U', '-D', 'korvex1'])]

SCENARIOS = START_UP + DAMAGED_HIVES + DIRTY_HIVES + UNINSTALL + PLACEMENT + FAILURES + WOW64
