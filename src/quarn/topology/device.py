"""A device of a testbed, as far as file transfers need one."""

from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:  # for the annotations only: the testbed module imports this one
    from .testbed import Testbed

__all__ = ['Device']


class _NoTestbed(object):
    # Shown as the default of Device's testbed parameter in help().
    def __repr__(self) -> str:
        return '<no testbed>'


class Device(object):
    """A device with a ``name``, an ``os`` and optionally a ``testbed``.

    The ``testbed`` attribute exists only when one is given (or when the
    device is added to a testbed), so code can tell "no testbed known" from
    "testbed set to None".
    """

    # The marker of "no testbed given"; typed Any so that it can stand as the
    # default of a parameter typed Optional[Testbed].
    _unset: Any = _NoTestbed()

    name: str
    os: str
    testbed: 'Optional[Testbed]'   # present only when given

    def __init__(self, name: str, os: str, testbed: 'Optional[Testbed]' = _unset) -> None:
        self.name = name
        self.os = os
        if testbed is not Device._unset:
            self.testbed = testbed

    def __repr__(self) -> str:
        return '{}(name={!r}, os={!r})'.format(type(self).__name__, self.name, self.os)
