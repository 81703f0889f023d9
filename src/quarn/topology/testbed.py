"""The testbed: servers by name, and the devices that use them."""

from typing import Any, Dict, Mapping, Optional, TypeVar

from .device import Device

__all__ = ['Testbed']

# A server block: a mapping with the keys server, address, credentials,
# username and password (any of them may be missing).
ServerBlock = Mapping[str, Any]

_D = TypeVar('_D', bound=Device)


class Testbed(object):
    """A named collection of server blocks and devices.

    ``servers`` maps a block name to its server block, in insertion order
    (the order in which lookups scan them).
    """

    def __init__(self, name: Optional[str] = None,
                 servers: Optional[Mapping[str, ServerBlock]] = None) -> None:
        self.name = name
        self.servers: Dict[str, ServerBlock] = dict(servers) if servers is not None else {}
        self.devices: Dict[str, Device] = {}

    @classmethod
    def from_dict(cls, data: Dict[str, Any], name: Optional[str] = None) -> 'Testbed':
        """Build a testbed from ``{'servers': {name: block, ...}}``."""
        if not isinstance(data, dict):
            raise TypeError('testbed data must be a dict, not {}'.format(type(data).__name__))
        servers = data.get('servers') or {}
        if not isinstance(servers, dict):
            raise TypeError("testbed 'servers' must be a dict, not {}".format(type(servers).__name__))
        return cls(name=name if name is not None else data.get('name'),
                   servers=servers)

    def add_device(self, device: _D) -> _D:
        """Attach ``device`` to this testbed (and the testbed to it)."""
        self.devices[device.name] = device
        device.testbed = self
        return device

    def __repr__(self) -> str:
        return '{}(name={!r}, servers={!r})'.format(type(self).__name__, self.name, sorted(self.servers))
