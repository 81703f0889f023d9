"""The plugin-dispatching factory: __new__, __init__ and from_device."""
import types

import pytest

from quarn.utils.bargeon.exceptions import BargeonError

from bargeon_helpers import (BargeonBase, linux, logs, plugin_class,  # noqa: F401
                             plugin_module, registry)


def test_instance_of_registered_class_with_attributes(registry, linux, logs):
    tb = object()
    fu = BargeonBase(os='linux', testbed=tb)
    assert type(fu) is linux
    assert (fu.os, fu.testbed, fu.children) == ('linux', tb, {})
    assert registry.calls == [('get_plugin', 'linux')] * 2
    assert logs() == [('DEBUG', 'Instantiating class LinuxBargeon from module plugins.linux...')]


@pytest.mark.parametrize('args, kwargs, asked', [
    ((), {}, 'localhost'),
    (('linux',), {}, 'localhost'),       # a positional is ignored, not the os
    ((), {'os': 'Linux'}, 'Linux'),      # no case folding
])
def test_os_passed_to_registry_as_given(registry, args, kwargs, asked):
    with pytest.raises(Exception):
        BargeonBase(*args, **kwargs)
    assert registry.calls[0] == ('get_plugin', asked)


class NotAClass(object):
    def __str__(self):
        return 'not-a-class'


@pytest.mark.parametrize('module, message, context', [
    (None, 'Cannot find bargeon plugin for os solaris.', None),
    (plugin_module('plugins.nobargeon'), 'Cannot find Bargeon class in module plugins.nobargeon.',
     AttributeError),
    (plugin_module('plugins.unrelated', dict),
     'The Bargeon class in module plugins.unrelated does not inherit from '
     'quarn.utils.Bargeon base class.', None),
    (plugin_module('plugins.odd', NotAClass()),
     'not-a-class is the registered bargeon plugin for os solaris but is not a class.', TypeError),
])
def test_the_four_factory_failures(registry, logs, module, message, context):
    if module is not None:
        registry.add('solaris', module)
    with pytest.raises(Exception) as info:
        BargeonBase(os='solaris')
    assert isinstance(info.value, BargeonError)
    assert str(info.value) == message
    if context is None:
        assert info.value.__context__ is None
    else:
        assert isinstance(info.value.__context__, context)
    assert logs() == []


def test_failures_keep_their_context_inside_an_outer_handler(registry):
    registry.add('os', plugin_module('plugins.nobargeon'))
    try:
        raise KeyError('outer')
    except KeyError:
        with pytest.raises(Exception) as info:
            BargeonBase(os='os')
    assert isinstance(info.value.__context__, AttributeError)


def test_registry_errors_propagate_unchanged(registry):
    def broken(os):
        raise LookupError('registry down')
    registry.get_plugin = broken
    with pytest.raises(LookupError, match='registry down'):
        BargeonBase(os='linux')


@pytest.mark.parametrize('parent', [None, 0, ''])
def test_false_parent_is_a_plain_construction(registry, linux, parent):
    fu = BargeonBase(os='linux', _parent=parent)
    assert type(fu) is linux and registry.calls
    assert fu._parent == parent


def test_true_parent_instantiates_the_class_called(registry, linux, logs):
    child = linux(os='linux', _parent='p')
    assert type(child) is linux and registry.calls == []
    assert logs() == [('DEBUG', 'Instantiating child class LinuxBargeon from module plugins.linux...')]


def test_calling_the_plugin_class_or_an_unrelated_subclass(registry, linux):
    assert type(linux(os='linux')) is linux
    other = plugin_class('Other', 'plugins.other')
    with pytest.raises(Exception, match='does not inherit from quarn.utils.Bargeon base class'):
        other(os='linux')


def test_init_stores_keywords_in_order_and_children_last(registry, linux):
    order = []

    class Recording(linux):
        def __setattr__(self, name, value):
            order.append(name)
            super(Recording, self).__setattr__(name, value)
    registry.add('rec', plugin_module('plugins.rec', Recording))
    fu = BargeonBase('ignored', os='rec', b=1, a=2, children={'x': 1})
    assert order == ['os', 'testbed', 'b', 'a', 'children', 'children']
    assert fu.children == {} and (fu.a, fu.b) == (2, 1)


def test_read_only_keyword_attribute_fails(registry, linux):
    with pytest.raises(AttributeError):
        BargeonBase(os='linux', parent=1)


def test_new_passes_only_cls_to_the_next_new(registry):
    seen = []

    class Mixin(object):
        def __new__(cls, *args, **kwargs):
            seen.append((cls, args, kwargs))
            return super(Mixin, cls).__new__(cls)

    cls = type('Mixed', (BargeonBase, Mixin), {'__module__': 'plugins.mixed'})
    registry.add('mixed', plugin_module('plugins.mixed', cls))
    BargeonBase(1, os='mixed', x=2)
    assert seen == [(cls, (), {})]


def device(os='linux', **attributes):
    return types.SimpleNamespace(os=os, **attributes)


@pytest.mark.parametrize('attributes, argument, expected', [
    ({}, 'tb-arg', 'tb-arg'),
    ({'testbed': 'tb-dev'}, 'tb-arg', 'tb-dev'),
    ({'testbed': None}, 'tb-arg', None),
])
def test_from_device_testbed_choice(registry, linux, attributes, argument, expected):
    dev = device(**attributes)
    fu = BargeonBase.from_device(dev, testbed=argument, extra=3)
    assert type(fu) is linux
    assert (fu.testbed, fu.device, fu.extra, fu.parent) == (expected, dev, 3, None)


def test_from_device_discards_errors_reading_testbed(registry, linux):
    class Device(object):
        os = 'linux'

        @property
        def testbed(self):
            raise RuntimeError('no testbed')
    assert BargeonBase.from_device(Device(), testbed='tb').testbed == 'tb'


@pytest.mark.parametrize('dev, kwargs, error', [
    (types.SimpleNamespace(), {}, AttributeError),
    (device(), {'device': 1}, TypeError),
    (device(), {'os': 'x'}, TypeError),
])
def test_from_device_errors(registry, linux, dev, kwargs, error):
    with pytest.raises(error):
        BargeonBase.from_device(dev, **kwargs)


def test_from_device_on_subclass_uses_that_class(registry, linux):
    sub = plugin_class('Sub', 'plugins.sub', base=linux)
    with pytest.raises(Exception, match='does not inherit'):
        sub.from_device(device())


@pytest.mark.parametrize('call', [
    lambda: BargeonBase.__new__(),
    lambda: BargeonBase.from_device(),
    lambda: BargeonBase.__init__(),
])
def test_argument_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_registry_is_one_object_made_at_import():
    from quarn.utils.bargeon.core import PluginManager
    mgr = BargeonBase.__dict__['__plugin_mgr__']
    assert type(mgr) is PluginManager
    assert plugin_class().__plugin_mgr__ is mgr


@pytest.mark.parametrize('module, kind', [
    (None, 'BargeonPluginNotFoundError'),
    (plugin_module('plugins.nobargeon'), 'BargeonPluginNotFoundError'),
    (plugin_module('plugins.unrelated', type('Unrelated', (), {})), 'BargeonPluginError'),
    (plugin_module('plugins.odd', NotAClass()), 'BargeonPluginError'),
])
def test_each_failure_has_its_own_exception_class(registry, module, kind):
    from quarn.utils.bargeon import exceptions
    from quarn.utils.bargeon.bases import bargeon as module_of_base
    if module is not None:
        registry.add('solaris', module)
    with pytest.raises(getattr(exceptions, kind)) as info:
        BargeonBase(os='solaris')
    assert type(info.value) is getattr(exceptions, kind) is getattr(module_of_base, kind)
    assert isinstance(info.value, LookupError) == kind.endswith('NotFoundError')
