"""The workloads' schemas written for msgspec (``msgspec.convert``).

Closest types, and where the meaning differs from quarn's schema:
- Records are ``msgspec.Struct`` classes with ``forbid_unknown_fields``, the
  only msgspec type that refuses unknown keys as quarn does; a result is a
  tree of Struct objects, not dicts (``normalize`` turns it into dicts for
  the correctness check, outside the timed call).  An absent optional key
  is ``UNSET``, which ``to_builtins`` leaves out.
- ``convert`` is strict by default (no str -> int); W4's ``Use(int)`` on a
  numeric string needs ``strict=False``, which msgspec sets for the whole
  call, so W4's other fields are lax too (a bool would pass as an int).
- msgspec has no after-validators: W4's ``And(str, Use(len))`` and W3's
  ``Fallback(str, 'site')`` are a loop over the converted records inside the
  timed call, as a user would write them.
"""
from typing import Dict, Union

import msgspec
from msgspec import UNSET, Struct, UnsetType

import workloads

NAME = 'msgspec'
VERSION = msgspec.__version__


def _plain(result):
    return result


def _builtins(result):
    return msgspec.to_builtins(result)


class Counters(Struct, forbid_unknown_fields=True):
    in_pkts: int
    out_pkts: int
    in_errors: Union[int, UnsetType] = UNSET


class Address(Struct, forbid_unknown_fields=True):
    ip: str
    prefix_length: int


class Interface(Struct, forbid_unknown_fields=True):
    oper_status: str
    enabled: bool
    counters: Counters
    mtu: Union[int, UnsetType] = UNSET
    ipv4: Union[Dict[str, Address], UnsetType] = UNSET


class Interfaces(Struct, forbid_unknown_fields=True):
    interfaces: Dict[str, Interface]


class InterfaceWithDefaults(Struct, forbid_unknown_fields=True):
    oper_status: str
    enabled: bool
    counters: Counters
    mtu: int = workloads.DEFAULT_MTU
    description: str = workloads.DEFAULT_DESCRIPTION
    site: Union[str, UnsetType] = UNSET
    ipv4: Union[Dict[str, Address], UnsetType] = UNSET


class InterfacesWithDefaults(Struct, forbid_unknown_fields=True):
    interfaces: Dict[str, InterfaceWithDefaults]
    site: str


def w1():
    def validate(data):
        return msgspec.convert(data, Dict[str, int])
    return validate, _plain


def w2():
    def validate(data):
        return msgspec.convert(data, Interfaces)
    return validate, _builtins


def w3():
    def validate(data):
        result = msgspec.convert(data, InterfacesWithDefaults)
        # Stands in for Fallback(str, 'site').
        for record in result.interfaces.values():
            if record.site is UNSET:
                record.site = result.site
        return result
    return validate, _builtins


class Entry(Struct, forbid_unknown_fields=True):
    value: Union[int, str]
    name: str
    count: int


def w4():
    def validate(data):
        result = msgspec.convert(data, Dict[str, Entry], strict=False)
        # Stands in for And(str, Use(len)).
        for entry in result.values():
            entry.name = len(entry.name)
        return result
    return validate, _builtins


w5 = w2


class Device(Struct, forbid_unknown_fields=True):
    hostname: str
    os: str
    platform: str
    port: int
    enabled: bool
    timeout: float
    retries: int
    username: str
    vrf: str
    mtu: int


def w6():
    def validate(data):
        return msgspec.convert(data, Device)
    return validate, _builtins


def is_validation_error(exc):
    return isinstance(exc, msgspec.ValidationError)
