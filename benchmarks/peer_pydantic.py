"""The workloads' schemas written for pydantic v2.

Strict mode throughout (types are checked, not coerced), except where the
quarn schema converts (``Use(int)``); unknown keys are refused
(``extra='forbid'``) as quarn refuses unsupported keys.  ``TypeAdapter`` over
``TypedDict`` where no defaults are needed, so the result is plain dicts as
with quarn; ``BaseModel`` for W3, whose defaults TypedDicts cannot express.
"""
from typing import Dict, Union

import pydantic
from pydantic import AfterValidator, BaseModel, ConfigDict, Field, TypeAdapter, model_validator
from typing_extensions import Annotated, NotRequired, TypedDict

import workloads

NAME = 'pydantic'
VERSION = pydantic.VERSION

STRICT = ConfigDict(strict=True, extra='forbid')

try:
    from pydantic import with_config
except ImportError:  # before pydantic 2.7 the config is a class attribute
    def with_config(config):
        def decorate(cls):
            cls.__pydantic_config__ = config
            return cls
        return decorate


def _plain(result):
    return result


@with_config(STRICT)
class Counters(TypedDict):
    in_pkts: int
    out_pkts: int
    in_errors: NotRequired[int]


@with_config(STRICT)
class Address(TypedDict):
    ip: str
    prefix_length: int


@with_config(STRICT)
class Interface(TypedDict):
    oper_status: str
    enabled: bool
    mtu: NotRequired[int]
    counters: Counters
    ipv4: NotRequired[Dict[str, Address]]


@with_config(STRICT)
class Interfaces(TypedDict):
    interfaces: Dict[str, Interface]


# W3: a field left out takes its default, and a default is not validated,
# so ``= None`` marks "absent" without letting an explicit None through.
class InterfaceModel(BaseModel):
    model_config = STRICT

    oper_status: str
    enabled: bool
    mtu: int = workloads.DEFAULT_MTU
    description: str = workloads.DEFAULT_DESCRIPTION
    site: str = None
    counters: Counters
    ipv4: Dict[str, Address] = None


class InterfacesModel(BaseModel):
    model_config = STRICT

    interfaces: Dict[str, InterfaceModel]
    site: str

    # Stands in for quarn's Fallback(str, 'site'): an interface without a
    # site of its own takes the top-level one.
    @model_validator(mode='after')
    def fill_sites(self):
        for record in self.interfaces.values():
            if 'site' not in record.model_fields_set:
                record.site = self.site
        return self


def _dump(model):
    return model.model_dump(exclude_none=True)


def w1():
    return TypeAdapter(Dict[str, int], config=STRICT).validate_python, _plain


def w2():
    return TypeAdapter(Interfaces).validate_python, _plain


def w3():
    return InterfacesModel.model_validate, _dump


@with_config(STRICT)
class Entry(TypedDict):
    value: Annotated[Union[int, str], Field(union_mode='left_to_right')]
    name: Annotated[str, AfterValidator(len)]
    # Lax int parses a numeric string, as Use(int) does with int().
    count: Annotated[int, Field(strict=False)]


def w4():
    return TypeAdapter(Dict[str, Entry], config=STRICT).validate_python, _plain


w5 = w2


@with_config(STRICT)
class Device(TypedDict):
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
    return TypeAdapter(Device).validate_python, _plain


def is_validation_error(exc):
    return isinstance(exc, pydantic.ValidationError)
