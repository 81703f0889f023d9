"""The plugin registry: entry points, explicit registration, sub-plugins."""
import importlib
import itertools
import sys
import textwrap
import types

import pytest

from quarn.utils.bargeon import core
from quarn.utils.bargeon.bases.bargeon import BargeonBase
from quarn.utils.bargeon.core import PluginLoadError, PluginManager

_serial = itertools.count()


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))


PLUGIN_INIT = '''
    from quarn.utils.bargeon.bases.bargeon import BargeonBase

    class Bargeon(BargeonBase):
        def is_valid_ip(self, ip):
            return True
'''


@pytest.fixture
def site(tmp_path, monkeypatch):
    """A directory on sys.path; ``site.package(...)`` writes a plugin package,
    ``site.distribution(...)`` a .dist-info advertising entry points."""
    monkeypatch.syspath_prepend(str(tmp_path))
    created = []

    class Site(object):
        def package(self, files):
            name = 'quarnplug{}'.format(next(_serial))
            for relative, text in files.items():
                write(tmp_path / name / relative, text)
            created.append(name)
            importlib.invalidate_caches()
            return name

        def distribution(self, entry_points):
            dist = 'quarn_test_plugins_{}'.format(next(_serial))
            info = tmp_path / '{}-1.0.dist-info'.format(dist)
            write(info / 'METADATA', 'Metadata-Version: 2.1\nName: {}\nVersion: 1.0\n'.format(dist))
            lines = ['[{}]'.format(core.ENTRY_POINT_GROUP)]
            lines += ['{} = {}'.format(os, value) for os, value in entry_points.items()]
            write(info / 'entry_points.txt', '\n'.join(lines) + '\n')
            importlib.invalidate_caches()
    yield Site()
    for name in created:
        for module in [m for m in sys.modules if m == name or m.startswith(name + '.')]:
            del sys.modules[module]


@pytest.fixture
def solaris(site):
    """An installed plugin distribution for os 'solaris' with an ftp sub-plugin."""
    name = site.package({'__init__.py': PLUGIN_INIT,
                         'ftp.py': PLUGIN_INIT,
                         'broken.py': 'import quarn_no_such_dependency\n'})
    site.distribution({'solaris': name})
    return name


def test_entry_point_discovery_and_submodules(solaris):
    mgr = PluginManager()
    plugin = mgr.get_plugin('solaris')
    assert plugin.__name__ == solaris and mgr.get_plugin('solaris') is plugin
    assert mgr.get_subplugin('solaris', 'ftp').__name__ == solaris + '.ftp'
    assert mgr.get_subplugin('solaris', 'scp') is None
    assert mgr.get_subplugin('linux', 'ftp') is None
    assert 'solaris' in mgr.plugins()


def test_registry_serves_the_factory(solaris, monkeypatch):
    monkeypatch.setattr(BargeonBase, '__plugin_mgr__', PluginManager())
    fu = BargeonBase(os='solaris')
    assert type(fu).__module__ == solaris
    child = fu.get_child('ftp')
    assert type(child).__module__ == solaris + '.ftp' and child.parent is fu


def test_entry_points_are_read_on_first_use_only(solaris, monkeypatch):
    reads = []
    real = core._group_entry_points
    monkeypatch.setattr(core, '_group_entry_points', lambda group: reads.append(group) or real(group))
    mgr = PluginManager()
    assert reads == []
    mgr.get_plugin('solaris')
    mgr.get_plugin('nothing')
    assert reads == [core.ENTRY_POINT_GROUP]
    mgr.rescan()
    mgr.get_plugin('solaris')
    assert len(reads) == 2


def test_entry_point_with_an_attribute(site):
    name = site.package({'__init__.py': 'from types import SimpleNamespace\n'
                                        'plugin = SimpleNamespace(Bargeon=int, __name__="ns")\n'})
    site.distribution({'aix': name + ':plugin'})
    assert PluginManager().get_plugin('aix').__name__ == 'ns'


@pytest.mark.parametrize('files, error', [
    ({'__init__.py': 'raise RuntimeError("plugin exploded")\n'}, RuntimeError),
    ({'__init__.py': 'import quarn_no_such_dependency\n'}, ImportError),
])
def test_plugin_that_fails_to_import_names_itself_and_the_cause(site, files, error):
    name = site.package(files)
    site.distribution({'hpux': name})
    with pytest.raises(PluginLoadError) as info:
        PluginManager().get_plugin('hpux')
    assert name in str(info.value) and 'hpux' in str(info.value)
    assert isinstance(info.value.__cause__, error)
    assert str(info.value.__cause__) in str(info.value)


def test_registered_module_that_does_not_exist(site):
    mgr = PluginManager()
    mgr.register('irix', 'quarn_missing_plugin.pkg')
    with pytest.raises(PluginLoadError, match='quarn_missing_plugin'):
        mgr.get_plugin('irix')


def test_submodule_with_a_broken_dependency_is_an_error_not_absent(solaris):
    with pytest.raises(PluginLoadError) as info:
        PluginManager().get_subplugin('solaris', 'broken')
    assert 'key broken' in str(info.value)
    assert info.value.__cause__.name == 'quarn_no_such_dependency'


def test_explicit_registration_takes_precedence(solaris):
    mgr = PluginManager()
    own = types.ModuleType('own')
    mgr.register('solaris', own)
    assert mgr.get_plugin('solaris') is own
    assert mgr.get_subplugin('solaris', 'ftp') is None      # not a package
    sub = types.ModuleType('own.sftp')
    mgr.register('solaris', sub, key='sftp')
    assert mgr.get_subplugin('solaris', 'sftp') is sub
    mgr.unregister('solaris')
    assert mgr.get_plugin('solaris').__name__ == solaris
    mgr.unregister('solaris', key='sftp')
    assert mgr.get_subplugin('solaris', 'sftp') is None


def test_register_by_dotted_path(solaris):
    mgr = PluginManager()
    mgr.register('other', solaris)
    mgr.register('other', solaris + '.ftp', key='scp')
    assert mgr.get_subplugin('other', 'scp').__name__ == solaris + '.ftp'
    assert mgr.get_subplugin('other', 'ftp').__name__ == solaris + '.ftp'


@pytest.mark.parametrize('module', ['', 'not a path', 'a..b'])
def test_register_rejects_bad_paths(module):
    with pytest.raises(ValueError):
        PluginManager().register('x', module)


@pytest.mark.parametrize('key', [None, 'ftp'])
@pytest.mark.parametrize('module', [42, None, object()])
def test_register_rejects_what_is_no_module_at_once(module, key):
    mgr = PluginManager()
    with pytest.raises(TypeError, match='register.. takes a plugin module'):
        mgr.register('x', module, key=key)
    assert mgr.get_plugin('x') is None


@pytest.mark.parametrize('os, key', [
    (['unhashable'], 'ftp'), ('nothing', 'ftp'), ('solaris', 'not.a key'),
    ('solaris', 5), ('solaris', ['x']), ('solaris', ''),
])
def test_unknown_answers_none(solaris, os, key):
    mgr = PluginManager()
    assert mgr.get_subplugin(os, key) is None
    if os != 'solaris':
        assert mgr.get_plugin(os) is None


def test_builtin_plugins_count_only_when_present(site):
    name = site.package({'__init__.py': PLUGIN_INIT})
    mgr = PluginManager(builtins={'here': name, 'gone': 'quarn_missing_builtin.plugin'})
    assert mgr.get_plugin('here').__name__ == name
    assert mgr.get_plugin('gone') is None
