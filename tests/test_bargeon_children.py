"""The child cache (get_child, remove_child, parent) and the lifecycle."""
import pytest

from quarn.utils.bargeon.exceptions import BargeonError

from bargeon_helpers import (BargeonBase, linux, logs, plugin_class, plugin_module,  # noqa: F401
                             registry)


@pytest.fixture
def ftp(registry, linux):
    """The protocol-specific class registered for ('linux', 'ftp')."""
    closed = []

    def close(self):
        closed.append(self)
    cls = plugin_class('FtpBargeon', 'plugins.linux.ftp', close=close)
    cls.closed = closed
    registry.add_sub('linux', 'ftp', plugin_module('plugins.linux.ftp', cls))
    return cls


@pytest.fixture
def fu(linux):
    return BargeonBase(os='linux', testbed='tb')


def test_child_is_made_once_and_cached(registry, ftp, fu, logs):
    child = fu.get_child('ftp')
    assert fu.get_child(abstraction_key='ftp') is child
    assert type(child) is ftp and fu.children == {'ftp': child}
    assert (child.parent, child.abstraction_key, child.os, child.testbed, child.children) == \
        (fu, 'ftp', 'linux', 'tb', {})
    assert registry.calls.count(('get_subplugin', 'linux', 'ftp')) == 1
    assert logs()[-1] == ('DEBUG', 'Instantiating child class FtpBargeon from module plugins.linux.ftp...')


def test_grandchild_asks_with_the_childs_os(registry, ftp, fu):
    registry.add_sub('linux', 'sftp', plugin_module('plugins.linux.sftp', ftp))
    grandchild = fu.get_child('ftp').get_child('sftp')
    assert grandchild.parent is fu.get_child('ftp')


def test_unknown_key_raises_and_caches_nothing(registry, fu):
    with pytest.raises(NotImplementedError) as info:
        fu.get_child('scp')
    assert str(info.value) == \
        'The bargeon plugin for os linux does not provide an implementation for key scp.'
    assert fu.children == {}


@pytest.mark.parametrize('make_module, cached', [
    (lambda: plugin_module('plugins.linux.bad'), False),                      # no Bargeon
    (lambda: plugin_module('plugins.linux.bad', lambda **kw: object()), True),  # key not settable
])
def test_attribute_errors_after_the_registry_answered(registry, fu, make_module, cached):
    registry.add_sub('linux', 'bad', make_module())
    with pytest.raises(Exception) as info:
        fu.get_child('bad')
    assert isinstance(info.value, BargeonError)
    assert str(info.value) == 'Cannot find Bargeon class in module plugins.linux.bad.'
    assert isinstance(info.value.__context__, AttributeError)
    assert ('bad' in fu.children) is cached


def test_attribute_error_before_the_registry_answered_is_unchanged(registry, ftp, fu):
    del fu.os
    with pytest.raises(AttributeError) as info:
        fu.get_child('ftp')
    assert type(info.value) is AttributeError and 'os' in str(info.value)
    assert registry.calls.count(('get_subplugin', 'linux', 'ftp')) == 0


def test_child_class_is_not_checked_and_whatever_it_returns_is_cached(registry, fu):
    class Plain(object):
        def __init__(self, **kwargs):
            self.kwargs = kwargs
    registry.add_sub('linux', 'raw', plugin_module('plugins.raw', Plain))
    child = fu.get_child('raw')
    assert child.kwargs == {'os': 'linux', 'testbed': 'tb', '_parent': fu}
    assert list(child.kwargs) == ['os', 'testbed', '_parent']


def test_false_cached_child_is_replaced(registry, ftp, fu):
    ftp.__bool__ = lambda self: False
    first = fu.get_child('ftp')
    second = fu.get_child('ftp')
    assert first is not second and fu.children['ftp'] is second


def test_remove_child_creates_closes_and_forgets(registry, ftp, fu):
    fu.remove_child('ftp')
    assert len(ftp.closed) == 1 and fu.children == {}
    assert fu.get_child('ftp') is not ftp.closed[0]


@pytest.mark.parametrize('error, propagates', [(ValueError('boom'), False), (KeyboardInterrupt(), True)])
def test_remove_child_when_close_fails(registry, ftp, fu, logs, error, propagates):
    def close(self):
        raise error
    ftp.close = close
    fu.get_child('ftp')
    if propagates:
        with pytest.raises(KeyboardInterrupt):
            fu.remove_child('ftp')
        assert not [m for m in logs() if m[0] == 'WARNING']
    else:
        assert fu.remove_child('ftp') is None
        assert logs()[-1] == ('WARNING', 'Failed to close child ftp : boom.')
    assert fu.children == {}


def test_remove_child_when_get_child_fails(registry, fu):
    fu.children['other'] = 1
    with pytest.raises(NotImplementedError):
        fu.remove_child('scp')
    assert fu.children == {'other': 1}


def test_parent_property(registry, linux, fu):
    assert fu.parent is None
    assert isinstance(BargeonBase.__dict__['parent'], property)
    with pytest.raises(AttributeError):
        fu.parent = 1


def test_context_manager_closes_once_and_never_suppresses(registry, ftp):
    registry.add('ftp-os', plugin_module('plugins.ftp_os', ftp))
    with BargeonBase(os='ftp-os') as fu:
        assert type(fu) is ftp
    assert ftp.closed == [fu]
    with pytest.raises(ZeroDivisionError):
        with BargeonBase(os='ftp-os'):
            1 / 0
    assert len(ftp.closed) == 2


def test_close_error_leaves_the_with_statement(registry, linux):
    def close(self):
        raise OSError('cannot close')
    linux.close = close
    with pytest.raises(OSError, match='cannot close'):
        with BargeonBase(os='linux'):
            pass


def test_base_close_and_exit_return_none(registry, fu):
    assert BargeonBase.close(fu) is None
    assert fu.__enter__() is fu
    assert fu.__exit__(None, None, None) is None
    with pytest.raises(TypeError):
        fu.__exit__(None, None)
