"""Validate the interfaces a device reports, then show an error with its path.

Run:  python3 examples/interfaces.py
"""
from typing import Any as AnyValue, Dict

from quarn.utils.exceptions import SchemaTypeError
from quarn.utils.ordalin import Any, Default, Optional, Or, Schema, Use

# What `show interfaces` parsed into, for two interfaces of a router.
collected: Dict[str, AnyValue] = {
    'interfaces': {
        'GigabitEthernet0/0': {
            'oper_status': 'up',
            'enabled': True,
            'mtu': 1500,
            'counters': {'in_pkts': 120400, 'out_pkts': 98233, 'in_errors': 0},
            'ipv4': {'10.0.0.1/24': {'ip': '10.0.0.1', 'prefix_length': '24'}},
        },
        'GigabitEthernet0/1': {
            'oper_status': 'down',
            'enabled': False,
            'counters': {'in_pkts': 0, 'out_pkts': 0},
        },
    },
}

interfaces_schema = Schema({
    'interfaces': {
        Any(): {
            'oper_status': Or('up', 'down', 'administratively down'),
            'enabled': bool,
            'mtu': Default(int, 1500),
            'counters': {'in_pkts': int, 'out_pkts': int, Optional('in_errors'): int},
            Optional('ipv4'): {Any(): {'ip': str, 'prefix_length': Use(int)}},
        },
    },
})

validated = interfaces_schema.validate(collected)
gi01 = validated['interfaces']['GigabitEthernet0/1']
print('Gi0/1 mtu (default filled in):', gi01['mtu'])
print('Gi0/0 prefix length (converted):',
      validated['interfaces']['GigabitEthernet0/0']['ipv4']['10.0.0.1/24']['prefix_length'])

# A counter that came back as text is reported with the path to it.
collected['interfaces']['GigabitEthernet0/1']['counters']['out_pkts'] = 'n/a'
try:
    interfaces_schema.validate(collected)
except SchemaTypeError as error:
    print('{}: {}'.format(type(error).__name__, error))
    print('path:', error.path)
