"""The offline contenders: drvinst's POSIX build on a mounted-tree layout,
the same job done by merging a .reg file with hivexregedit plus a plain
copy of the driver, and the floor, copying the hive and the driver."""

import os
import shutil
import subprocess

from timing import Contender, run_steps

PREFIX = 'HKEY_LOCAL_MACHINE\\SYSTEM'
SERVICE = '\\ControlSet001\\Services\\korvex1'
EVENT_SOURCE = '\\ControlSet001\\Services\\EventLog\\System\\korvex1'


def _wide(text):
    data = (text + '\0').encode('utf-16-le')
    return ','.join('%02x' % b for b in data)


def peer_reg_text():
    """The install as a .reg file: the old keys removed, the two keys with
    the eight values drvinst writes for korvex1."""
    service, source = PREFIX + SERVICE, PREFIX + EVENT_SOURCE
    return '\r\n'.join([
        'Windows Registry Editor Version 5.00', '',
        '[-%s]' % service, '', '[-%s]' % source, '',
        '[%s]' % service,
        '"ErrorControl"=dword:00000001',
        '"Group"="SCSI Miniport"',
        '"ImagePath"=hex(2):' + _wide('System32\\Drivers\\korvex1.sys'),
        '"Start"=dword:00000000',
        '"Tag"=dword:00000001',
        '"Type"=dword:00000001', '',
        '[%s]' % source,
        '"EventMessageFile"=hex(2):' + _wide('%SystemRoot%\\System32\\IoLogMsg.dll'),
        '"TypesSupported"=dword:00000007', '', ''])


def peer_uninstall_reg_text():
    return '\r\n'.join(['Windows Registry Editor Version 5.00', '',
                        '[-%s]' % (PREFIX + SERVICE), '',
                        '[-%s]' % (PREFIX + EVENT_SOURCE), '', ''])


def reged_script():
    """The install as one session of reged -e (Debian's chntpw): both keys
    made, the eight values made and set, the change committed."""
    def values(*triples):
        return [line for kind, name, data in triples
                for line in ('nv %d %s' % (kind, name), 'ed ' + name, data)]
    return '\n'.join(
        ['cd ControlSet001\\Services', 'nk korvex1', 'cd korvex1'] +
        values((4, 'ErrorControl', '1'), (1, 'Group', 'SCSI Miniport'),
               (2, 'ImagePath', 'System32\\Drivers\\korvex1.sys'), (4, 'Start', '0'),
               (4, 'Tag', '1'), (4, 'Type', '1')) +
        ['cd ..', 'cd EventLog\\System', 'nk korvex1', 'cd korvex1'] +
        values((2, 'EventMessageFile', '%SystemRoot%\\System32\\IoLogMsg.dll'),
               (4, 'TypesSupported', '7')) + ['q', 'y', ''])


class Tree:
    """<root>/WINNT with system32/config/SYSTEM and system32/drivers."""

    def __init__(self, root):
        self.root = root
        self.windows = os.path.join(root, 'WINNT')
        self.config = os.path.join(self.windows, 'system32', 'config')
        self.drivers = os.path.join(self.windows, 'system32', 'drivers')
        self.hive = os.path.join(self.config, 'SYSTEM')

    def fresh(self, hive, driver=None):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.config)
        os.makedirs(self.drivers)
        shutil.copyfile(hive, self.hive)
        if driver is not None:
            shutil.copyfile(driver, os.path.join(self.drivers, 'korvex1.sys'))


class Offline:
    """Everything the offline contenders share: the built programs, a source
    directory holding korvex1.sys, and the .reg files of the peer."""

    def __init__(self, bindir, work, nosync=None):
        self.bindir = bindir
        self.work = work
        self.nosync = nosync
        self.source = os.path.join(work, 'source')
        self.driver = os.path.join(self.source, 'korvex1.sys')
        os.makedirs(self.source, exist_ok=True)
        if not os.path.exists(self.driver):
            subprocess.run([os.path.join(bindir, 'mksys'), self.driver, '--file-version', '2.0',
                            '--payload', 'benchmark driver'], check=True)
        self.peer_reg = self._write('install.reg', peer_reg_text())
        self.peer_uninstall_reg = self._write('uninstall.reg', peer_uninstall_reg_text())
        self.reged_script = self._write('reged.txt', reged_script())

    def _write(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, 'w', newline='') as f:
            f.write(text)
        return path

    def env(self, tree):
        env = {k: v for k, v in os.environ.items() if k != 'COMSPEC'}
        env.update(PATH=self.bindir + ':' + os.environ.get('PATH', '/usr/bin:/bin'),
                   SystemRoot=tree.windows)
        return env

    def drvinst(self, tree, uninstall=False, synced=True):
        argv = ['drvinst'] + (['-U'] if uninstall else []) + ['-D', 'korvex1']
        env = self.env(tree)
        if not synced:
            env['LD_PRELOAD'] = self.nosync
        return [(argv, self.source, env)]

    def merge(self, tree, reg):
        return [(['hivexregedit', '--merge', '--prefix', PREFIX, tree.hive, reg], self.work, None)]

    def installed_hive(self, hive):
        """The hive after one drvinst install, the input of an uninstall."""
        done = hive + '.installed'
        if not os.path.exists(done):
            tree = Tree(os.path.join(self.work, 'master'))
            tree.fresh(hive)
            subprocess.run(self.drvinst(tree)[0][0], cwd=self.source, env=self.env(tree),
                           check=True, stdout=subprocess.DEVNULL)
            shutil.copyfile(tree.hive, done)
        return done


HEADLINE = ('install', 'uninstall', 'reinstall', 'install-unsynced', 'peer', 'peer-uninstall',
            'floor')


def baseline_contenders(baseline, label, hive, names=('install', 'reinstall', 'uninstall')):
    """The same runs with another build of drvinst, named "<name> (<label>)"."""
    contenders = install_contenders(baseline, hive, names)
    for contender in contenders:
        contender.name += ' (%s)' % label
    return contenders


def install_contenders(offline, hive, names=HEADLINE):
    """The contenders of the headline comparison, on one hive.  reinstall
    offers the installed version again, which changes nothing; the unsynced
    install has fsync turned off, to show what durability costs."""
    tree = Tree(os.path.join(offline.work, 'tree'))
    installed = offline.installed_hive(hive) if set(names) - {'install', 'install-unsynced',
                                                              'peer', 'floor'} else None
    drivers = os.path.join(tree.drivers, 'korvex1.sys')

    def install():
        tree.fresh(hive)
        return offline.drvinst(tree)

    def uninstall():
        tree.fresh(installed, offline.driver)
        return offline.drvinst(tree, uninstall=True)

    def reinstall():
        tree.fresh(installed, offline.driver)
        return offline.drvinst(tree)

    def install_unsynced():
        tree.fresh(hive)
        return offline.drvinst(tree, synced=False)

    def peer():
        tree.fresh(hive)
        return offline.merge(tree, offline.peer_reg) + [(['cp', offline.driver, drivers],
                                                         None, None)]

    def peer_uninstall():
        tree.fresh(installed, offline.driver)
        return offline.merge(tree, offline.peer_uninstall_reg) + [(['rm', drivers], None, None)]

    def reged():
        tree.fresh(hive)
        # reged ends 2 after committing a change.
        return [(['sh', '-c', 'reged -e "$1" < "$2" >/dev/null; [ $? = 2 ]', 'sh', tree.hive,
                  offline.reged_script],
                 None, None), (['cp', offline.driver, drivers], None, None)]

    def floor():
        tree.fresh(hive)
        return [(['cp', tree.hive, tree.hive + '.copy'], None, None),
                (['cp', offline.driver, drivers], None, None)]

    every = {'install': install, 'uninstall': uninstall, 'reinstall': reinstall,
             'install-unsynced': install_unsynced, 'peer': peer, 'peer-uninstall': peer_uninstall,
             'reged': reged, 'floor': floor}
    return [Contender(name, every[name]) for name in names]


def export(hive, key):
    done = subprocess.run(['hivexregedit', '--export', hive, key], capture_output=True,
                          text=True)
    return done.stdout if done.returncode == 0 else None


def check_same_result(offline, hive):
    """drvinst and the peer must leave the same two keys, or the comparison
    means nothing; an uninstall must leave neither."""
    results = []
    for contender in install_contenders(offline, hive, ('install', 'peer')):
        tree = Tree(os.path.join(offline.work, 'tree'))
        run_steps(contender.prepare())
        results.append([export(tree.hive, key) for key in (SERVICE, EVENT_SOURCE)])
    if results[0] != results[1] or None in results[0]:
        raise RuntimeError('drvinst and hivexregedit left different keys:\n%s' % results)
    tree = Tree(os.path.join(offline.work, 'tree'))
    run_steps(install_contenders(offline, hive, ('uninstall',))[0].prepare())
    if any(export(tree.hive, key) is not None for key in (SERVICE, EVENT_SOURCE)):
        raise RuntimeError('the uninstall left a driver key behind')
    if os.path.exists(os.path.join(tree.drivers, 'korvex1.sys')):
        raise RuntimeError('the uninstall left the driver file behind')
