"""Testbeds and devices: the minimal objects the file-transfer base reads.

A ``Testbed`` holds a ``servers`` mapping of server blocks (each a mapping
with ``server``, ``address``, ``credentials``, ``username``, ``password``);
a ``Device`` has a ``name``, an ``os`` and optionally the testbed it
belongs to.
"""

from .testbed import Testbed
from .device import Device

__all__ = ['Testbed', 'Device']
