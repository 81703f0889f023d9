"""The workloads' schemas written for voluptuous.

``required=True`` makes every plain key and every type key required, as in
quarn; ``Optional(...)`` marks the rest.  Unknown keys are refused by
voluptuous' default (``PREVENT_EXTRA``), as quarn refuses unsupported keys.
"""
import voluptuous as vol

import workloads

NAME = 'voluptuous'
VERSION = getattr(vol, '__version__', '?')


def _plain(result):
    return result


def _schema(definition):
    return vol.Schema(definition, required=True)


def _interface_schema(mtu_key=vol.Optional('mtu')):
    return {
        'oper_status': str,
        'enabled': bool,
        mtu_key: int,
        'counters': {'in_pkts': int, 'out_pkts': int, vol.Optional('in_errors'): int},
        # ``object`` as key type accepts any key, as quarn's Any() does.
        vol.Optional('ipv4'): {vol.Optional(object): {'ip': str, 'prefix_length': int}},
    }


def w1():
    return _schema({str: int}), _plain


def w2():
    return _schema({'interfaces': {vol.Optional(object): _interface_schema()}}), _plain


def _fill_sites(data):
    # Stands in for quarn's Fallback(str, 'site'): runs after validation,
    # when the top-level site is known to be a string.
    for record in data['interfaces'].values():
        record.setdefault('site', data['site'])
    return data


def w3():
    record = _interface_schema(vol.Optional('mtu', default=workloads.DEFAULT_MTU))
    record.update({
        vol.Optional('description', default=workloads.DEFAULT_DESCRIPTION): str,
        vol.Optional('site'): str,
    })
    inner = _schema({'interfaces': {vol.Optional(object): record}, 'site': str})
    return vol.Schema(vol.All(inner, _fill_sites)), _plain


def w4():
    entry = {'value': vol.Any(int, str), 'name': vol.All(str, len), 'count': vol.Coerce(int)}
    return _schema({str: entry}), _plain


w5 = w2


def w6():
    return _schema({'hostname': str, 'os': str, 'platform': str, 'port': int,
                    'enabled': bool, 'timeout': float, 'retries': int,
                    'username': str, 'vrf': str, 'mtu': int}), _plain


def is_validation_error(exc):
    return isinstance(exc, vol.Invalid)
