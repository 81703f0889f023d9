"""Exceptions raised by the file-transfer base (``BargeonBase``) and its plugins.

All derive from ``BargeonError``, itself an ``Exception``, so code that
catches ``Exception`` keeps working; the lookup failures also derive from
``LookupError``.  The messages are the ones the base has always given.
"""

__all__ = ['BargeonError', 'BargeonPluginNotFoundError', 'BargeonPluginError',
           'BargeonCredentialNotFoundError', 'BargeonFileCheckError']


class BargeonError(Exception):
    """A file-transfer operation or lookup failed.  Base of the others."""


class BargeonPluginNotFoundError(BargeonError, LookupError):
    """No plugin is registered for the os (or key), or the plugin module has
    no ``Bargeon`` class."""


class BargeonPluginError(BargeonError):
    """The registered plugin's ``Bargeon`` is not a class deriving from
    ``BargeonBase``."""


class BargeonCredentialNotFoundError(BargeonError, LookupError):
    """A server's credentials are not in the testbed (raised by plugins that
    cannot go on without them)."""


class BargeonFileCheckError(BargeonError):
    """``checkfile`` found no file, or a file whose length was not stable."""
