"""Shared test doubles for the file-transfer base tests.

``FakeRegistry`` stands in for the plugin registry: it maps os names to
plugin modules and (os, key) pairs to sub-plugin modules, and records every
question it is asked.  The ``registry`` fixture installs one on
``BargeonBase.__plugin_mgr__`` for the duration of a test.
"""
import logging
import types

import pytest

from quarn.utils.bargeon.bases import bargeon as bargeon_module
from quarn.utils.bargeon.bases.bargeon import BargeonBase

LOGGER_NAME = 'quarn.utils.bargeon.bases.bargeon'


def plugin_module(name, bargeon_class=None, **attributes):
    """A module named ``name`` whose ``Bargeon`` is ``bargeon_class``
    (left out when None)."""
    module = types.ModuleType(name)
    if bargeon_class is not None:
        module.Bargeon = bargeon_class
    for key, value in attributes.items():
        setattr(module, key, value)
    return module


def plugin_class(name='LinuxBargeon', module='plugins.linux', base=BargeonBase, **members):
    """A subclass of ``base`` that looks as if defined in ``module``."""
    members.setdefault('__module__', module)
    return type(name, (base,), members)


class FakeRegistry(object):
    def __init__(self):
        self.plugins = {}
        self.subplugins = {}
        self.calls = []

    def add(self, os, module):
        self.plugins[os] = module
        return module

    def add_sub(self, os, key, module):
        self.subplugins[(os, key)] = module
        return module

    def get_plugin(self, os):
        self.calls.append(('get_plugin', os))
        return self.plugins.get(os)

    def get_subplugin(self, os, key):
        self.calls.append(('get_subplugin', os, key))
        return self.subplugins.get((os, key))


@pytest.fixture
def registry(monkeypatch):
    fake = FakeRegistry()
    monkeypatch.setattr(BargeonBase, '__plugin_mgr__', fake)
    return fake


@pytest.fixture
def linux(registry):
    """The class registered for os 'linux'."""
    cls = plugin_class()
    registry.add('linux', plugin_module('plugins.linux', cls))
    return cls


@pytest.fixture
def logs(caplog):
    """(level name, message) pairs logged by the module, in order."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)

    def records():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER_NAME]
    return records


__all__ = ['BargeonBase', 'bargeon_module', 'FakeRegistry', 'plugin_module', 'plugin_class',
           'registry', 'linux', 'logs', 'LOGGER_NAME']
