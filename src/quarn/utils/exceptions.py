"""Exceptions raised by the schema engine (``quarn.utils.ordalin``).

Every class keeps the positional arguments it was raised with as ``args``,
unchanged, and exposes them under readable names.  Messages are built only
when the exception is shown, so raising one (as the engine does when it tries
alternatives) never calls ``repr`` on the data.

Every schema exception pickles, so that it survives a process boundary
(``multiprocessing``, ``concurrent.futures.ProcessPoolExecutor``): a member
that cannot be pickled (a lambda, a generator, a socket) travels as its
``repr``, so the class, the message and the path arrive intact.
"""
import pickle
from typing import Any, Tuple

__all__ = ['SchemaError', 'SchemaTypeError', 'SchemaValueError',
           'SchemaClassError', 'SchemaMissingKeyError',
           'SchemaUnsupportedKeyError', 'SchemaFallbackError',
           'SchemaFallbackLoopError']


def _arg(index: int, doc: str) -> Any:
    def get(self: 'SchemaError') -> Any:
        try:
            return self.args[index]
        except IndexError:
            return None
    return property(get, doc=doc)


class _Repr(str):
    """The repr of a member that could not be pickled, standing in for it:
    it shows as that repr, in messages as everywhere."""

    __slots__ = ()

    def __repr__(self) -> str:
        return str(self)


def _portable(value: Any) -> Any:
    """``value`` itself if it pickles, else its repr."""
    try:
        pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
    except Exception:
        return _Repr(repr(value))
    return value


class SchemaError(Exception):
    """Data does not satisfy a schema.  Base of all schema exceptions.

    ``location``, set on every schema exception that leaves a top-level
    ``validate``, is the tuple of keys from the top-level data down to the
    element that failed.
    """

    location: Tuple[Any, ...]   # set by the engine, on the way out of validate
    message = _arg(0, 'the message')

    def __reduce__(self) -> Tuple[Any, ...]:
        state = {name: _portable(value) for name, value in vars(self).items()}
        return type(self), tuple(_portable(arg) for arg in self.args), state or None

    def __str__(self) -> str:
        if len(self.args) == 1:
            return str(self.args[0])
        return super().__str__()


class _PathError(SchemaError):
    """A violation found at ``path``, a list of keys from the top-level data."""

    path = _arg(0, 'list of keys leading to the offending data')
    _nargs: int   # the count of args the message needs, set by each subclass

    def _where(self) -> str:
        return 'at {!r}'.format(self.path)

    def _detail(self) -> str:
        raise NotImplementedError

    def __str__(self) -> str:
        if len(self.args) < self._nargs:
            return super().__str__()
        return '{}: {}'.format(self._where(), self._detail())


class SchemaTypeError(_PathError):
    """Data is not an instance of the type the schema requires."""

    _nargs = 3
    schema = _arg(1, 'the schema that rejected the data')
    data = _arg(2, 'the rejected data')

    def _detail(self) -> str:
        return 'expected {!r}, got {!r}'.format(self.schema, self.data)


class SchemaValueError(_PathError):
    """Data is not equal to the value the schema requires, or a ``Check``'s
    predicate rejected it (then ``reason`` is the check's message, if any)."""

    _nargs = 3
    schema = _arg(1, 'the schema that rejected the data')
    data = _arg(2, 'the rejected data')
    reason = _arg(3, "the message of the Check that rejected the data, or None")

    def _detail(self) -> str:
        if self.reason is not None:
            return '{}, got {!r}'.format(self.reason, self.data)
        return 'expected {!r}, got {!r}'.format(self.schema, self.data)


class SchemaClassError(_PathError):
    """A callable schema raised an exception for the data."""

    _nargs = 4
    schema = _arg(1, 'the callable schema')
    data = _arg(2, 'the data it was called with')
    error = _arg(3, 'the exception it raised')

    def _detail(self) -> str:
        return '{!r} raised {!r} for {!r}'.format(self.schema, self.error, self.data)


class SchemaMissingKeyError(_PathError):
    """Required keys of a dictionary schema are absent from the data."""

    _nargs = 2
    missing = _arg(1, 'list of the text of each missing schema key')

    def _detail(self) -> str:
        return 'missing keys {}'.format(', '.join(map(str, self.missing)))


class SchemaUnsupportedKeyError(_PathError):
    """Data keys that no key of the dictionary schema accepts."""

    _nargs = 2
    wrong_keys = _arg(1, 'set of the data keys that were not accepted')

    def _detail(self) -> str:
        return 'unsupported keys {!r}'.format(self.wrong_keys)


class SchemaFallbackError(SchemaError):
    """The source key path of a fallback is absent from the data."""

    fallback = _arg(0, 'key path (tuple) of the fallback source')
    data = _arg(1, 'the data the source was looked up in')

    def __str__(self) -> str:
        if len(self.args) < 2:
            return super().__str__()
        return 'fallback source {!r} not found in the data'.format(self.fallback)


class SchemaFallbackLoopError(SchemaError):
    """Fallbacks that fall back to themselves, directly or through a chain."""

    fallback = _arg(0, 'key path (tuple) the fallback names')
    path = _arg(1, 'key path (tuple) of the fallback itself')

    def __str__(self) -> str:
        if len(self.args) < 2:
            return super().__str__()
        return 'fallback at {!r} to {!r} forms a loop'.format(self.path, self.fallback)
