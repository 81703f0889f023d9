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
import sys
from typing import Any, Dict, Hashable, List, Optional, Tuple, Union

__all__ = ['PluginManager', 'PluginLoadError', 'ENTRY_POINT_GROUP']

ENTRY_POINT_GROUP = 'quarn.bargeon.plugins'

# Plugins shipped with the family, used when nothing else names the os.
BUILTIN_PLUGINS: Dict[Hashable, str] = {'localhost': 'quarn.plugins.localhost'}

# What the registry hands out: a module (or a module-like object) with the
# attributes ``__name__`` and ``Bargeon``.  Any, because a plugin's
# ``Bargeon`` is its own subclass of ``BargeonBase``.
Plugin = Any
# What register() takes: a plugin, or the dotted path of its module.
PluginTarget = Union[str, Plugin]


class PluginLoadError(ImportError):
    """A plugin that is registered could not be imported."""

    def __init__(self, os: Hashable, target: Any, error: BaseException,
                 key: Optional[Hashable] = None) -> None:
        self.os = os
        self.key = key
        self.target = target
        self.error = error
        what = 'os {}'.format(os) if key is None else 'os {}, key {}'.format(os, key)
        super(PluginLoadError, self).__init__(
            'Cannot load bargeon plugin {!r} for {}: {}: {}'.format(
                target, what, type(error).__name__, error))


def _group_entry_points(group: str) -> List[Any]:
    # Imported here: the metadata machinery costs time that importing the
    # file-transfer base should not pay.
    if sys.version_info >= (3, 8):
        from importlib import metadata
    else:
        import importlib_metadata as metadata
    # A dict of lists up to 3.9 (and in old backports), an object with
    # select() since.
    found: Any = metadata.entry_points()
    if hasattr(found, 'select'):
        return list(found.select(group=group))
    return list(found.get(group, ()))


def _is_hashable(value: object) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _is_dotted_name(text: object) -> bool:
    return isinstance(text, str) and bool(text) and all(part.isidentifier() for part in text.split('.'))


def _missing_module(error: BaseException, name: str) -> bool:
    """True when ``error`` says that module ``name`` (or a package above it)
    does not exist, rather than that something it imports is missing."""
    missing = error.name if isinstance(error, ImportError) else None
    return bool(missing) and (name == missing or name.startswith(str(missing) + '.'))


class PluginManager(object):
    """Maps os names to plugin modules, and (os, key) pairs to sub-plugins."""

    def __init__(self, group: str = ENTRY_POINT_GROUP,
                 builtins: Optional[Dict[Hashable, str]] = None) -> None:
        self.group = group
        self._builtins: Dict[Hashable, str] = dict(BUILTIN_PLUGINS if builtins is None else builtins)
        self._registered: Dict[Hashable, PluginTarget] = {}                  # os -> module or dotted path
        self._sub_registered: Dict[Tuple[Hashable, Hashable], PluginTarget] = {}   # (os, key) -> same
        self._entry_points: Optional[Dict[Hashable, Any]] = None  # os -> entry point, read on first use
        self._loaded: Dict[Hashable, Plugin] = {}                            # os -> module
        self._sub_loaded: Dict[Tuple[Hashable, Hashable], Optional[Plugin]] = {}   # (os, key) -> module or None

    # ---- registration ---------------------------------------------------

    def register(self, os: Hashable, module: PluginTarget, key: Optional[Hashable] = None) -> None:
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

    def unregister(self, os: Hashable, key: Optional[Hashable] = None) -> None:
        """Undo ``register(os, ..., key)``; unknown names are ignored."""
        if key is None:
            self._registered.pop(os, None)
            self._forget(os)
        else:
            self._sub_registered.pop((os, key), None)
            self._sub_loaded.pop((os, key), None)

    def rescan(self) -> None:
        """Read the entry points again on next use (after installing a plugin)."""
        self._entry_points = None
        self._loaded.clear()
        self._sub_loaded.clear()

    def plugins(self) -> List[Hashable]:
        """The os names this registry can answer, sorted."""
        names = set(self._registered) | set(self._discovered()) | set(self._builtins)
        return sorted(names, key=str)

    def _forget(self, os: Hashable) -> None:
        self._loaded.pop(os, None)
        for pair in [pair for pair in self._sub_loaded if pair[0] == os]:
            del self._sub_loaded[pair]

    def _discovered(self) -> Dict[Hashable, Any]:
        if self._entry_points is None:
            found: Dict[Hashable, Any] = {}
            for entry_point in _group_entry_points(self.group):
                found.setdefault(entry_point.name, entry_point)
            self._entry_points = found
        return self._entry_points

    # ---- lookups -----------------------------------------------------------

    def get_plugin(self, os: Hashable) -> Optional[Plugin]:
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

    def get_subplugin(self, os: Hashable, key: Hashable) -> Optional[Plugin]:
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

    def _load_plugin(self, os: Hashable) -> Optional[Plugin]:
        if os in self._registered:
            return self._import(os, self._registered[os])
        entry_point = self._discovered().get(os)
        if entry_point is not None:
            return self._load_entry_point(os, entry_point)
        if os in self._builtins:
            return self._import(os, self._builtins[os], missing_ok=True)
        return None

    def _submodule(self, os: Hashable, key: Hashable) -> Optional[Plugin]:
        plugin = self.get_plugin(os)
        if plugin is None or not hasattr(plugin, '__path__') or not _is_dotted_name(key):
            return None
        name = '{}.{}'.format(plugin.__name__, key)
        return self._import(os, name, key=key, missing_ok=True)

    def _import(self, os: Hashable, target: PluginTarget, key: Optional[Hashable] = None,
                missing_ok: bool = False) -> Optional[Plugin]:
        if not isinstance(target, str):
            return target
        try:
            return importlib.import_module(target)
        except Exception as error:
            if missing_ok and _missing_module(error, target):
                return None
            raise PluginLoadError(os, target, error, key=key) from error

    def _load_entry_point(self, os: Hashable, entry_point: Any) -> Optional[Plugin]:
        if ':' not in entry_point.value:
            return self._import(os, entry_point.value.strip())
        try:
            return entry_point.load()
        except Exception as error:
            raise PluginLoadError(os, entry_point.value, error) from error

    def __repr__(self) -> str:
        return '{}(group={!r})'.format(type(self).__name__, self.group)
