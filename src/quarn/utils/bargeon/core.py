"""The registry of file-transfer plugins.

An os plugin is a module (normally a package) whose ``Bargeon`` attribute is
the os-specific subclass of ``BargeonBase``.  Plugins are found, in this
order of precedence:

1. registered explicitly: ``register('linux', 'mypkg.bargeon.linux')``;
2. advertised by an installed distribution through the entry-point group
   ``quarn.bargeon.plugins`` (name: the os, value: the module's dotted
   path), read the first time a plugin is asked for;
3. the plugins of the quarn family itself (``localhost``), when present.

A sub-plugin for an os and a key (such as a URL scheme) is the submodule
named after the key inside the os plugin's package, or a module registered
with ``register(os, module, key=...)``.  Modules are imported on first use
and kept.
"""

import importlib

__all__ = ['PluginManager', 'PluginLoadError', 'ENTRY_POINT_GROUP']

ENTRY_POINT_GROUP = 'quarn.bargeon.plugins'

# Plugins shipped with the family, used when nothing else names the os.
BUILTIN_PLUGINS = {'localhost': 'quarn.plugins.localhost'}


class PluginLoadError(ImportError):
    """A plugin that is registered could not be imported."""

    def __init__(self, os, target, error, key=None):
        self.os = os
        self.key = key
        self.target = target
        self.error = error
        what = 'os {}'.format(os) if key is None else 'os {}, key {}'.format(os, key)
        super(PluginLoadError, self).__init__(
            'Cannot load bargeon plugin {!r} for {}: {}: {}'.format(
                target, what, type(error).__name__, error))


def _group_entry_points(group):
    # Imported here: the metadata machinery costs time that importing the
    # file-transfer base should not pay.
    try:
        from importlib import metadata
    except ImportError:  # Python < 3.8
        import importlib_metadata as metadata
    found = metadata.entry_points()
    if hasattr(found, 'select'):
        return list(found.select(group=group))
    return list(found.get(group, ()))


def _is_hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _is_dotted_name(text):
    return isinstance(text, str) and bool(text) and all(part.isidentifier() for part in text.split('.'))


def _missing_module(error, name):
    """True when ``error`` says that module ``name`` (or a package above it)
    does not exist, rather than that something it imports is missing."""
    missing = getattr(error, 'name', None) if isinstance(error, ImportError) else None
    return bool(missing) and (name == missing or name.startswith(missing + '.'))


class PluginManager(object):
    """Maps os names to plugin modules, and (os, key) pairs to sub-plugins."""

    def __init__(self, group=ENTRY_POINT_GROUP, builtins=None):
        self.group = group
        self._builtins = dict(BUILTIN_PLUGINS if builtins is None else builtins)
        self._registered = {}       # os -> module or dotted path
        self._sub_registered = {}   # (os, key) -> module or dotted path
        self._entry_points = None   # os -> entry point, read on first use
        self._loaded = {}           # os -> module
        self._sub_loaded = {}       # (os, key) -> module or None

    # ---- registration ---------------------------------------------------

    def register(self, os, module, key=None):
        """Register ``module`` (a module or its dotted path) for ``os``.

        With ``key``, register the sub-plugin of ``os`` for that key
        instead.  A later registration replaces an earlier one.
        """
        if isinstance(module, str):
            if not _is_dotted_name(module):
                raise ValueError('{!r} is not a dotted module path'.format(module))
        elif not hasattr(module, '__name__'):
            # Refused now rather than when the plugin is first asked for.
            raise TypeError('register() takes a plugin module (or an object with the module '
                            'attributes __name__ and Bargeon) or its dotted path, not {!r}'
                            .format(module))
        if key is None:
            self._registered[os] = module
            self._forget(os)
        else:
            self._sub_registered[(os, key)] = module
            self._sub_loaded.pop((os, key), None)

    def unregister(self, os, key=None):
        """Undo ``register(os, ..., key)``; unknown names are ignored."""
        if key is None:
            self._registered.pop(os, None)
            self._forget(os)
        else:
            self._sub_registered.pop((os, key), None)
            self._sub_loaded.pop((os, key), None)

    def rescan(self):
        """Read the entry points again on next use (after installing a plugin)."""
        self._entry_points = None
        self._loaded.clear()
        self._sub_loaded.clear()

    def plugins(self):
        """The os names this registry can answer, sorted."""
        names = set(self._registered) | set(self._discovered()) | set(self._builtins)
        return sorted(names, key=str)

    def _forget(self, os):
        self._loaded.pop(os, None)
        for pair in [pair for pair in self._sub_loaded if pair[0] == os]:
            del self._sub_loaded[pair]

    def _discovered(self):
        if self._entry_points is None:
            found = {}
            for entry_point in _group_entry_points(self.group):
                found.setdefault(entry_point.name, entry_point)
            self._entry_points = found
        return self._entry_points

    # ---- lookups -----------------------------------------------------------

    def get_plugin(self, os):
        """The plugin module for ``os``, or None when no plugin names it.

        Raises PluginLoadError when the plugin is known but cannot be
        imported.
        """
        if not _is_hashable(os):
            return None
        if os in self._loaded:
            return self._loaded[os]
        module = self._load_plugin(os)
        if module is not None:
            self._loaded[os] = module
        return module

    def get_subplugin(self, os, key):
        """The sub-plugin of ``os`` for ``key``, or None when there is none."""
        if not _is_hashable(os) or not _is_hashable(key):
            return None
        pair = (os, key)
        if pair in self._sub_loaded:
            return self._sub_loaded[pair]
        if pair in self._sub_registered:
            module = self._import(os, self._sub_registered[pair], key=key)
        else:
            module = self._submodule(os, key)
        self._sub_loaded[pair] = module
        return module

    def _load_plugin(self, os):
        if os in self._registered:
            return self._import(os, self._registered[os])
        entry_point = self._discovered().get(os)
        if entry_point is not None:
            return self._load_entry_point(os, entry_point)
        if os in self._builtins:
            return self._import(os, self._builtins[os], missing_ok=True)
        return None

    def _submodule(self, os, key):
        plugin = self.get_plugin(os)
        if plugin is None or not hasattr(plugin, '__path__') or not _is_dotted_name(key):
            return None
        name = '{}.{}'.format(plugin.__name__, key)
        return self._import(os, name, key=key, missing_ok=True)

    def _import(self, os, target, key=None, missing_ok=False):
        if not isinstance(target, str):
            return target
        try:
            return importlib.import_module(target)
        except Exception as error:
            if missing_ok and _missing_module(error, target):
                return None
            raise PluginLoadError(os, target, error, key=key) from error

    def _load_entry_point(self, os, entry_point):
        if ':' not in entry_point.value:
            return self._import(os, entry_point.value.strip())
        try:
            return entry_point.load()
        except Exception as error:
            raise PluginLoadError(os, entry_point.value, error) from error

    def __repr__(self):
        return '{}(group={!r})'.format(type(self).__name__, self.group)
