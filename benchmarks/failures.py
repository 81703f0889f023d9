"""Times validations that fail, and an Or of dict shapes, against W6's valid record.

    PYTHONPATH=src python3 benchmarks/failures.py [--repeat 7]

A program that checks what a device returned meets invalid data as often as
valid: each failing case here is W6's record (or a small record with a list)
with one fault, validated by a ``Schema`` made once, the error caught.  The
last case is valid data whose schema is an ``Or`` of two dict shapes, half
of the elements taking the second one.  Prints the µs per call of each, best
of ``--repeat``, and its ratio to the valid record.
"""
import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads  # noqa: E402
from bench import best_in_turns  # noqa: E402
from quarn.utils.exceptions import SchemaError  # noqa: E402
from quarn.utils.ordalin import Each, Optional, Or, Schema, Use  # noqa: E402

RECORD = {'hostname': str, 'os': str, 'platform': str, 'port': int, 'enabled': bool, 'timeout': float,
          'retries': int, 'username': str, 'vrf': str, Optional('mtu'): int}
NEIGHBORS = {'device': str, 'neighbors': Each({'address': str, 'state': str, 'uptime': int})}
UNION = {'items': Each(Or({'kind': 'a', 'x': int}, {'kind': 'b', 'y': str}))}


def neighbors(last_uptime):
    data = {'device': 'r1', 'neighbors': [{'address': '10.0.0.%d' % i, 'state': 'up', 'uptime': i}
                                          for i in range(100)]}
    data['neighbors'][-1]['uptime'] = last_uptime
    return data


def cases():
    """name: (schema dict, data, whether validation fails)."""
    record = workloads.device_record()
    without_vrf = dict(record)
    del without_vrf['vrf']
    return {
        'valid record': (RECORD, record, False),
        'wrong type': (RECORD, dict(record, port='22'), True),
        'missing key': (RECORD, without_vrf, True),
        'unknown key': (RECORD, dict(record, extra=1), True),
        'Or refused': (dict(RECORD, port=Or(int, None)), dict(record, port='22'), True),
        'Use failed': (dict(RECORD, port=Use(int)), dict(record, port='x'), True),
        'Each, last of 100 refused': (NEIGHBORS, neighbors('long'), True),
        'Or of dicts, 100 elements': (UNION, {'items': [{'kind': 'a', 'x': i} if i % 2 else {'kind': 'b', 'y': 'v'}
                                                        for i in range(100)]}, False),
    }


def caller(schema, data, fails):
    validate = Schema(schema).validate

    def call():
        try:
            validate(data)
        except SchemaError:
            if not fails:
                raise
        else:
            if fails:
                sys.exit('validation did not fail')
    return call


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--repeat', type=int, default=7, help='timing repeats, best kept (default 7)')
    args = parser.parse_args()
    timers = {}
    for name, (schema, data, fails) in cases().items():
        call = caller(schema, data, fails)
        call()
        timers[name] = timeit.Timer(call)
    best = best_in_turns(timers, args.repeat)
    for name in timers:
        print('{:<28} {:8.2f} µs per call  {:6.2f}× the valid record'.format(
            name, best[name] * 1e6, best[name] / best['valid record']))


if __name__ == '__main__':
    main()
