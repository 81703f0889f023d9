"""Times W2 and W6 with a user's function in their schemas against W2 and W6.

    PYTHONPATH=src python3 benchmarks/user_code.py [--size 1000] [--repeat 7]

A schema that holds a user's function (here ``Use`` of a function that
returns its argument, on the interface's ``oper_status`` and on the
record's ``os``) is validated by the dictionary walk, which goes by the
compiled schema and dispatches the function, with the care that takes;
the same schema without it by the fast walk.  Both results are the data
itself.  The four run in turns, best of ``--repeat``;
prints the µs per call of each and the ratio of each pair.
"""
import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads  # noqa: E402
from bench import best_in_turns  # noqa: E402
from peer_quarn import _interface_schema  # noqa: E402
from quarn.utils.ordalin import Any, Schema, Use  # noqa: E402


def same(value):
    return value


def schemas():
    record = dict(_interface_schema(), oper_status=Use(same))
    w6 = {'hostname': str, 'os': str, 'platform': str, 'port': int, 'enabled': bool,
          'timeout': float, 'retries': int, 'username': str, 'vrf': str, 'mtu': int}
    return {'W2': Schema({'interfaces': {Any(): _interface_schema()}}),
            'W2 user code': Schema({'interfaces': {Any(): record}}),
            'W6': Schema(w6),
            'W6 user code': Schema(dict(w6, os=Use(same)))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--size', type=int, default=1000, help='interfaces (default 1,000)')
    parser.add_argument('--repeat', type=int, default=7, help='timing repeats, best kept (default 7)')
    args = parser.parse_args()
    data = {'W2': workloads.interfaces(args.size), 'W6': workloads.device_record()}
    timers = {}
    for name, schema in schemas().items():
        value = data[name.split()[0]]
        if schema.validate(value) != value:
            sys.exit('{}: the result is not the data'.format(name))
        timers[name] = timeit.Timer(lambda s=schema, v=value: s.validate(v))
    best = best_in_turns(timers, args.repeat)
    for name in timers:
        print('{:<14} {:10.2f} µs per call'.format(name, best[name] * 1e6))
    for name in ('W2', 'W6'):
        print('{0} user code / {0}: {1:.2f}'.format(name, best[name + ' user code'] / best[name]))


if __name__ == '__main__':
    main()
