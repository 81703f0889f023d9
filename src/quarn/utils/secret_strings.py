"""Secret strings: values such as passwords that must not show up in logs.

``SecretString`` keeps its value out of ``repr`` and ``str``; code that
needs the value asks for it explicitly with ``to_plaintext``.
"""

__all__ = ['SecretString', 'to_plaintext']


class SecretString(object):
    """A secret value that never shows itself when printed or logged."""

    __slots__ = ('_plaintext',)

    def __init__(self, plaintext):
        self._plaintext = plaintext

    @property
    def plaintext(self):
        """The secret itself."""
        return self._plaintext

    def __repr__(self):
        return '{}(<hidden>)'.format(type(self).__name__)

    __str__ = __repr__

    def __eq__(self, other):
        if isinstance(other, SecretString):
            return self._plaintext == other._plaintext
        return NotImplemented

    def __ne__(self, other):
        result = self.__eq__(other)
        return result if result is NotImplemented else not result

    def __hash__(self):
        return hash((SecretString, self._plaintext))

    def __reduce__(self):
        return (type(self), (self._plaintext,))


def to_plaintext(value):
    """Return the plain value of a stored secret.

    A secret object (anything with a ``plaintext`` attribute) gives its
    plaintext; any other value, ``None`` included, is returned unchanged.
    """
    if value is None:
        return None
    try:
        return value.plaintext
    except AttributeError:
        return value
