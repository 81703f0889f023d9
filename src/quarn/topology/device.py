"""A device of a testbed, as far as file transfers need one."""

__all__ = ['Device']


class Device(object):
    """A device with a ``name``, an ``os`` and optionally a ``testbed``.

    The ``testbed`` attribute exists only when one is given (or when the
    device is added to a testbed), so code can tell "no testbed known" from
    "testbed set to None".
    """

    _unset = object()

    def __init__(self, name, os, testbed=_unset):
        self.name = name
        self.os = os
        if testbed is not Device._unset:
            self.testbed = testbed

    def __repr__(self):
        return '{}(name={!r}, os={!r})'.format(type(self).__name__, self.name, self.os)
