"""The workloads' schemas written for quarn's schema engine.

Each factory builds its ``Schema`` once and returns ``(validate, normalize)``:
``validate(data)`` is what gets timed, ``normalize(result)`` turns a result
into plain dicts for the correctness check (quarn already returns them).
"""
from quarn.utils.ordalin import And, Any, Default, Fallback, Optional, Or, Schema, Use

import workloads

NAME = 'quarn'
VERSION = None  # filled by bench.py from the package metadata


def _plain(result):
    return result


def _interface_schema():
    return {
        'oper_status': str,
        'enabled': bool,
        Optional('mtu'): int,
        'counters': {'in_pkts': int, 'out_pkts': int, Optional('in_errors'): int},
        Optional('ipv4'): {Any(): {'ip': str, 'prefix_length': int}},
    }


def w1():
    return Schema({str: int}).validate, _plain


def w2():
    return Schema({'interfaces': {Any(): _interface_schema()}}).validate, _plain


def w3():
    # 'mtu' is a plain key here: the key chain that leads to a Default must
    # not be Optional, the default makes the key present.
    record = {
        'oper_status': str,
        'enabled': bool,
        'mtu': Default(int, workloads.DEFAULT_MTU),
        'description': Default(str, workloads.DEFAULT_DESCRIPTION),
        'site': Fallback(str, 'site'),
        'counters': {'in_pkts': int, 'out_pkts': int, Optional('in_errors'): int},
        Optional('ipv4'): {Any(): {'ip': str, 'prefix_length': int}},
    }
    schema = Schema({'interfaces': {Any(): record}, 'site': str})
    return schema.validate, _plain


def w4():
    entry = {'value': Or(int, str), 'name': And(str, Use(len)), 'count': Use(int)}
    return Schema({str: entry}).validate, _plain


w5 = w2


def w6():
    schema = Schema({'hostname': str, 'os': str, 'platform': str, 'port': int,
                     'enabled': bool, 'timeout': float, 'retries': int,
                     'username': str, 'vrf': str, 'mtu': int})
    return schema.validate, _plain


def is_validation_error(exc):
    from quarn.utils.exceptions import SchemaError
    return isinstance(exc, SchemaError)
